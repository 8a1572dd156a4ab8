// Every code path that block processing can take, forced in turn and compared
// with the plain implementation: every output value, the bytes around the
// output, and every byte of the state after each block. The paths differ only
// in how they schedule the same arithmetic, so any difference is a defect.
//
// Cases are generated from a seed that is printed on failure. The enabled
// bands and the Lerp value are stepped through every combination, so each
// kernel shape (how many bands each preset runs, whether a preset is gated or
// at full weight) meets mono and stereo, short and long blocks, in place and
// overlapping buffers. Half the cases are adversarial: coefficients and
// histories written straight into the state with widely spread exponents,
// exactly cancelling terms, zeros of both signs, subnormals, infinities and
// the processor's default NaN, so that any other order or rounding of the
// double-precision operations would show.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "eq/eq_dispatch.h"
#include "eq/eq_state.h"
#include "tolvane.h"
#include "host/fp_state.h"
#include "tests/reference/plain_eq.h"

namespace {

// The NaN that the processor's arithmetic makes (negative, quiet, no
// payload): the only NaN a band can produce from numbers. Every operation
// passes it on unchanged, so it is the one NaN whose propagation is defined
// to the bit whatever the order of the operands.
const float DEFAULT_NAN = std::bit_cast<float>(0xffc00000u);

constexpr int16_t GUARD = 0x5a5a;
constexpr int GUARD_VALUES = 8;

class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    uint32_t below(uint32_t n) { return rng_() % n; }
    bool chance(uint32_t in) { return below(in) == 0; }
    float unit() { return std::uniform_real_distribution<float>(0.0f, 1.0f)(rng_); }

    float sign() { return rng_() & 1 ? -1.0f : 1.0f; }

    // In [1, 2) or (-2, -1]. One draw per statement throughout, so that a
    // seed draws in the same order on every build.
    float mantissa() {
        const float s = sign();
        return s * (1.0f + unit());
    }

    // Any exponent from tiny to huge, either sign.
    float wide() {
        const float m = mantissa();
        return std::ldexp(m, static_cast<int>(below(90)) - 45);
    }

    // A value a float history or coefficient can hold, odd ones often.
    float special() {
        static const float table[] = {
            0.0f,
            -0.0f,
            1.0f,
            -1.0f,
            std::numeric_limits<float>::denorm_min(),
            -std::numeric_limits<float>::denorm_min(),
            std::numeric_limits<float>::min(),
            -3.5e-39f,  // subnormal
            std::numeric_limits<float>::max(),
            -std::numeric_limits<float>::max(),
            std::numeric_limits<float>::infinity(),
            -std::numeric_limits<float>::infinity(),
            DEFAULT_NAN,
        };
        return table[below(sizeof table / sizeof table[0])];
    }

    float any_value() {
        const uint32_t r = below(10);
        return r < 6 ? wide() : r < 8 ? special() : std::ldexp(unit() - 0.5f, -130);  // small ones
    }

    // Negated, keeping the default NaN as it is (its negation is another NaN).
    static float minus(float x) { return std::isnan(x) ? x : -x; }

    // Coefficients and histories where the order of the sums decides the
    // result: b0*v + b1*x1 cancels when b1 = b0 and x1 = -v, and
    // a1*y1 + a2*y2 cancels when a2 = -a1 and y2 = y1.
    void poke(EqBand &band) {
        band.b0 = any_value();
        band.b1 = chance(2) ? band.b0 : any_value();
        band.b2 = any_value();
        band.a1 = any_value();
        band.a2 = chance(2) ? minus(band.a1) : any_value();
        for (int c = 0; c < 2; ++c) {
            band.x1[c] = any_value();
            band.x2[c] = chance(3) ? minus(band.x1[c]) : any_value();
            band.y1[c] = any_value();
            band.y2[c] = chance(2) ? band.y1[c] : any_value();
        }
        if (chance(4)) {
            // Stable coefficients near the unit circle: small values that
            // decay into the subnormal range and stay there.
            band.b0 = band.b1 = band.b2 = 0.0f;
            band.a1 = -1.99f + 0.01f * unit();
            band.a2 = 0.995f;
        }
    }

