// Different sample states share nothing that processing writes: processed at
// the same time on several threads they give what they give one by one.
#include <thread>

#include "tests/engine_fixture.h"

using namespace engine_test;

namespace {

std::vector<int16_t> render(Voice &voice, int seed) {
    voice.set_float(TOKEN_LERP, 0.25f + 0.1f * seed);
    for (int band = 0; band < 3; ++band) {
        for (int preset = 0; preset < 2; ++preset) {
            voice.set_int(TOKEN_BAND(preset, band, PARAM_TYPE), (seed + band) % 5);
            voice.set_float(TOKEN_BAND(preset, band, PARAM_FREQ), 200.0f * (1 + band + seed));
            voice.set_float(TOKEN_BAND(preset, band, PARAM_GAIN), 3.0f * (band - seed));
            voice.set_int(TOKEN_BAND(preset, band, PARAM_ENABLE), 1);
        }
    }
    std::vector<int16_t> out;
    uint32_t x = static_cast<uint32_t>(seed) * 2654435761u;
    for (int block = 0; block < 200; ++block) {
        std::vector<int16_t> in(512);
        for (int16_t &v : in) {
            x = x * 1664525u + 1013904223u;
            v = static_cast<int16_t>(x >> 16);
        }
        const std::vector<int16_t> o = voice.run(in, block < 100 ? 48000 : 44100, true);
        out.insert(out.end(), o.begin(), o.end());
    }
    return out;
}

TEST(Threads, StatesProcessedTogetherMatchStatesProcessedAlone) {
    constexpr int N = 4;
    std::vector<std::vector<int16_t>> alone(N), together(N);
    for (int i = 0; i < N; ++i) {
        Voice voice;
        alone[i] = render(voice, i);
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < N; ++i) {
        threads.emplace_back([&together, i] {
            Voice voice;
            together[i] = render(voice, i);
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    for (int i = 0; i < N; ++i) {
        EXPECT_EQ(together[i], alone[i]) << "state " << i;
    }
}

}  // namespace
