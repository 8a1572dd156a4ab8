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

// Both presets drawn from the seed, through the property entry: shapes,
// corners an octave apart from 20 Hz, Q, gain, switches and Lerp.
void random_setting(engine_test::Voice &voice, std::mt19937 &rng) {
    static const float Q[] = {0.3f, 0.6f, 1.2f, 2.4f, 4.8f, 9.6f};
    static const float LERP[] = {1.0f, 0.0f, 0.5f, 0.25f, 0.8f, 0.0004f};
    for (int p = 0; p < 2; ++p) {
        for (int b = 0; b < 3; ++b) {
            voice.set_int(TOKEN_BAND(p, b, PARAM_TYPE), static_cast<int32_t>(rng() % 5));
            voice.set_float(TOKEN_BAND(p, b, PARAM_FREQ), 20.0f * static_cast<float>(1 << (rng() % 11)));
            voice.set_float(TOKEN_BAND(p, b, PARAM_Q), Q[rng() % 6]);
            voice.set_float(TOKEN_BAND(p, b, PARAM_GAIN), static_cast<float>(rng() % 31) - 15.0f);
            voice.set_int(TOKEN_BAND(p, b, PARAM_ENABLE), rng() % 10 < 7 ? 1 : 0);
        }
    }
    voice.set_float(TOKEN_LERP, LERP[rng() % 6]);
}

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
    const int32_t lengths[] = {1024, 64, 4096, 1000, 256, 33, 480};
    constexpr size_t VALUES = sizeof(EqSampleState) - offsetof(EqSampleState, rate);
    std::vector<int32_t> periods;
    for (size_t s = 0; s < count; ++s) {
        const uint32_t seed = seeds[s];
        std::mt19937 rng(seed);
        engine_test::Voice voice(48000);
        random_setting(voice, rng);
        const bool stereo = seed % 2 != 0;
        const size_t channels = stereo ? 2 : 1;
        EqSampleState theirs = voice.st();
        int64_t done = 0;
        for (int b = 0; done < 61 * 48000LL + 12000; ++b) {
            const int32_t frames = lengths[(seed + static_cast<uint32_t>(b)) % std::size(lengths)];
            std::vector<int16_t> in(static_cast<size_t>(frames) * channels, 0);
            if (done < 12000) {
                for (int16_t &v : in) {
                    v = static_cast<int16_t>(rng() % 2 ? 32767 - rng() % 200 : -32768 + rng() % 200);
                }
            }
            const std::vector<int16_t> got = voice.run(in, 48000, stereo);
            std::vector<int16_t> want(in.size());
            plain::process(theirs, in.data(), want.data(), frames, 48000, stereo ? 1 : 0);
            ASSERT_EQ(got, want) << "seed " << seed << ", block " << b << " at frame " << done;
            ASSERT_EQ(std::memcmp(&voice.st().rate, &theirs.rate, VALUES), 0)
                << "seed " << seed << ", state after block " << b << " at frame " << done;
            done += frames;
        }
        periods.push_back(plain::silence_period(theirs, stereo ? 1 : 0, 1 << 16));
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
