// The per-sample equaliser state, in memory that the host supplies.
#pragma once

#include <cstdint>

#include "eq/eq_band.h"
#include "eq/eq_driver.h"

inline constexpr int EQ_PRESETS = 2;
inline constexpr int EQ_BANDS_PER_PRESET = 3;
inline constexpr int EQ_BANDS = EQ_PRESETS * EQ_BANDS_PER_PRESET;

// Band b of preset p is bands[3*p + b]. Preset 0 is weighted by lerp and
// preset 1 by 1 - lerp; the output is their sum.
struct EqSampleState {
    uintptr_t sample;       // the host's sample handle, stored unread
    EqDriverState *driver;  // the driver record the state was opened with
    float rate;             // Hz; the rate all six bands were last designed for
    float lerp;             // 0 .. 1
    EqBand bands[EQ_BANDS];
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(EqSampleState) == 448, "the host's 32-bit layout");
#endif

// Sets the defaults of a freshly zeroed state whose driver is set, and designs
// every band at the driver's rate.
void eq_init_sample_state(EqSampleState *state);

// FLTSMP_open_sample's work on memory that is there: the state zeroed, its
// driver (which may be null) and sample stored, its defaults set.
EqSampleState *eq_open_sample(void *driver, uintptr_t sample, void *memory);
