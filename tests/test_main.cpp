// Every test program names the build it belongs to, so a failure in the
// Windows runs under Wine is told apart from the native one.
//
// --host-fp-state=NAME makes every call into the provider in that host
// floating-point state (host/fp_state.h): the tests' expectations, computed
// in the program's own state, must hold all the same, and a call that leaves
// a register changed fails the test it was made in.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/fp_state.h"

namespace {

class FpFaults : public testing::EmptyTestEventListener {
public:
    void OnTestEnd(const testing::TestInfo &test) override {
        for (const std::string &fault : tolvane::host::take_fp_faults()) {
            std::printf("[ FP FAULT ] %s.%s: %s\n", test.test_suite_name(), test.name(),
                        fault.c_str());
            ++count;
        }
    }
    int count = 0;
};

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    const tolvane::host::FpState *state = tolvane::host::fp_state_argument(argc, argv);
    std::printf("tolvane tests, build: %s%s%s\n", TOLVANE_BUILD,
                state != nullptr ? ", host floating-point state: " : "",
                state != nullptr ? state->name : "");
    FpFaults *faults = nullptr;
    if (state != nullptr) {
        tolvane::host::set_host_fp_state(state);
        faults = new FpFaults;
        testing::UnitTest::GetInstance()->listeners().Append(faults);  // gtest owns it
    }
    const int result = RUN_ALL_TESTS();
    return result != 0 ? result : faults != nullptr && faults->count != 0 ? 1 : 0;
}
