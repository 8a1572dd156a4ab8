// Block kernels for processors with AVX-512 (F, VL, BW and DQ, which every
// processor with VL has): the AVX2 kernels with fused multiply-add and twice
// the vector registers, so that two presets' coefficients and histories stay
// in registers instead of spilling to the stack.
#include <immintrin.h>

#include <cstring>
#include <type_traits>

#include "eq/eq_block.h"

namespace {

#include "eq/eq_lanes_avx.inc"
#include "eq/eq_cascade.inc"

}  // namespace

void eq_block_avx512(const EqBlock &block) { run_block<Avx2Lanes<true>, Avx4Lanes<true>>(block); }
