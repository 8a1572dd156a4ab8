// Block kernels for processors with AVX2. Only this file is compiled for
// them; the dispatcher calls it after asking the processor.
//
// These kernels do not fuse multiplies and adds, though it would give the
// same bits: valgrind, which the native tests run under, emulates AVX2 but
// gets the sign of some zero results of a fused multiply-add wrong. It does
// not run AVX-512 code, so the AVX-512 kernels fuse.
#include <immintrin.h>

#include <cstring>
#include <type_traits>

#include "eq/eq_block.h"

namespace {

#include "eq/eq_lanes_avx.inc"
#include "eq/eq_cascade.inc"

}  // namespace

void eq_block_avx2(const EqBlock &block) { run_block<Avx2Lanes<false>, Avx4Lanes<false>>(block); }
