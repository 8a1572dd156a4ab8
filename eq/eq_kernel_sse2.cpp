// Block kernels for any x86 processor with SSE2: the baseline of every build.
#include <emmintrin.h>

#include <cstring>
#include <type_traits>

#include "eq/eq_block.h"

namespace {

// Left and right in the two lanes of an SSE2 double vector. Lane-wise IEEE
// operations give exactly what the scalar ones give.
struct Sse2 {
    using V = __m128d;
    static V zero() { return _mm_setzero_pd(); }
    static V splat(float f) { return _mm_set1_pd(f); }
    static V mul(V a, V b) { return _mm_mul_pd(a, b); }
    static V add(V a, V b) { return _mm_add_pd(a, b); }
    static V sub(V a, V b) { return _mm_sub_pd(a, b); }
    static V mul_add(V a, V b, V c) { return _mm_add_pd(_mm_mul_pd(a, b), c); }
    static V sub_mul(V c, V a, V b) { return _mm_sub_pd(c, _mm_mul_pd(a, b)); }
    using F = __m128;
    static F narrow(V a) { return _mm_cvtpd_ps(a); }
    static V widen(F a) { return _mm_cvtps_pd(a); }
    static V differ_or(V d, V a, V b) { return _mm_or_pd(d, _mm_xor_pd(a, b)); }
    static V either(V d, V e) { return _mm_or_pd(d, e); }
    static bool none(V d) {
        return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_castpd_si128(d), _mm_setzero_si128())) == 0xffff;
    }
    static V from_pair(V a) { return a; }
    static V to_pair(V a) { return a; }
};

#include "eq/eq_cascade.inc"

}  // namespace

void eq_block_sse2(const EqBlock &block) { run_block<Sse2, void>(block); }
