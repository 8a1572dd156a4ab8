// Block processing through the loaded provider: the signal path, the gate,
// the history, rate changes and the conversion to 16 bits.
#include <cmath>
#include <numeric>
#include <random>

#include "tests/engine_fixture.h"

using namespace engine_test;

namespace {

std::vector<int16_t> noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(-32768, 32767);
    std::vector<int16_t> v(n);
    for (int16_t &x : v) {
        x = static_cast<int16_t>(value(rng));
    }
    return v;
}

void enable_preset(Voice &voice, int preset) {
    // Three audible bands: a low shelf, a peak and a high shelf.
    const int32_t types[3] = {EQ_LOWSHELF, EQ_PEAKING, EQ_HIGHSHELF};
    const float freqs[3] = {150.0f, 1000.0f, 8000.0f};
    for (int b = 0; b < 3; ++b) {
        voice.set_int(TOKEN_BAND(preset, b, PARAM_TYPE), types[b]);
        voice.set_float(TOKEN_BAND(preset, b, PARAM_FREQ), freqs[b]);
        voice.set_float(TOKEN_BAND(preset, b, PARAM_GAIN), 9.0f);
        voice.set_int(TOKEN_BAND(preset, b, PARAM_ENABLE), 1);
    }
}

TEST(Process, DefaultsPassInputThrough) {
    for (float lerp : {1.0f, 0.0f}) {
        for (bool stereo : {false, true}) {
            Voice voice(44100);
            voice.set_float(TOKEN_LERP, lerp);
            const std::vector<int16_t> in = noise(2048, 1);
            EXPECT_EQ(voice.run(in, 44100, stereo), in) << "lerp " << lerp << " stereo " << stereo;
        }
    }
}

// Preset 0 is weighted by lerp, preset 1 by 1 - lerp; below 0.001f a preset
// does not run at all and its history stays frozen.
TEST(Process, GateFreezesAPresetWeightedBelowOneThousandth) {
    const float below = std::nextafter(0.001f, 0.0f);
    struct Case {
        float lerp;
        bool preset0_runs, preset1_runs;
    } cases[] = {
        {1.0f, true, false},  {0.0f, false, true}, {0.999f, true, false},
        {0.998f, true, true}, {0.001f, true, true}, {below, false, true},
    };
    for (const Case &c : cases) {
        Voice voice;
        enable_preset(voice, 0);
        enable_preset(voice, 1);
        for (int i = 0; i < 6; ++i) {
            fill_history(voice.st().bands[i], float(i));
        }
        voice.set_float(TOKEN_LERP, c.lerp);
        const EqSampleState before = voice.st();
        voice.run(noise(512, 2), 48000, true);
        for (int i = 0; i < 6; ++i) {
            const bool runs = i < 3 ? c.preset0_runs : c.preset1_runs;
            EXPECT_EQ(!same_bytes(before.bands[i].x1, voice.st().bands[i].x1, 8 * sizeof(float)),
                      runs)
                << "lerp " << c.lerp << ", band " << i;
        }
    }
}

TEST(Process, GatedPresetContributesNothing) {
    Voice voice;
    const float lerp = std::nextafter(0.001f, 0.0f);
    voice.set_float(TOKEN_LERP, lerp);
    set_coefficients(voice.band(0, 0), 1000, 0, 0, 0, 0);  // loud, if it ran
    const std::vector<int16_t> in = {10000, -10000, 20000};
    const float weight1 = 1.0f - lerp;
    std::vector<int16_t> want;
    for (int16_t x : in) {
        want.push_back(static_cast<int16_t>(std::trunc(weight1 * float(x))));
    }
    EXPECT_EQ(voice.run(in, 48000, false), want);
}

// b1 = 1 alone delays the weighted input by one value, per channel.
TEST(Process, DelayBandKeepsChannelsApart) {
    Voice voice;
    set_coefficients(voice.band(0, 1), 0, 1, 0, 0, 0);
    const std::vector<int16_t> in = {100, -7, 200, -8, 300, -9, 400, -10};
    EXPECT_EQ(voice.run(in, 48000, true), (std::vector<int16_t>{0, 0, 100, -7, 200, -8, 300, -9}));
    // The history carries over into the next block.
    EXPECT_EQ(voice.run({1, 2}, 48000, true), (std::vector<int16_t>{400, -10}));
}

// b0 = 1 and a1 = -1 sum the inputs: the feedback terms are subtracted.
TEST(Process, RunningSumBandSubtractsFeedback) {
    Voice voice;
    set_coefficients(voice.band(0, 2), 1, 0, 0, -1, 0);
    const std::vector<int16_t> in = {1, 10, 2, 20, 3, 30, -10, -100};
    EXPECT_EQ(voice.run(in, 48000, true), (std::vector<int16_t>{1, 10, 3, 30, 6, 60, -4, -40}));
}

TEST(Process, TheSecondTermUsesTheValueBeforeLast) {
    Voice voice;
    set_coefficients(voice.band(0, 0), 0, 0, 1, 0, -1);  // y = x2 + y2
    const std::vector<int16_t> in = {5, 7, 11, 13, 17};
    // y[n] = x[n-2] + y[n-2]: 0 0 5 7 16
    EXPECT_EQ(voice.run(in, 48000, false), (std::vector<int16_t>{0, 0, 5, 7, 16}));
}

