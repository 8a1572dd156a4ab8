// One equaliser band: a second-order section, its parameters and its history.
#pragma once

#include <cstdint>

enum EqFilterType : int32_t {
    EQ_LOWPASS = 0,
    EQ_HIGHPASS = 1,
    EQ_LOWSHELF = 2,
    EQ_HIGHSHELF = 3,
    EQ_PEAKING = 4,
};

// Parameter units and ranges, held by the property entry (values outside are
// clamped there) and relied on by the design:
//   freq  Hz, corner (pass filters, shelves) or centre (peaking), 0 .. 20000
//   q     plain Q, 0.01f .. 100
//   gain  dB, read by the shelves and peaking only, -30 .. 30
//   type  an EqFilterType, 0 .. 4
inline constexpr float EQ_FREQ_MIN = 0.0f, EQ_FREQ_MAX = 20000.0f;
inline constexpr float EQ_Q_MIN = 0.01f, EQ_Q_MAX = 100.0f;
inline constexpr float EQ_GAIN_MIN = -30.0f, EQ_GAIN_MAX = 30.0f;
inline constexpr int32_t EQ_TYPE_MIN = EQ_LOWPASS, EQ_TYPE_MAX = EQ_PEAKING;

// Direct form I, per channel c, feedback subtracted:
//   y = b0*x + b1*x1[c] + b2*x2[c] - a1*y1[c] - a2*y2[c]
// Coefficients are stored already divided by a0. History element 0 serves
// the mono and the left channel, element 1 the right channel.
struct EqBand {
    float freq;
    float q;
    float gain;
    int32_t type;     // EqFilterType
    int32_t enabled;  // 0: skipped, history frozen
    float b0, b1, b2;
    float a1, a2;
    float x1[2], x2[2];
    float y1[2], y2[2];
};
static_assert(sizeof(EqBand) == 72, "eighteen 32-bit fields");

// Designs the band's coefficients from freq, q, gain and type at `rate` Hz and
// clears its history for both channels. The only routine that computes
// coefficients; it never runs per sample.
void eq_design_band(EqBand *band, float rate);
