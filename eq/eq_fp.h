// The floating-point environment the provider computes in, whatever the host
// left behind: flush-to-zero or denormals-are-zero set for speed, exceptions
// unmasked to catch the host's own bugs, the x87 unit at 24-bit precision.
// None of it may change a result or raise a trap here, and the host finds
// MXCSR and the x87 control and status flags exactly as it left them.
//
// The compiler may move arithmetic across a change of the environment, so the
// work a scope guards runs in functions that are not inlined into it.
#pragma once

#include <cstdint>

#include "eq/eq_dispatch.h"

enum EqFpMode {
    // Round to nearest, exceptions masked, no flush-to-zero, no
    // denormals-are-zero: exact comparisons and conversions.
    EQ_FP_EXACT,
    // Band design, a function of the setting and the rate alone: as exact,
    // and the x87 unit, on which mingw's cos, sin and pow compute, at its full
    // standard precision and round to nearest.
    EQ_FP_DESIGN,
    // Block processing: as exact but in the host's SSE rounding mode, which
    // decides how stereo results round (and, as in C, how every operation
    // rounds).
    EQ_FP_PROCESS,
};

#if EQ_HAS_KERNELS
#include <xmmintrin.h>

// Reading MXCSR or the x87 status word, and loading MXCSR with a new value,
// each cost several nanoseconds; loading the value it already holds costs
// next to nothing. So MXCSR is read once and written only to change it, and
// the x87 unit is looked at only when a design is about to run.
class EqFpScope {
public:
    explicit EqFpScope(EqFpMode mode)
        : host_mxcsr_(_mm_getcsr()), mxcsr_(host_mxcsr_ & ~MXCSR_FLAGS) {
        enter(mode);
    }

    EqFpScope(const EqFpScope &) = delete;
    EqFpScope &operator=(const EqFpScope &) = delete;

    void enter(EqFpMode mode) {
        constexpr uint32_t MASKED = 0x1f80, ROUNDING = 0x6000;
        const uint32_t mxcsr = mode == EQ_FP_PROCESS ? MASKED | (host_mxcsr_ & ROUNDING) : MASKED;
        if (mxcsr != mxcsr_) {
            _mm_setcsr(mxcsr | (host_mxcsr_ & MXCSR_FLAGS));
            mxcsr_ = mxcsr;
        }
        if (mode == EQ_FP_DESIGN && !x87_saved_) {
            __asm__ volatile("fnstcw %0\n\tfnstsw %1"
                             : "=m"(host_x87_control_), "=m"(host_x87_status_));
            x87_saved_ = true;
            // 64-bit precision, round to nearest, every exception masked.
            constexpr uint16_t X87_STANDARD = 0x037f;
            if (host_x87_control_ != X87_STANDARD) {
                __asm__ volatile("fldcw %0" : : "m"(X87_STANDARD) : "memory");
            }
        }
    }

    // The host rounds toward minus infinity.
    bool rounds_down() const { return (host_mxcsr_ & 0x6000) == 0x2000; }

    ~EqFpScope() {
        if (x87_saved_) {
            restore_x87();
        }
        // Also takes back any status flag the work raised.
        _mm_setcsr(host_mxcsr_);
    }

private:
    static constexpr uint32_t MXCSR_FLAGS = 0x3f;
    static constexpr uint16_t X87_FLAGS = 0xff;  // six exceptions, stack fault, summary

    void restore_x87() {
        uint16_t status;
        __asm__ volatile("fnstsw %0" : "=m"(status) : : "memory");
        if (((status ^ host_x87_status_) & X87_FLAGS) != 0) {
            if ((host_x87_status_ & X87_FLAGS) == 0) {
                __asm__ volatile("fnclex" : : : "memory");
            } else {
                // The status word can only be written whole, through the
                // environment.
                struct {
                    uint16_t control, unused0, status, unused1;
                    uint32_t rest[5];
                } env;
                __asm__ volatile("fnstenv %0" : "=m"(env) : : "memory");
                env.status = static_cast<uint16_t>((env.status & ~X87_FLAGS) |
                                                   (host_x87_status_ & X87_FLAGS));
                __asm__ volatile("fldenv %0" : : "m"(env) : "memory");
            }
        }
        __asm__ volatile("fldcw %0" : : "m"(host_x87_control_) : "memory");
    }

    uint32_t host_mxcsr_;
    uint32_t mxcsr_;  // the control bits in force now
    bool x87_saved_ = false;
    uint16_t host_x87_control_ = 0;
    uint16_t host_x87_status_ = 0;
};

#else

// WebAssembly computes in IEEE arithmetic with round to nearest, no
// flush-to-zero and no traps, whoever calls: there is nothing to shield.
class EqFpScope {
public:
    explicit EqFpScope(EqFpMode) {}
    EqFpScope(const EqFpScope &) = delete;
    EqFpScope &operator=(const EqFpScope &) = delete;
    void enter(EqFpMode) {}
    bool rounds_down() const { return false; }
};

#endif