TEST(Process, DisabledBandPassesAndKeepsItsHistory) {
    Voice voice;
    set_coefficients(voice.band(0, 0), 0, 1, 0, 0, 0);
    fill_history(voice.band(0, 0), 3);
    voice.band(0, 0).enabled = 0;
    const EqBand before = voice.band(0, 0);
    const std::vector<int16_t> in = noise(64, 3);
    EXPECT_EQ(voice.run(in, 48000, true), in);
    EXPECT_TRUE(same_bytes(&before, &voice.band(0, 0), sizeof before));
    // Switched on again without a redesign, it continues from that history.
    voice.set_int(TOKEN_BAND(0, 0, PARAM_ENABLE), 1);
    EXPECT_EQ(voice.run({0, 0}, 48000, true), (std::vector<int16_t>{4, 14}));
}

TEST(Process, ANewRateRedesignsAndClearsEvenWithoutFrames) {
    for (int32_t frames : {0, -1, 16}) {
        Voice voice(48000);
        enable_preset(voice, 0);
        voice.run(noise(64, 4), 48000, true);
        for (int i = 0; i < 6; ++i) {
            fill_history(voice.st().bands[i], 1);
        }
        std::vector<int16_t> in(32, 1000), out(32, 77);
        voice.process(in.data(), out.data(), frames, 44100, true);
        EXPECT_EQ(voice.st().rate, 44100.0f);
        if (frames <= 0) {
            EXPECT_EQ(out, std::vector<int16_t>(32, 77)) << "destination untouched";
            for (const EqBand &band : voice.st().bands) {
                EXPECT_TRUE(history_is_zero(band)) << frames;
            }
        }
    }
    // A block at the stored rate keeps the histories running.
    Voice same(44100);
    fill_history(same.band(0, 0), 1);
    const int16_t in[2] = {1, 1};
    int16_t out[2];
    same.process(in, out, 0, 44100, true);
    EXPECT_FALSE(history_is_zero(same.band(0, 0)));
}

TEST(Process, AnyNonzeroStereoArgumentIsStereo) {
    const std::vector<int16_t> in = noise(256, 5);
    Voice reference;
    enable_preset(reference, 0);
    const std::vector<int16_t> want = reference.run(in, 48000, true);
    for (int32_t flag : {2, -1, 0x10000}) {
        Voice voice;
        enable_preset(voice, 0);
        std::vector<int16_t> out(in.size());
        voice.process(in.data(), out.data(), 128, 48000, flag);
        EXPECT_EQ(out, want) << flag;
    }
}

TEST(Process, InPlaceEqualsSeparateBuffers) {
    for (bool stereo : {false, true}) {
        Voice a, b;
        for (Voice *v : {&a, &b}) {
            enable_preset(*v, 0);
            enable_preset(*v, 1);
            v->set_float(TOKEN_LERP, 0.3f);
        }
        std::vector<int16_t> buffer = noise(1024, 6);
        const std::vector<int16_t> separate = a.run(buffer, 48000, stereo);
        b.process(buffer.data(), buffer.data(), stereo ? 512 : 1024, 48000, stereo);
        EXPECT_EQ(buffer, separate) << "stereo " << stereo;
    }
}

TEST(Process, MonoAfterStereoContinuesTheLeftChannel) {
    Voice voice;
    set_coefficients(voice.band(0, 0), 0, 1, 0, 0, 0);
    voice.run({100, 200, 300, 400}, 48000, true);
    const float right_x1 = voice.band(0, 0).x1[1];
    EXPECT_EQ(voice.run({5, 6}, 48000, false), (std::vector<int16_t>{300, 5}));
    EXPECT_EQ(voice.band(0, 0).x1[1], right_x1) << "the right channel is left alone";
    EXPECT_EQ(voice.run({0, 0}, 48000, true), (std::vector<int16_t>{6, 400}));
}

// A band whose b0 is the result itself (input 1, weight 1, cleared history)
// shows each conversion rule on exact values.
TEST(Process, ConversionToSixteenBits) {
    struct Case {
        float result;
        int16_t mono, stereo;
    } cases[] = {
        {100.7f, 100, 101},         {-100.7f, -100, -101},     {2.5f, 2, 2},
        {3.5f, 3, 4},               {-2.5f, -2, -2},           {32767.6f, 32767, 32767},
        {32767.4f, 32767, 32767},   {32767.5f, 32767, 32767},  {-32768.9f, -32768, -32768},
        {-32768.5f, -32768, -32768}, {40000.0f, 32767, 32767}, {-40000.0f, -32768, -32768},
        {1e30f, 32767, 32767},      {-1e30f, -32768, -32768},  {INFINITY, 32767, 32767},
        {-INFINITY, -32768, -32768}, {NAN, 0, 0},              {-0.9f, 0, -1},
    };
    for (const Case &c : cases) {
        for (bool stereo : {false, true}) {
            Voice voice;
            set_coefficients(voice.band(0, 0), c.result, 0, 0, 0, 0);
            const std::vector<int16_t> in = stereo ? std::vector<int16_t>{1, 1}
                                                   : std::vector<int16_t>{1};
            const std::vector<int16_t> out = voice.run(in, 48000, stereo);
            for (int16_t value : out) {
                EXPECT_EQ(value, stereo ? c.stereo : c.mono)
                    << c.result << (stereo ? " stereo" : " mono");
            }
        }
    }
}

}  // namespace
