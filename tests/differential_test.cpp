// The loaded provider against the plain implementation on thousands of
// generated scenarios: every output value, slot and state value must agree.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/engine_fixture.h"
#include "tests/scenario.h"

namespace {

void run_many(uint32_t first_seed, int count, bool adversarial) {
    uint64_t operations = 0, values = 0;
    for (int i = 0; i < count; ++i) {
        const uint32_t seed = first_seed + static_cast<uint32_t>(i);
        const scenario::Result r = scenario::run(engine_test::provider(), seed, adversarial);
        ASSERT_EQ(r.mismatch, "") << "scenario seed " << seed << (adversarial ? " (adversarial)" : "");
        operations += r.operations;
        values += r.values_compared;
    }
    std::printf("%d %s scenarios, %llu operations, %llu values compared\n", count,
                adversarial ? "adversarial" : "generated", static_cast<unsigned long long>(operations),
                static_cast<unsigned long long>(values));
}

TEST(Differential, GeneratedScenariosMatchThePlainImplementation) { run_many(1, 3000, false); }

TEST(Differential, AdversarialStatesMatchThePlainImplementation) { run_many(1000001, 3000, true); }

}  // namespace
