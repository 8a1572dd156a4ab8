// The 31 sample properties: "Lerp" and five parameters of each of six bands.
#include <cstring>

#include "eq/eq_fp.h"
#include "eq/eq_state.h"
#include "tolvane.h"

namespace {

// Upper bound tested first; a value equal to a bound stays as it is.
template <class T>
T clamp_to(T value, T lower, T upper) {
    if (value > upper) {
        return upper;
    }
    if (value < lower) {
        return lower;
    }
    return value;
}

// Every property is one 32-bit field of the state; the slots carry its bits.
static_assert(sizeof(float) == 4 && sizeof(int32_t) == 4);

template <class T>
T read_slot(const void *slot) {
    T value;
    std::memcpy(&value, slot, sizeof value);
    return value;
}

// A new Freq, Q or Gain. A value that is not a number is refused and the
// property keeps its value. One equal to the stored value after clamping costs
// nothing and keeps the band's history; any other is stored and redesigns the
// band, which clears its history.
void set_band_float(EqFpScope &fp, EqBand *band, float *field, float value, float lower,
                    float upper, float rate) {
    if (value != value) {
        return;
    }
    value = clamp_to(value, lower, upper);
    if (value == *field) {
        return;
    }
    *field = value;
    fp.enter(EQ_FP_DESIGN);
    eq_design_band(band, rate);
}

void set_property(EqFpScope &fp, EqSampleState *state, int32_t token, const void *slot) {
    if (token == TOKEN_LERP) {
        const float lerp = read_slot<float>(slot);
        if (lerp == lerp) {
            state->lerp = clamp_to(lerp, 0.0f, 1.0f);
        }
        return;
    }
    const int32_t n = token - TOKEN_BAND_FIRST;
    EqBand *band = &state->bands[n / 5];
    // Redesigns use the rate the state's bands currently run at, so a changed
    // band matches its neighbours even after a block at another rate.
    const float rate = state->rate;
    switch (n % 5) {
    case PARAM_FREQ:
        set_band_float(fp, band, &band->freq, read_slot<float>(slot), EQ_FREQ_MIN, EQ_FREQ_MAX,
                       rate);
        break;
    case PARAM_Q:
        set_band_float(fp, band, &band->q, read_slot<float>(slot), EQ_Q_MIN, EQ_Q_MAX, rate);
        break;
    case PARAM_GAIN:
        set_band_float(fp, band, &band->gain, read_slot<float>(slot), EQ_GAIN_MIN, EQ_GAIN_MAX,
                       rate);
        break;
    case PARAM_TYPE: {
        const int32_t type = clamp_to(read_slot<int32_t>(slot), EQ_TYPE_MIN, EQ_TYPE_MAX);
        if (type != band->type) {
            band->type = type;
            fp.enter(EQ_FP_DESIGN);
            eq_design_band(band, rate);
        }
        break;
    }
    default:  // PARAM_ENABLE: no redesign, so the band keeps its history
        band->enabled = read_slot<int32_t>(slot) != 0 ? 1 : 0;
        break;
    }
}

void *property_field(EqSampleState *state, int32_t token) {
    if (token == TOKEN_LERP) {
        return &state->lerp;
    }
    const int32_t n = token - TOKEN_BAND_FIRST;
    EqBand &band = state->bands[n / 5];
    void *const fields[5] = {&band.freq, &band.q, &band.gain, &band.type, &band.enabled};
    return fields[n % 5];
}

__attribute__((noinline)) int32_t sample_property(EqFpScope &fp, void *state_memory,
                                                  int32_t token, void *before,
                                                  const void *new_value, void *after) {
    // Tokens 3 .. 33 only; below 3 wraps around to a large unsigned number.
    if (static_cast<uint32_t>(token) - uint32_t{TOKEN_LERP} >
        uint32_t{TOKEN_BAND_LAST - TOKEN_LERP}) {
        return 0;
    }
    auto *state = static_cast<EqSampleState *>(state_memory);
    void *field = property_field(state, token);
    // In this order: when before and new_value share a slot, the old value is
    // read back as the new one and nothing changes.
    if (before != nullptr) {
        std::memcpy(before, field, 4);
    }
    if (new_value != nullptr) {
        set_property(fp, state, token, new_value);
    }
    if (after != nullptr) {
        std::memcpy(after, field, 4);
    }
    return 1;
}

}  // namespace

extern "C" int32_t TOLVANE_CALL FLTSMP_sample_property(void *state_memory, int32_t token,
                                                       void *before, const void *new_value,
                                                       void *after) {
    // Clamps exactly and designs a changed band in the fixed environment; the
    // host finds its own state afterwards.
    EqFpScope fp(EQ_FP_EXACT);
    return sample_property(fp, state_memory, token, before, new_value, after);
}
