// Writes a trace of the differential scenarios as they run on this build's
// provider: every call with what it was given and what it gave back, and
// the state after every operation. tests/wasm/replay.mjs replays it on the
// studio's WebAssembly module, which must reproduce it bit for bit.
//
// Usage: wasm_trace FILE [SEEDS]   (SEEDS generated and SEEDS adversarial
// scenarios, every long-silence scenario and 50 of foreign values)
//
// Records, little-endian:
//   'O' i32 rate                        open a fresh sample state
//   'P' i32 token, u8 shape, u32 value, i32 result, u32 slots[3]
//   'B' i32 frames, i32 rate, u8 stereo, u8 in_place, u8 zeros,
//       [i16 input[values] unless zeros], u32 hash of the output
//   'W' state values                    written into the state directly
//   'S' u32 hash of the state values, u8 has_nan, [state values if has_nan]
// "State values" are the state from its rate on (the two address fields
// before it differ between builds); hashes are 32-bit FNV-1a of the bytes.
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "eq/eq_state.h"
#include "host/provider_host.h"
#include "tests/scenario.h"

namespace {

constexpr size_t VALUES_AT = offsetof(EqSampleState, rate);
constexpr size_t VALUES_SIZE = sizeof(EqSampleState) - VALUES_AT;

uint32_t fnv(const void *data, size_t n) {
    const auto *p = static_cast<const unsigned char *>(data);
    uint32_t h = 0x811c9dc5u;
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ p[i]) * 0x01000193u;
    }
    return h;
}

class TraceWriter : public scenario::Recorder {
public:
    explicit TraceWriter(std::FILE *out) : out_(out) {}

    void open(int32_t rate) override {
        put<char>('O');
        put(rate);
    }

    void property(int32_t token, uint32_t shape, uint32_t value, int32_t result,
                  const uint32_t slots[3]) override {
        put<char>('P');
        put(token);
        put(static_cast<uint8_t>(shape));
        put(value);
        put(result);
        bytes(slots, 3 * sizeof(uint32_t));
    }

    void block(const int16_t *input, const int16_t *output, int32_t frames, int32_t rate,
               bool stereo, bool in_place) override {
        const size_t n = frames > 0 ? static_cast<size_t>(frames) * (stereo ? 2 : 1) : 0;
        bool zeros = true;
        for (size_t i = 0; i < n && zeros; ++i) {
            zeros = input[i] == 0;
        }
        put<char>('B');
        put(frames);
        put(rate);
        put(static_cast<uint8_t>(stereo));
        put(static_cast<uint8_t>(in_place));
        put(static_cast<uint8_t>(zeros));
        if (!zeros) {
            bytes(input, n * sizeof(int16_t));
        }
        put(fnv(output, n * sizeof(int16_t)));
    }

    void poked(const EqSampleState &state) override {
        put<char>('W');
        bytes(values(state), VALUES_SIZE);
    }

    void after(const EqSampleState &state) override {
        put<char>('S');
        put(fnv(values(state), VALUES_SIZE));
        bool nan = false;
        const auto *floats = reinterpret_cast<const float *>(values(state));
        for (size_t i = 0; i < VALUES_SIZE / 4 && !nan; ++i) {
            nan = std::isnan(floats[i]);
        }
        put(static_cast<uint8_t>(nan));
        if (nan) {
            bytes(values(state), VALUES_SIZE);
        }
    }

private:
    static const void *values(const EqSampleState &state) {
        return reinterpret_cast<const unsigned char *>(&state) + VALUES_AT;
    }
    template <class T>
    void put(T value) {
        bytes(&value, sizeof value);
    }
    void bytes(const void *data, size_t n) {
        if (std::fwrite(data, 1, n, out_) != n) {
            std::perror("wasm_trace: write");
            std::exit(1);
        }
    }
    std::FILE *out_;
};

