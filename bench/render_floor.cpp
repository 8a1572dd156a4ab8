// The floor of `tolvane render` on one file: the provider's processing of the
// file's frames alone, as render feeds them (blocks of 1024 frames, in place,
// one voice with the settings applied), with the file already in memory.
// Prints the median of a few runs in seconds; ./scripts/bench --peers adds the
// time of copying the file and sets render, sox and ffmpeg against the sum.
//
//   render_floor PROVIDER SETTINGS.toml INPUT.wav [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

#include "host/provider_host.h"
#include "tools/audio_file.h"
#include "tools/render.h"
#include "tools/settings.h"

using namespace tolvane;

int main(int argc, char **argv) {
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: render_floor PROVIDER SETTINGS.toml INPUT.wav [RUNS]\n");
        return 2;
    }
    const int runs = argc == 5 ? std::atoi(argv[4]) : 5;
    if (runs < 1) {
        std::fprintf(stderr, "render_floor: RUNS must be at least 1\n");
        return 2;
    }
    try {
        const host::Provider provider(argv[1]);
        const tools::Settings settings =
            tools::load_settings(argv[2], tools::sample_properties(provider));
        tools::SoundFile input = tools::SoundFile::open_read(argv[3]);
        const int rate = input.info().samplerate;
        const int channels = input.info().channels;
        std::vector<int16_t> file(static_cast<size_t>(input.info().frames) * channels);
        const int64_t frames = input.read(file.data(), input.info().frames);
        const tools::RenderOptions defaults;
        const int block = defaults.block;

        std::vector<double> times;
        std::vector<int16_t> samples(file.size());
        for (int run = 0; run < runs; ++run) {
            samples = file;  // the reader's part, not timed
            host::Voice voice(provider, rate);
            tools::apply_settings(voice, settings);
            const auto start = std::chrono::steady_clock::now();
            for (int64_t first = 0; first < frames; first += block) {
                const int32_t count = static_cast<int32_t>(frames - first < block ? frames - first : block);
                int16_t *at = samples.data() + first * channels;
                voice.process(at, at, count, rate, channels == 2);
            }
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            times.push_back(took.count());
        }
        std::sort(times.begin(), times.end());
        std::printf("%.6f\n", times[times.size() / 2]);
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "render_floor: %s\n", error.what());
        return 1;
    }
}
