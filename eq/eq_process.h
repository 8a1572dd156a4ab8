// The pieces of block processing that tests and the benchmark reach directly.
#pragma once

#include <cstdint>

#include "eq/eq_band.h"

// A channel's result as 16-bit PCM. Mono truncates toward zero; stereo rounds
// to nearest. Both saturate, and a result that is not a number becomes 0.
int16_t eq_to_pcm_truncate(float value);
int16_t eq_to_pcm_round(float value);