    // A band whose first step cancels almost exactly: two of the four history
    // terms are 2^e and -(2^e - d), d a few units of the 48th bit, and the
    // others are small enough that adding them to 2^e in double loses some of
    // their bits. Where each term enters the sum then decides the bits of the
    // small result, so any other order of the additions rounds differently.
    // Each channel has its own e.
    void poke_cancelling(EqBand &band) {
        const int big = static_cast<int>(below(4));
        const int partner = (big + 1 + static_cast<int>(below(3))) % 4;
        const float big_sign = sign();
        // (1 - k/2^m)(1 + k/2^m) = 1 - k^2/2^2m: a product of two singles
        // that needs 48 bits.
        const float k = static_cast<float>(1 + below(63));
        const int m = 16 + static_cast<int>(below(8));
        float coefficient[4], history_mantissa[4];
        int scale[4];  // each term's history is history_mantissa * 2^(e + scale)
        for (int t = 0; t < 4; ++t) {
            const int a = static_cast<int>(below(21)) - 10;
            history_mantissa[t] = 1.0f;
            scale[t] = -a;
            if (t == big) {
                coefficient[t] = big_sign * std::ldexp(1.0f, a);
            } else if (t == partner) {
                coefficient[t] = -big_sign * std::ldexp(1.0f - std::ldexp(k, -m), a);
                history_mantissa[t] = 1.0f + std::ldexp(k, -m);
            } else {
                coefficient[t] = std::ldexp(mantissa(), a);
                scale[t] = -a - 20 - static_cast<int>(below(30));
            }
        }
        // The terms are added as +b1*x1, +b2*x2, -a1*y1, -a2*y2.
        band.b1 = coefficient[0];
        band.b2 = coefficient[1];
        band.a1 = -coefficient[2];
        band.a2 = -coefficient[3];
        const float b0 = 1.0f + unit();
        band.b0 = std::ldexp(b0, -static_cast<int>(below(60)));
        for (int c = 0; c < 2; ++c) {
            const int e = static_cast<int>(below(80)) - 30;
            float history[4];
            for (int t = 0; t < 4; ++t) {
                const bool small = t != big && t != partner;
                history[t] = std::ldexp(small ? 1.0f + unit() : history_mantissa[t], e + scale[t]);
            }
            band.x1[c] = history[0];
            band.x2[c] = history[1];
            band.y1[c] = history[2];
            band.y2[c] = history[3];
        }
    }

    void design(EqBand &band, float rate) {
        band.type = static_cast<int32_t>(below(5));
        const bool at_zero = chance(10);
        const float f1 = unit();
        const float f2 = unit();
        band.freq = at_zero ? 0.0f : 20000.0f * f1 * f2;
        const float q1 = unit();
        const float q2 = unit();
        band.q = 0.01f + 10.0f * q1 * q2;
        band.gain = -30.0f + 60.0f * unit();
        eq_design_band(&band, rate);
        if (chance(2)) {
            for (int c = 0; c < 2; ++c) {
                band.x1[c] = -32768.0f + 65535.0f * unit();
                band.x2[c] = -32768.0f + 65535.0f * unit();
                band.y1[c] = -32768.0f + 65535.0f * unit();
                band.y2[c] = -32768.0f + 65535.0f * unit();
            }
        }
    }

    int16_t sample(uint32_t kind, size_t i) {
        switch (kind) {
        case 0: return static_cast<int16_t>(rng_());                              // full-scale noise
        case 1: return static_cast<int16_t>(static_cast<int>(below(401)) - 200);  // quiet
        case 2: return 0;                                                         // silence
        case 3: return static_cast<int16_t>(i % 2 ? 32767 : -32768);              // extremes
        default: return static_cast<int16_t>(static_cast<int>(below(20001)) - 10000);
        }
    }

private:
    std::mt19937 rng_;
};

