// Every test program names the build it belongs to, so a failure in the
// Windows runs under Wine is told apart from the native one.
#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char **argv) {
    std::printf("tolvane tests, build: %s\n", TOLVANE_BUILD);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
