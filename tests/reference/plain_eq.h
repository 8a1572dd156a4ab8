// A deliberately plain second implementation of the equaliser, written for
// the tests: design, properties and the block loop, straight from the
// definition, sharing nothing with the product but the record layout. The
// product must match it value for value.
#pragma once

#include <cstdint>

#include "eq/eq_state.h"

namespace plain {

void design(EqBand &band, float rate);
// Same contract as FLTSMP_open_sample on non-null memory.
void open(EqSampleState &state, EqDriverState *driver, uintptr_t sample);
// Same contract as FLTSMP_sample_property.
int32_t property(EqSampleState &state, int32_t token, void *before, const void *new_value,
                 void *after);
// Same contract as FLTSMP_sample_process.
void process(EqSampleState &state, const int16_t *source, int16_t *destination, int32_t frames,
             int32_t rate, int32_t stereo);

// For the tests of silence: the period of the limit cycle the histories of
// `state` have entered on silence at its stored rate, found frame by frame
// with Brent's method; 0 if none shows within `limit` frames.
int32_t silence_period(EqSampleState state, int32_t stereo, int32_t limit);

}  // namespace plain