// Lerp values that select every combination of gated, weighted and full
// presets, including weights the property entry would never store.
const float LERPS[] = {
    1.0f,                                        // preset 0 alone at full weight
    0.0f,                                        // preset 1 alone at full weight
    0.5f,                                        // both
    0.9995f,                                     // preset 0 alone, weighted
    0.0005f,                                     // preset 1 alone, weighted
    0.999f,                                      // 1 - 0.999 is just below the gate
    0.998f,                                      // both, preset 1 barely
    0.001f,                                      // both, preset 0 at the gate exactly
    std::nextafter(0.001f, 0.0f),                // preset 0 gated
    0.3f,                                        // both
    2.0f,                                        // preset 0 at weight 2, preset 1 gated
    -1.0f,                                       // preset 0 gated, preset 1 at weight 2
};
constexpr int LERP_COUNT = sizeof LERPS / sizeof LERPS[0];

// Where the output goes relative to the input.
enum Layout { SEPARATE, IN_PLACE, DESTINATION_ONE_VALUE_AHEAD, SOURCE_ONE_VALUE_AHEAD };

struct Block {
    int32_t frames, rate, stereo;
    Layout layout;
    std::vector<int16_t> input;
};

struct Scenario {
    EqSampleState state;
    std::vector<Block> blocks;
};

Scenario make_scenario(uint32_t seed, bool adversarial) {
    Generator g(seed);
    Scenario s;
    std::memset(&s.state, 0, sizeof s.state);
    const int32_t rates[] = {8000, 22050, 44100, 48000, 96000};
    const int32_t rate = rates[g.below(5)];
    s.state.rate = static_cast<float>(rate);
    // Stepping through every enable mask and Lerp value in turn.
    const uint32_t mask = seed % 64;
    s.state.lerp = g.chance(40) ? DEFAULT_NAN : LERPS[(seed / 64) % LERP_COUNT];
    for (int i = 0; i < EQ_BANDS; ++i) {
        EqBand &band = s.state.bands[i];
        const uint32_t how = g.below(8);
        if (adversarial && how < 3) {
            g.poke(band);
        } else if (adversarial && how < 6) {
            g.poke_cancelling(band);
        } else {
            g.design(band, s.state.rate);
        }
        band.enabled = (mask >> i) & 1 ? (g.chance(4) ? -7 : 1) : 0;
    }

    static const int32_t frame_counts[] = {-5, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 63, 64, 65, 300, 1024};
    const int count = 1 + static_cast<int>(g.below(4));
    for (int b = 0; b < count; ++b) {
        Block block;
        block.frames = frame_counts[g.below(sizeof frame_counts / sizeof frame_counts[0])];
        if (g.chance(150)) {
            block.frames = 70000;  // longer than the pieces long blocks are cut into
        }
        block.rate = g.chance(12) ? rates[g.below(5)] : rate;
        if (g.chance(40)) {
            block.rate = g.chance(2) ? 0 : -44100;
        }
        static const int32_t stereo_args[] = {0, 1, 1, 2, -1};
        block.stereo = stereo_args[g.below(5)];
        const uint32_t l = g.below(10);
        block.layout = l < 5 ? SEPARATE : l < 8 ? IN_PLACE : l < 9 ? DESTINATION_ONE_VALUE_AHEAD
                                                                    : SOURCE_ONE_VALUE_AHEAD;
        const size_t values =
            static_cast<size_t>(std::max(block.frames, 0)) * (block.stereo != 0 ? 2 : 1);
        const uint32_t kind = g.below(5);
        block.input.resize(values);
        for (size_t i = 0; i < values; ++i) {
            block.input[i] = g.sample(kind, i);
        }
        s.blocks.push_back(std::move(block));
    }
    return s;
}

// One block on one buffer laid out as `layout` says, guard values on both
// sides; returns the whole buffer.
template <class Process>
std::vector<int16_t> run_block(const Block &block, Process process) {
    const size_t values = block.input.size();
    std::vector<int16_t> buffer(values + 1 + 2 * GUARD_VALUES + (block.layout == SEPARATE ? values : 0), GUARD);
    int16_t *const base = buffer.data() + GUARD_VALUES;
    const int16_t *source = base;
    int16_t *destination = base;
    switch (block.layout) {
    case SEPARATE: destination = base + values; break;
    case IN_PLACE: break;
    case DESTINATION_ONE_VALUE_AHEAD: destination = base + 1; break;
    case SOURCE_ONE_VALUE_AHEAD: source = base + 1; break;
    }
    std::copy(block.input.begin(), block.input.end(), const_cast<int16_t *>(source));
    process(source, destination);
    return buffer;
}

