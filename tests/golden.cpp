// Prints what this build's provider computes for a fixed set of band designs
// and scenarios. The native build's output is the reference that the Windows
// builds must reproduce exactly, line for line.
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "eq/eq_state.h"
#include "host/fp_state.h"
#include "host/provider_host.h"
#include "tests/scenario.h"

namespace {

// Designs every band through the provider as a host would: a block at the
// rate, then the band's properties. The coefficients are read from the state.
void print_designs(const tolvane::host::Provider &provider) {
    const float rates[] = {8000, 11025, 22050, 32000, 44100, 48000, 96000};
    const float freqs[] = {0.0f, 0.01f, 1.0f, 20.0f, 55.5f, 100.0f, 317.0f, 1000.0f, 2500.0f,
                           3999.0f, 4000.0f, 5512.5f, 7000.0f, 9999.9f, 11025.0f, 12000.0f,
                           15999.0f, 16000.0f, 19999.99f, 20000.0f};
    const float qs[] = {0.01f, 0.1f, 0.7071f, 1.0f, 4.5f, 100.0f};
    const float gains[] = {-30.0f, -6.0f, 0.0f, 1.0f, 12.5f, 30.0f};
    for (float rate : rates) {
        tolvane::host::Voice voice(provider, static_cast<int32_t>(rate));
        auto &state = *static_cast<EqSampleState *>(voice.state());
        for (int32_t type = EQ_LOWPASS; type <= EQ_PEAKING; ++type) {
            for (float freq : freqs) {
                for (float q : qs) {
                    for (float gain : gains) {
                        if (type <= EQ_HIGHPASS && gain != 0.0f) {
                            continue;  // pass filters do not read the gain
                        }
                        voice.set_int(TOKEN_BAND(0, 0, PARAM_TYPE), type);
                        voice.set_float(TOKEN_BAND(0, 0, PARAM_FREQ), freq);
                        voice.set_float(TOKEN_BAND(0, 0, PARAM_Q), q);
                        voice.set_float(TOKEN_BAND(0, 0, PARAM_GAIN), gain);
                        const EqBand &b = state.bands[0];
                        std::printf("design %d %.9g %.9g %.9g %.9g: %08x %08x %08x %08x %08x\n",
                                    type, freq, q, gain, rate, std::bit_cast<uint32_t>(b.b0),
                                    std::bit_cast<uint32_t>(b.b1), std::bit_cast<uint32_t>(b.b2),
                                    std::bit_cast<uint32_t>(b.a1), std::bit_cast<uint32_t>(b.a2));
                    }
                }
            }
        }
    }
}

// Many more designs over the whole parameter range, a digest per thousand:
// the C libraries' cos, sin and pow differ in the last bit now and then, and
// this is where a difference that survives the rounding to float would show.
void print_random_designs(const tolvane::host::Provider &provider) {
    uint64_t x = 0x243f6a8885a308d3ull;
    auto next = [&x] {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(x >> 32);
    };
    auto uniform = [&next](float lo, float hi) {
        return lo + (hi - lo) * static_cast<float>(next() >> 8) * (1.0f / 16777216.0f);
    };
    const int32_t rates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};
    for (int32_t rate : rates) {
        tolvane::host::Voice voice(provider, rate);
        auto &state = *static_cast<EqSampleState *>(voice.state());
        for (int group = 0; group < 25; ++group) {
            uint64_t digest = 0xcbf29ce484222325ull;
            for (int i = 0; i < 1000; ++i) {
                voice.set_int(TOKEN_BAND(0, 0, PARAM_TYPE), static_cast<int32_t>(next() % 5));
                // Cubes reach far down towards 0 Hz and Q 0.01 without any
                // library function that could itself differ between builds.
                const float f = uniform(0.0f, 1.0f), q = uniform(0.0f, 1.0f);
                voice.set_float(TOKEN_BAND(0, 0, PARAM_FREQ),
                                next() % 2 ? 20000.0f * f : 20000.0f * f * f * f);
                voice.set_float(TOKEN_BAND(0, 0, PARAM_Q), 0.01f + 99.99f * q * q * q);
                voice.set_float(TOKEN_BAND(0, 0, PARAM_GAIN), uniform(-30.0f, 30.0f));
                const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&state.bands[0].b0);
                for (size_t k = 0; k < 5 * sizeof(float); ++k) {
                    digest = (digest ^ bytes[k]) * 0x100000001b3ull;
                }
            }
            std::printf("random designs at %d, group %d: %016" PRIx64 "\n", rate, group, digest);
        }
    }
}

int print_scenarios(const tolvane::host::Provider &provider) {
    int failures = 0;
    for (int adversarial = 0; adversarial < 2; ++adversarial) {
        for (uint32_t seed = 1; seed <= 400; ++seed) {
            const scenario::Result r = scenario::run(provider, seed, adversarial != 0);
            std::printf("scenario %s %u: %016" PRIx64 "\n", adversarial ? "adversarial" : "generated",
                        seed, r.digest);
            if (!r.mismatch.empty()) {
                std::fprintf(stderr, "scenario %u: %s\n", seed, r.mismatch.c_str());
                ++failures;
            }
        }
    }
    return failures;
}

}  // namespace

// With --host-fp-state=NAME every call into the provider is made in that
// host floating-point state, and the output must still be the reference.
int main(int argc, char **argv) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);  // the same bytes as the native build
#endif
    tolvane::host::set_host_fp_state(tolvane::host::fp_state_argument(argc, argv));
    try {
        const tolvane::host::Provider provider;
        print_designs(provider);
        print_random_designs(provider);
        int failures = print_scenarios(provider);
        for (const std::string &fault : tolvane::host::take_fp_faults()) {
            std::fprintf(stderr, "golden: %s\n", fault.c_str());
            ++failures;
        }
        return failures == 0 ? 0 : 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "golden: %s\n", e.what());
        return 1;
    }
}