// Histories and coefficients that only a host writing the state could make:
// NaNs of either sign, quiet and signalling, with and without payload, and
// infinities and values that overflow on the next frame. The provider turns
// a result that is not a number into silence; which NaN it carries on is
// where WebAssembly may differ from x86.
void run_foreign_values(const tolvane::host::Provider &provider, uint32_t seed,
                        TraceWriter &trace) {
    static const uint32_t VALUES[] = {0x7fc00000u, 0xffc00000u, 0x7fa00001u, 0xffc12345u,
                                      0x7f800000u, 0xff800000u, 0x7f7fffffu, 0x00000001u};
    std::mt19937 rng(seed);
    const int32_t rate = 48000;
    trace.open(rate);
    tolvane::host::Voice voice(provider, rate);
    auto &state = *static_cast<EqSampleState *>(voice.state());
    trace.after(state);
    for (int32_t p = 0; p < 2; ++p) {
        for (int32_t b = 0; b < 3; ++b) {
            const int32_t type = static_cast<int32_t>(rng() % 5);
            const float freq = 50.0f * static_cast<float>(1 + rng() % 200);
            const int32_t on = rng() % 4 != 0;
            voice.set_int(TOKEN_BAND(p, b, PARAM_TYPE), type);
            voice.set_float(TOKEN_BAND(p, b, PARAM_FREQ), freq);
            voice.set_int(TOKEN_BAND(p, b, PARAM_ENABLE), on);
        }
    }
    voice.set_float(TOKEN_LERP, rng() % 2 ? 1.0f : 0.5f);
    trace.poked(state);  // the setting, made through the entries above
    for (int op = 0; op < 12; ++op) {
        EqBand &band = state.bands[rng() % 6];
        float *places[] = {&band.x1[0], &band.x1[1], &band.x2[0], &band.y1[1],
                           &band.y2[0], &band.b0,    &band.a1,    &band.a2};
        const uint32_t bits = VALUES[rng() % std::size(VALUES)];
        std::memcpy(places[rng() % std::size(places)], &bits, sizeof bits);
        trace.poked(state);
        const bool stereo = rng() % 2 != 0;
        const int32_t frames = 1 + static_cast<int32_t>(rng() % 300);
        std::vector<int16_t> in(static_cast<size_t>(frames) * (stereo ? 2 : 1)), out(in.size());
        for (int16_t &v : in) {
            v = static_cast<int16_t>(rng());
        }
        voice.process(in.data(), out.data(), frames, rate, stereo);
        trace.block(in.data(), out.data(), frames, rate, stereo, false);
        trace.after(state);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: wasm_trace FILE [SEEDS]\n");
        return 2;
    }
    const int seeds = argc > 2 ? std::atoi(argv[2]) : 300;
    std::FILE *out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    try {
        const tolvane::host::Provider provider;
        TraceWriter trace(out);
        int failures = 0;
        for (int adversarial = 0; adversarial < 2; ++adversarial) {
            for (int i = 0; i < seeds; ++i) {
                const uint32_t seed = (adversarial ? 1000001u : 1u) + static_cast<uint32_t>(i);
                const scenario::Result r = scenario::run(provider, seed, adversarial != 0, &trace);
                if (!r.mismatch.empty()) {
                    std::fprintf(stderr, "scenario %u: %s\n", seed, r.mismatch.c_str());
                    ++failures;
                }
            }
        }
        // Cycles of every length the long-silence test reaches.
        for (uint32_t seed : {1u, 5u, 2u, 24u, 19u, 14u, 17u}) {
            const scenario::SilenceResult r = scenario::run_silence(provider, seed, 61, &trace);
            if (!r.mismatch.empty()) {
                std::fprintf(stderr, "silence %u: %s\n", seed, r.mismatch.c_str());
                ++failures;
            }
        }
        for (uint32_t seed = 1; seed <= 50; ++seed) {
            run_foreign_values(provider, seed, trace);
        }
        if (std::fclose(out) != 0) {
            std::perror(argv[1]);
            return 1;
        }
        return failures == 0 ? 0 : 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "wasm_trace: %s\n", e.what());
        return 1;
    }
}