std::string describe(const Block &block) {
    static const char *layouts[] = {"separate", "in place", "destination one value ahead",
                                    "source one value ahead"};
    return std::to_string(block.frames) + " frames, stereo " + std::to_string(block.stereo) +
           ", rate " + std::to_string(block.rate) + ", " + layouts[block.layout];
}

// The path on one block, called in the host floating-point state the run was
// started in, if any (the test program's --host-fp-state).
void process_on(EqPath path, EqSampleState *state, const int16_t *source, int16_t *destination,
                const Block &block) {
    tolvane::host::in_host_fp_state("FLTSMP_sample_process", [&] {
        eq_sample_process_on(path, state, source, destination, block.frames, block.rate,
                             block.stereo);
    });
}

struct Tally {
    uint64_t scenarios = 0, blocks = 0, values = 0;
};

// The first difference between the path and the plain implementation, or "".
std::string compare_path(EqPath path, const Scenario &scenario, Tally &tally) {
    EqSampleState ours = scenario.state, theirs = scenario.state;
    for (size_t b = 0; b < scenario.blocks.size(); ++b) {
        const Block &block = scenario.blocks[b];
        const std::vector<int16_t> got = run_block(block, [&](const int16_t *src, int16_t *dst) {
            process_on(path, &ours, src, dst, block);
        });
        const std::vector<int16_t> want = run_block(block, [&](const int16_t *src, int16_t *dst) {
            plain::process(theirs, src, dst, block.frames, block.rate, block.stereo);
        });
        ++tally.blocks;
        tally.values += got.size() + sizeof ours / 4;
        if (got != want) {
            size_t at = 0;
            while (got[at] == want[at]) {
                ++at;
            }
            return "block " + std::to_string(b) + " (" + describe(block) + "): buffer value " +
                   std::to_string(at) + " is " + std::to_string(got[at]) + ", plain gives " +
                   std::to_string(want[at]);
        }
        if (std::memcmp(&ours, &theirs, sizeof ours) != 0) {
            const auto *o = reinterpret_cast<const uint32_t *>(&ours);
            const auto *t = reinterpret_cast<const uint32_t *>(&theirs);
            size_t word = 0;
            while (o[word] == t[word]) {
                ++word;
            }
            char bits[40];
            std::snprintf(bits, sizeof bits, ": %08x, plain gives %08x", o[word], t[word]);
            return "block " + std::to_string(b) + " (" + describe(block) +
                   "): state differs at byte " + std::to_string(4 * word) + bits;
        }
    }
    ++tally.scenarios;
    return "";
}

class EveryPath : public testing::TestWithParam<EqPath> {};

void check_path(EqPath path, bool adversarial, uint32_t first_seed, int count) {
    if (!eq_path_supported(path)) {
        GTEST_SKIP() << eq_path_name(path) << " is not supported by this processor";
    }
    Tally tally;
    for (int i = 0; i < count; ++i) {
        const uint32_t seed = first_seed + static_cast<uint32_t>(i);
        const std::string difference = compare_path(path, make_scenario(seed, adversarial), tally);
        ASSERT_EQ(difference, "") << eq_path_name(path) << (adversarial ? ", adversarial" : "")
                                  << ", seed " << seed;
    }
    std::printf("%s: %llu %s scenarios, %llu blocks, %llu values compared\n", eq_path_name(path),
                static_cast<unsigned long long>(tally.scenarios),
                adversarial ? "adversarial" : "designed", static_cast<unsigned long long>(tally.blocks),
                static_cast<unsigned long long>(tally.values));
}

// 64 enable masks times 12 Lerp values: 768 seeds visit every combination once.
constexpr int ROUND = 64 * LERP_COUNT;

