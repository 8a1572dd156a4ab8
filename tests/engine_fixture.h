// Shared ground for the engine tests that go through the loaded provider: one
// provider per test program, and a sample state in host memory whose record
// the test may also read and write directly, as only a test would.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "eq/eq_state.h"
#include "host/provider_host.h"

namespace engine_test {

inline const tolvane::host::Provider &provider() {
    static tolvane::host::Provider instance;
    return instance;
}

inline const tolvane::host::ProviderEntries &fn() { return provider().fn(); }

class Voice : public tolvane::host::Voice {
public:
    explicit Voice(int32_t rate = 48000) : tolvane::host::Voice(provider(), rate) {}
    EqSampleState &st() { return *static_cast<EqSampleState *>(state()); }
    EqBand &band(int preset, int band) { return st().bands[3 * preset + band]; }

    std::vector<int16_t> run(const std::vector<int16_t> &in, int32_t rate, bool stereo) {
        std::vector<int16_t> out(in.size());
        const int32_t frames = static_cast<int32_t>(in.size() / (stereo ? 2 : 1));
        process(in.data(), out.data(), frames, rate, stereo);
        return out;
    }
};

// Coefficients written straight into a band, bypassing the design.
inline void set_coefficients(EqBand &band, float b0, float b1, float b2, float a1, float a2) {
    band.b0 = b0;
    band.b1 = b1;
    band.b2 = b2;
    band.a1 = a1;
    band.a2 = a2;
    band.enabled = 1;
}

inline void fill_history(EqBand &band, float base) {
    for (int c = 0; c < 2; ++c) {
        band.x1[c] = base + 1 + 10 * c;
        band.x2[c] = base + 2 + 10 * c;
        band.y1[c] = base + 3 + 10 * c;
        band.y2[c] = base + 4 + 10 * c;
    }
}

inline bool same_bytes(const void *a, const void *b, size_t n) { return std::memcmp(a, b, n) == 0; }

inline bool history_is_zero(const EqBand &band) {
    const float zero[8] = {};
    return same_bytes(band.x1, zero, sizeof zero);
}

}  // namespace engine_test
