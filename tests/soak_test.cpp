// Ten minutes of stereo audio at 48000 Hz in 1024-frame blocks, a random
// property change before every block and a rate change every few seconds,
// compared value for value with the plain implementation. While every
// parameter is in range, no band's history may ever hold a NaN or infinity.
#include <cmath>
#include <cstdio>
#include <random>

#include "tests/engine_fixture.h"
#include "tests/reference/plain_eq.h"

using namespace engine_test;

namespace {

TEST(Soak, TenMinutesOfRandomChangesMatchThePlainImplementation) {
    constexpr int32_t BLOCK = 1024;
    constexpr int64_t FRAMES = 10LL * 60 * 48000;
    const int32_t rates[] = {48000, 44100, 22050, 32000, 96000, 8000, 11025};
    std::mt19937 rng(424242);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);

    Voice voice(48000);
    EqSampleState reference;
    std::memcpy(&reference, voice.state(), sizeof reference);

    std::vector<int16_t> in(2 * BLOCK), ours(2 * BLOCK), theirs(2 * BLOCK);
    double phase[4] = {0, 0, 0, 0};
    int32_t rate = 48000;
    int64_t blocks = 0, values = 0, rate_changes = 0, saturated = 0;
    float largest = 0.0f;
    for (int64_t done = 0; done < FRAMES; done += BLOCK, ++blocks) {
        // A property change: any token, values in and out of range (clamped).
        const int32_t token = 3 + static_cast<int32_t>(rng() % 31);
        const int param = token == 3 ? -1 : (token - 4) % 5;
        uint32_t bits;
        if (param == PARAM_TYPE || param == PARAM_ENABLE) {
            bits = param == PARAM_TYPE ? rng() % 7 - 1 : rng() % 4 != 0;
        } else {
            const float ranges[4][2] = {{-0.1f, 1.1f}, {-100.0f, 24000.0f}, {0.0f, 110.0f}, {-35.0f, 35.0f}};
            const float *r = ranges[param + 1];
            bits = std::bit_cast<uint32_t>(r[0] + (r[1] - r[0]) * unit(rng));
        }
        uint32_t slot_ours = bits, slot_theirs = bits;
        fn().sample_property(voice.state(), token, nullptr, &slot_ours, nullptr);
        plain::property(reference, token, nullptr, &slot_theirs, nullptr);

        // A rate change every four seconds or so.
        if (done % (4 * 48000) < BLOCK && done > 0) {
            rate = rates[rng() % 7];
            ++rate_changes;
        }
        // Music-like input: three drifting tones and noise, loud at times.
        const double loud = (blocks / 50) % 3 == 2 ? 1.6 : 0.5;
        for (int32_t i = 0; i < BLOCK; ++i) {
            for (int c = 0; c < 2; ++c) {
                double s = 0.0;
                for (int k = 0; k < 2; ++k) {
                    phase[2 * c + k] += 2 * 3.14159265358979 * (110.0 * (k + 1) * (c + 2)) / rate;
                    s += std::sin(phase[2 * c + k]);
                }
                s += 0.3 * (unit(rng) - 0.5);
                const double v = std::clamp(10000.0 * loud * s, -32768.0, 32767.0);
                in[2 * i + c] = static_cast<int16_t>(v);
            }
        }
        voice.process(in.data(), ours.data(), BLOCK, rate, true);
        plain::process(reference, in.data(), theirs.data(), BLOCK, rate, 1);
        values += 2 * BLOCK;
        ASSERT_EQ(ours, theirs) << "block " << blocks;
        ASSERT_TRUE(same_bytes(&reference, voice.state(), sizeof reference)) << "block " << blocks;
        for (const EqBand &band : voice.st().bands) {
            const float *history = band.x1;
            for (int h = 0; h < 8; ++h) {
                ASSERT_TRUE(std::isfinite(history[h])) << "block " << blocks;
                largest = std::max(largest, std::fabs(history[h]));
            }
        }
        for (int16_t v : ours) {
            saturated += v == 32767 || v == -32768;
        }
    }
    std::printf("soak: %lld blocks, %lld values compared, %lld rate changes, %lld saturated values, "
                "largest history value %g\n",
                static_cast<long long>(blocks), static_cast<long long>(values),
                static_cast<long long>(rate_changes), static_cast<long long>(saturated), largest);
}

}  // namespace