TEST_P(EveryPath, MatchesThePlainImplementationOnDesignedBands) {
    check_path(GetParam(), false, 0, 3 * ROUND);
}

TEST_P(EveryPath, MatchesThePlainImplementationOnAdversarialStates) {
    check_path(GetParam(), true, 100000, 6 * ROUND);
}

// A history holding a NaN with a payload, which only a host writing the
// state could put there: which of two NaNs an operation passes on depends on
// the operand order the compiler chose, in the plain implementation as much
// as in ours. The output is still defined (such a result is written as 0),
// and the state must agree up to that payload.
TEST_P(EveryPath, ForeignNaNsGiveTheSameOutput) {
    const EqPath path = GetParam();
    if (!eq_path_supported(path)) {
        GTEST_SKIP() << eq_path_name(path) << " is not supported by this processor";
    }
    for (uint32_t seed = 0; seed < 200; ++seed) {
        Scenario scenario = make_scenario(seed, true);
        Generator g(seed);
        for (EqBand &band : scenario.state.bands) {
            float *history[] = {&band.x1[0], &band.x2[1], &band.y1[0], &band.y2[1]};
            *history[g.below(4)] = std::bit_cast<float>(0x7fc00000u | (g.below(0x3fffff) + 1));
        }
        EqSampleState ours = scenario.state, theirs = scenario.state;
        for (const Block &block : scenario.blocks) {
            const auto got = run_block(block, [&](const int16_t *src, int16_t *dst) {
                process_on(path, &ours, src, dst, block);
            });
            const auto want = run_block(block, [&](const int16_t *src, int16_t *dst) {
                plain::process(theirs, src, dst, block.frames, block.rate, block.stereo);
            });
            ASSERT_EQ(got, want) << "seed " << seed << ", " << describe(block);
        }
        const float *o = &ours.rate, *t = &theirs.rate;
        for (size_t i = 0; i < (sizeof ours - offsetof(EqSampleState, rate)) / 4; ++i) {
            const bool same = std::memcmp(&o[i], &t[i], 4) == 0 || (std::isnan(o[i]) && std::isnan(t[i]));
            ASSERT_TRUE(same) << "seed " << seed << ", state float " << i;
        }
    }
}

// Runs a loud quarter second, then a minute of silence, from `start` through
// `path` and the plain implementation in blocks of `length(b)` frames,
// comparing every block's output and the state after it; returns the period
// of the cycle the histories have entered by then (0: none within 2^16).
template <class Length>
int32_t silence_after_noise(EqPath path, const EqSampleState &start, int32_t stereo, bool in_place,
                            Generator &g, Length length, const std::string &what) {
    const int channels = stereo ? 2 : 1;
    EqSampleState ours = start, theirs = start;
    int64_t frames_done = 0;
    for (int b = 0; frames_done < 61 * 48000LL + 12000; ++b) {
        const int32_t frames = length(b);
        std::vector<int16_t> input(static_cast<size_t>(frames) * channels, 0);
        if (frames_done < 12000) {
            for (size_t i = 0; i < input.size(); ++i) {
                input[i] = g.sample(0, i);
            }
        }
        std::vector<int16_t> got = input, want = input;
        std::vector<int16_t> got_out(input.size()), want_out(input.size());
        int16_t *got_dst = in_place ? got.data() : got_out.data();
        int16_t *want_dst = in_place ? want.data() : want_out.data();
        tolvane::host::in_host_fp_state("FLTSMP_sample_process", [&] {
            eq_sample_process_on(path, &ours, got.data(), got_dst, frames, 48000, stereo);
        });
        plain::process(theirs, want.data(), want_dst, frames, 48000, stereo);
        if (std::memcmp(got_dst, want_dst, input.size() * sizeof(int16_t)) != 0) {
            ADD_FAILURE() << what << ", block " << b << " at frame " << frames_done;
            return -1;
        }
        if (std::memcmp(&ours, &theirs, sizeof ours) != 0) {
            ADD_FAILURE() << what << ", state after block " << b << " at frame " << frames_done;
            return -1;
        }
        frames_done += frames;
    }
    return plain::silence_period(theirs, stereo, 1 << 16);
}

