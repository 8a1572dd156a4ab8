// The code paths of block processing and the choice between them. Every path
// computes the same bits; they differ only in the instructions they use.
#pragma once

#include <cstdint>

// x86 processors run vector kernels, chosen when first needed; elsewhere (the
// WebAssembly module) every block runs frame by frame, and there is nothing
// to choose.
#if defined(__i386__) || defined(__x86_64__)
#define EQ_HAS_KERNELS 1
#else
#define EQ_HAS_KERNELS 0
#endif

enum EqPath : int32_t {
    EQ_PATH_SCALAR,  // the frame-by-frame loop through eq_run_preset
    EQ_PATH_SSE2,    // any x86 processor with SSE2: every build's baseline
    EQ_PATH_AVX2,    // AVX2
    EQ_PATH_AVX512,  // AVX-512 (F, VL, BW, DQ) with fused multiply-add: 32 vector registers
    EQ_PATH_COUNT
};

const char *eq_path_name(EqPath path);

// Whether this processor, and the system's saving of its registers, can run
// the path.
bool eq_path_supported(EqPath path);

// The path FLTSMP_sample_process takes on this processor: the fastest one
// that is supported. Found once and remembered.
EqPath eq_path_chosen();

// FLTSMP_sample_process on a given path, which must be supported: the same
// working copy, rate check and write-back around that path's kernels.
void eq_sample_process_on(EqPath path, void *state_memory, const int16_t *source,
                          int16_t *destination, int32_t frames, int32_t rate, int32_t stereo);
