// Which code paths this processor can run, and the one block processing takes.
#include "eq/eq_dispatch.h"

#include <cpuid.h>

#include <atomic>

namespace {

// The register state the operating system saves on a task switch (XCR0):
// without it, AVX or AVX-512 registers would be lost between threads.
uint64_t saved_register_state() {
    uint32_t low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<uint64_t>(high) << 32) | low;
}

struct Cpu {
    bool avx2 = false;    // AVX2, with the YMM state saved
    bool avx512 = false;  // AVX-512 F, VL, BW and DQ, and FMA, with the ZMM state saved
};

Cpu ask_cpu() {
    Cpu cpu;
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) {
        return cpu;
    }
    const bool fma = c & bit_FMA, avx = c & bit_AVX, osxsave = c & bit_OSXSAVE;
    if (!(avx && osxsave)) {
        return cpu;
    }
    const uint64_t state = saved_register_state();
    const bool ymm_saved = (state & 0x6) == 0x6;    // SSE and AVX state
    const bool zmm_saved = (state & 0xe6) == 0xe6;  // and the three AVX-512 parts
    if (!ymm_saved || !__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        return cpu;
    }
    cpu.avx2 = b & bit_AVX2;
    const unsigned wanted = bit_AVX512F | bit_AVX512VL | bit_AVX512BW | bit_AVX512DQ;
    cpu.avx512 = cpu.avx2 && fma && zmm_saved && (b & wanted) == wanted;
    return cpu;
}

}  // namespace

const char *eq_path_name(EqPath path) {
    switch (path) {
    case EQ_PATH_SCALAR: return "scalar";
    case EQ_PATH_SSE2: return "sse2";
    case EQ_PATH_AVX2: return "avx2";
    case EQ_PATH_AVX512: return "avx512";
    default: return "?";
    }
}

bool eq_path_supported(EqPath path) {
    switch (path) {
    case EQ_PATH_SCALAR:
    case EQ_PATH_SSE2: return true;  // every build requires SSE2
    case EQ_PATH_AVX2: return ask_cpu().avx2;
    case EQ_PATH_AVX512: return ask_cpu().avx512;
    default: return false;
    }
}

EqPath eq_path_chosen() {
    // Asked once per process, without a lock: a race only asks twice and
    // finds the same answer.
    static std::atomic<int32_t> chosen{-1};
    int32_t path = chosen.load(std::memory_order_relaxed);
    if (path < 0) {
        path = EQ_PATH_SSE2;
        for (int32_t p = EQ_PATH_AVX512; p > EQ_PATH_SSE2; --p) {
            if (eq_path_supported(static_cast<EqPath>(p))) {
                path = p;
                break;
            }
        }
        chosen.store(path, std::memory_order_relaxed);
    }
    return static_cast<EqPath>(path);
}