const int32_t SILENCE_LENGTHS[] = {1024, 64, 4096, 1000, 256, 16, 33};

// A loud quarter second, then a minute of silence in blocks of a scenario's
// lengths: the histories die away into limit cycles of one, two or more
// frames, which a shortcut may recognise. Every block's output and the state
// after it must still be the plain implementation's, NaN or infinite
// histories included. The seeds after the first twelve reach a cycle of two
// frames, one of 90 and one of 30450 (longer than any block), and the test
// checks that the scenarios still reach short, long and two-frame cycles.
// (In a host floating-point state a share of the scenarios runs.)
TEST_P(EveryPath, LongSilencesMatchThePlainImplementation) {
    const EqPath path = GetParam();
    if (!eq_path_supported(path)) {
        GTEST_SKIP() << eq_path_name(path) << " is not supported by this processor";
    }
    const uint32_t seeds[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 27, 32, 59};
    const size_t scenarios = tolvane::host::host_fp_state() != nullptr ? 2 : std::size(seeds);
    std::vector<int32_t> periods;
    for (const uint32_t seed : std::span(seeds, scenarios)) {
        Generator g(seed + 7000);
        EqSampleState start;
        std::memset(&start, 0, sizeof start);
        start.rate = 48000.0f;
        start.lerp = LERPS[seed % 4 == 3 ? 9 : seed % 3];
        for (EqBand &band : start.bands) {
            g.design(band, start.rate);
            for (int c = 0; c < 2; ++c) {
                band.x1[c] = band.x2[c] = band.y1[c] = band.y2[c] = 0.0f;
            }
            band.enabled = g.chance(3) ? 0 : 1;
        }
        if (seed % 6 == 4) {
            start.bands[1].y1[0] = DEFAULT_NAN;
        } else if (seed % 6 == 5) {
            start.bands[0].x2[1] = std::numeric_limits<float>::infinity();
        }
        const int32_t period = silence_after_noise(
            path, start, seed % 2 == 0 ? 1 : 0, seed % 4 < 2, g,
            [seed](int b) { return SILENCE_LENGTHS[seed % 3 == 0 ? (seed + b) % 7 : seed % 7]; },
            "seed " + std::to_string(seed));
        ASSERT_GE(period, 0);
        periods.push_back(period);
    }
    if (scenarios == std::size(seeds)) {
        auto reached = [&periods](int32_t low, int32_t high) {
            return std::any_of(periods.begin(), periods.end(),
                               [&](int32_t p) { return p >= low && p <= high; });
        };
        EXPECT_TRUE(reached(1, 1) && reached(2, 2) && reached(3, 64) && reached(65, 1 << 16))
            << "the scenarios no longer reach cycles of every kind";
    }
}

