// Opening a sample state: zeroed memory, the defaults, every band designed.
// (FLTSMP_open_sample, which also reports missing memory, is the shell's.)
#include <cstring>

#include "eq/eq_fp.h"
#include "eq/eq_state.h"
#include "tolvane.h"

namespace {

// The driver's sample rate, from the host's driver record. A state opened
// without a driver record starts at rate 0: its bands pass audio through
// until the first block designs them at that block's rate.
float driver_rate(const EqDriverState *driver) {
    if (driver == nullptr || driver->host_driver == nullptr) {
        return 0.0f;
    }
    int32_t rate;
    std::memcpy(&rate, static_cast<const unsigned char *>(driver->host_driver) +
                           HOST_DRIVER_RATE_OFFSET,
                sizeof rate);
    return static_cast<float>(rate);
}

}  // namespace

__attribute__((noinline)) void eq_init_sample_state(EqSampleState *state) {
    state->rate = driver_rate(state->driver);
    state->lerp = 1.0f;
    for (EqBand &band : state->bands) {
        band.freq = 20000.0f;
        band.q = 1.0f;
        band.gain = 1.0f;  // 1 dB; only read once a shelf or peaking type is chosen
        band.type = EQ_LOWPASS;
        band.enabled = 0;
        eq_design_band(&band, state->rate);
    }
}

EqSampleState *eq_open_sample(void *driver, uintptr_t sample, void *memory) {
    auto *state = static_cast<EqSampleState *>(memory);
    std::memset(state, 0, sizeof *state);
    state->driver = static_cast<EqDriverState *>(driver);
    state->sample = sample;
    // Designs every band: in the fixed environment, not in the host's.
    EqFpScope fp(EQ_FP_DESIGN);
    eq_init_sample_state(state);
    return state;
}
