// A block's work, settled once before its first frame, and the kernels that
// run it. Each kernel is built for one instruction set in a file of its own.
#pragma once

#include <cstdint>

#include "eq/eq_state.h"

// One preset that runs this block: its weight is at or above the gate, and
// only its enabled bands take part.
struct EqChain {
    float weight;
    int stages;                          // enabled bands, 0 to 3
    EqBand *band[EQ_BANDS_PER_PRESET];   // those bands of the working copy, in order
};

// The presets that run, the one with more stages first. The output is the
// sum of their results; the order of a sum of two values does not change it.
struct EqBlock {
    const int16_t *source;
    int16_t *destination;
    int32_t frames;  // at least 1
    int32_t silent_from;  // every source value from this frame on is zero (frames: none)
    bool stereo;
    int chains;      // 1 or 2
    EqChain chain[EQ_PRESETS];
};

// The kernels take blocks of at least this many frames.
constexpr int32_t EQ_KERNEL_MIN_FRAMES = 4;

// Run every frame of the block and leave the histories in the bands. Source
// and destination are either the same buffer or do not overlap at all.
void eq_block_sse2(const EqBlock &block);
void eq_block_avx2(const EqBlock &block);
void eq_block_avx512(const EqBlock &block);