// Silences where a shortcut has little or nothing to skip: after the minute
// the histories are still shrinking, or cycle with a period near a block's
// length or beyond what it keeps of the way (952 and 2856 frames, in blocks
// of up to 4096), or never within 2^16.
// Where the histories land depends on the noise before the silence, so each
// row fixes its noise, and the test checks the row still lands there.
TEST_P(EveryPath, SilencesWithoutAShortCycleMatchThePlainImplementation) {
    const EqPath path = GetParam();
    if (!eq_path_supported(path)) {
        GTEST_SKIP() << eq_path_name(path) << " is not supported by this processor";
    }
    struct Row {
        const char *what;
        uint32_t noise;
        float lerp;
        float bands[EQ_BANDS][5];  // type, freq, q, gain, enabled
        int32_t low, high;         // the period after the minute, stereo and mono
    };
    const Row rows[] = {
        {"still shrinking", 0, 1.0f,
         {{4, 20, 20, 18, 1}, {0, 1000, 1, 0, 0}, {0, 1000, 1, 0, 0},
          {0, 1000, 1, 0, 0}, {0, 1000, 1, 0, 0}, {0, 1000, 1, 0, 0}},
         0, 0},
        {"cycles of 952 and 2856 frames", 2, 0.451f,
         {{2, 11121, 12.18f, 7.121f, 0}, {0, 5994.87f, 6.429f, -15.07f, 1},
          {3, 1819.44f, 11.85f, -6.253f, 1}, {0, 414.192f, 1.596f, 5.868f, 0},
          {1, 3181.42f, 19.23f, -1.322f, 1}, {3, 481.65f, 0.376f, 4.994f, 0}},
         641, 4096},
        {"no cycle", 23, 0.9375f,
         {{4, 1527.41f, 0.4822f, 11.05f, 0}, {0, 7718.55f, 0.392f, -9.952f, 1},
          {4, 12305.4f, 0.1123f, -7.39f, 1}, {2, 13329.2f, 16.34f, -6.3f, 1},
          {3, 21.9062f, 1.323f, -4.939f, 1}, {2, 269.038f, 0.63f, -8.314f, 1}},
         0, 0},
    };
    // In a host floating-point state each path runs one row.
    const size_t share = tolvane::host::host_fp_state() != nullptr ? 1 : std::size(rows);
    for (size_t r = 0; r < share; ++r) {
        const Row &row = rows[(r + static_cast<size_t>(path)) % std::size(rows)];
        EqSampleState start;
        std::memset(&start, 0, sizeof start);
        start.rate = 48000.0f;
        start.lerp = row.lerp;
        for (int b = 0; b < EQ_BANDS; ++b) {
            EqBand &band = start.bands[b];
            band.type = static_cast<int32_t>(row.bands[b][0]);
            band.freq = row.bands[b][1];
            band.q = row.bands[b][2];
            band.gain = row.bands[b][3];
            band.enabled = static_cast<int32_t>(row.bands[b][4]);
            eq_design_band(&band, start.rate);
        }
        Generator g(row.noise);
        for (const int32_t stereo : {1, 0}) {
            const std::string what = std::string(row.what) + (stereo ? ", stereo" : ", mono");
            const int32_t period = silence_after_noise(
                path, start, stereo, stereo == 1, g,
                [stereo](int b) { return SILENCE_LENGTHS[(b + stereo) % 7]; }, what);
            ASSERT_GE(period, 0);
            EXPECT_TRUE(period >= row.low && period <= row.high)
                << what << ": the period is now " << period;
        }
    }
}

// The three directed rounding modes a host may have set in MXCSR.
const uint32_t DIRECTED_ROUNDING[] = {0x2000, 0x4000, 0x6000};  // down, up, toward zero

// Runs `work` in the given rounding mode, then puts the program's own state
// back. The mode goes into the x87 control word too, as fesetround puts it:
// mingw's nearbyintf, which the plain implementation calls, reads it there.
// The code `work` calls is in other files, so nothing computed around it can
// move into the mode.
template <class Work>
void in_rounding_mode(uint32_t rounding, Work work) {
    const uint32_t own = _mm_getcsr();
    uint16_t own_x87;
    __asm__ volatile("fnstcw %0" : "=m"(own_x87));
    const uint16_t x87 = static_cast<uint16_t>((own_x87 & ~0x0c00) | (rounding >> 3));
    __asm__ volatile("fldcw %0" : : "m"(x87));
    _mm_setcsr(0x1f80 | rounding);
    work();
    _mm_setcsr(own);
    __asm__ volatile("fldcw %0" : : "m"(own_x87));
}

