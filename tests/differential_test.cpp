// The loaded provider against the plain implementation on thousands of
// generated scenarios: every output value, slot and state value must agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "host/fp_state.h"
#include "tests/engine_fixture.h"
#include "tests/reference/plain_eq.h"
#include "tests/scenario.h"
#include "tolvane.h"

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

// A loud quarter second, then a minute of silence in blocks of several
// lengths, through the provider as a host loads it: on silence the histories
// settle into limit cycles, which block processing recognises and skips.
// Every block's output and the state after it must still be the plain
// implementation's, on every build. (In a host floating-point state a share
// of the seeds runs.)
TEST(Differential, LongSilencesMatchThePlainImplementation) {
    // Cycles of 1, 2, 5, 20 and 70 frames, one of 2598 and one longer than
    // 65536 (or none); mono and stereo.
    const uint32_t seeds[] = {1, 5, 2, 24, 19, 14, 17};
    const size_t count = tolvane::host::host_fp_state() != nullptr ? 2 : std::size(seeds);
    std::vector<int32_t> periods;
    for (size_t s = 0; s < count; ++s) {
        const scenario::SilenceResult r = scenario::run_silence(engine_test::provider(), seeds[s]);
        ASSERT_EQ(r.mismatch, "") << "seed " << seeds[s];
        periods.push_back(r.period);
    }
    if (count == std::size(seeds)) {
        auto reached = [&periods](int32_t low, int32_t high) {
            return std::any_of(periods.begin(), periods.end(),
                               [&](int32_t p) { return p >= low && p <= high; });
        };
        EXPECT_TRUE(reached(1, 1) && reached(2, 2) && reached(3, 64) && reached(65, 1 << 16) &&
                    reached(0, 0))
            << "the seeds no longer reach cycles of every kind";
    }
}

}  // namespace