// The host's SSE rounding mode is the one part of its floating-point state
// that block processing honours: in each mode every path gives what the plain
// implementation gives in that mode, and that is not what round to nearest
// gives. Blocks at a new rate are left out: a design never takes the host's
// mode (the test after this one).
TEST_P(EveryPath, RoundsInTheHostsRoundingMode) {
    const EqPath path = GetParam();
    if (!eq_path_supported(path)) {
        GTEST_SKIP() << eq_path_name(path) << " is not supported by this processor";
    }
    for (const uint32_t rounding : DIRECTED_ROUNDING) {
        int compared = 0, unlike_nearest = 0;
        for (uint32_t seed = 0; compared < 300; ++seed) {
            const Scenario scenario = make_scenario(seed, seed % 2 != 0);
            bool one_rate = true;
            for (const Block &block : scenario.blocks) {
                one_rate = one_rate && static_cast<float>(block.rate) == scenario.state.rate;
            }
            if (!one_rate) {
                continue;
            }
            ++compared;
            EqSampleState ours = scenario.state, theirs = scenario.state, nearest = scenario.state;
            for (const Block &block : scenario.blocks) {
                const auto got = run_block(block, [&](const int16_t *src, int16_t *dst) {
                    in_rounding_mode(rounding, [&] {
                        eq_sample_process_on(path, &ours, src, dst, block.frames, block.rate,
                                             block.stereo);
                    });
                });
                const auto want = run_block(block, [&](const int16_t *src, int16_t *dst) {
                    in_rounding_mode(rounding, [&] {
                        plain::process(theirs, src, dst, block.frames, block.rate, block.stereo);
                    });
                });
                const auto near = run_block(block, [&](const int16_t *src, int16_t *dst) {
                    eq_sample_process_on(path, &nearest, src, dst, block.frames, block.rate,
                                         block.stereo);
                });
                ASSERT_EQ(got, want) << "rounding " << std::hex << rounding << std::dec << ", seed "
                                     << seed << ", " << describe(block);
                unlike_nearest += got != near;
            }
            ASSERT_EQ(std::memcmp(&ours, &theirs, sizeof ours), 0)
                << "rounding " << std::hex << rounding << std::dec << ", seed " << seed;
        }
        EXPECT_GT(unlike_nearest, 0) << "rounding " << std::hex << rounding
                                     << ": no block came out other than under round to nearest";
    }
}

// Coefficients are a function of the setting and the rate alone: designed
// through the property entry, or by a block at a new rate, in each directed
// rounding mode, every band's bits are those designed in round to nearest.
TEST(Design, IgnoresTheHostsRoundingMode) {
    for (const uint32_t rounding : DIRECTED_ROUNDING) {
        for (uint32_t seed = 0; seed < 400; ++seed) {
            Generator g(seed);
            const int32_t rates[] = {8000, 22050, 44100, 48000, 96000, 16777217};
            const int32_t rate = rates[g.below(6)];
            const int32_t token = TOKEN_BAND(g.below(2), g.below(3), 0);
            const int32_t type = static_cast<int32_t>(g.below(5));
            const float values[3] = {20000.0f * g.unit() * g.unit(), 0.01f + 10.0f * g.unit(),
                                     -30.0f + 60.0f * g.unit()};
            auto design = [&](EqSampleState &state) {
                eq_sample_process_on(EQ_PATH_SSE2, &state, nullptr, nullptr, 0, rate, 1);
                FLTSMP_sample_property(&state, token + PARAM_TYPE, nullptr, &type, nullptr);
                for (int k = 0; k < 3; ++k) {
                    FLTSMP_sample_property(&state, token + k, nullptr, &values[k], nullptr);
                }
            };
            EqSampleState ours, nearest;
            std::memset(&ours, 0, sizeof ours);
            std::memset(&nearest, 0, sizeof nearest);
            in_rounding_mode(rounding, [&] { design(ours); });
            design(nearest);
            ASSERT_EQ(std::memcmp(&ours, &nearest, sizeof ours), 0)
                << "rounding " << std::hex << rounding << std::dec << ", seed " << seed;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, EveryPath,
                         testing::Values(EQ_PATH_SCALAR, EQ_PATH_SSE2, EQ_PATH_AVX2, EQ_PATH_AVX512),
                         [](const testing::TestParamInfo<EqPath> &info) {
                             return std::string(eq_path_name(info.param));
                         });

TEST(Dispatch, ChoosesTheWidestSupportedPath) {
    const EqPath chosen = eq_path_chosen();
    EXPECT_TRUE(eq_path_supported(chosen));
    EXPECT_NE(chosen, EQ_PATH_SCALAR);
    for (int p = chosen + 1; p < EQ_PATH_COUNT; ++p) {
        EXPECT_FALSE(eq_path_supported(static_cast<EqPath>(p))) << eq_path_name(static_cast<EqPath>(p));
    }
    std::printf("this processor: %s\n", eq_path_name(chosen));
}

}  // namespace
