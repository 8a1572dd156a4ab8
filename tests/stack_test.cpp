// The 32-bit Windows calling convention promises only 4-byte stack alignment,
// and the host that loads tolvane.flt there is built by another compiler.
// Every path is called with the stack 0, 4, 8 and 12 bytes past a 16-byte
// boundary: a vector spilled with an aligned move to a slot the code assumed
// aligned would fault, and the results must still be the plain ones.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "eq/eq_dispatch.h"
#include "eq/eq_state.h"
#include "host/fp_state.h"
#include "tests/reference/plain_eq.h"

namespace {

#if defined(_WIN32) && !defined(_WIN64)

struct Call {
    decltype(&eq_sample_process_on) fn;
    int32_t path;
    void *state;
    const int16_t *source;
    int16_t *destination;
    int32_t frames, rate, stereo;
};
static_assert(offsetof(Call, stereo) == 28, "eight 4-byte slots, pushed last to first");

// Calls c->fn with the stack pointer `skew` bytes past a 16-byte boundary at
// the call instruction.
__attribute__((noinline)) void call_skewed(const Call *c, uint32_t skew) {
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "andl $-16, %%esp\n\t"
        "subl %1, %%esp\n\t"
        "subl $4, %%esp\n\t"  // with the 28 bytes of arguments: a multiple of 16
        "pushl 28(%0)\n\t"
        "pushl 24(%0)\n\t"
        "pushl 20(%0)\n\t"
        "pushl 16(%0)\n\t"
        "pushl 12(%0)\n\t"
        "pushl 8(%0)\n\t"
        "pushl 4(%0)\n\t"
        "call *(%0)\n\t"
        "movl %%esi, %%esp\n\t"
        :
        : "D"(c), "b"(skew)
        : "eax", "ecx", "edx", "esi", "memory", "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4",
          "xmm5", "xmm6", "xmm7");
}

// Three audible bands in each preset, both presets running, so that every
// kernel keeps as much as it can in vector registers.
EqSampleState busy_state() {
    EqSampleState s;
    std::memset(&s, 0, sizeof s);
    s.rate = 44100.0f;
    s.lerp = 0.25f;
    const int32_t types[3] = {EQ_LOWSHELF, EQ_PEAKING, EQ_HIGHSHELF};
    for (int i = 0; i < EQ_BANDS; ++i) {
        EqBand &band = s.bands[i];
        band.type = types[i % 3];
        band.freq = 150.0f * static_cast<float>(1 + 7 * i);
        band.q = 0.7071f;
        band.gain = i % 2 ? -6.0f : 9.0f;
        band.enabled = 1;
        eq_design_band(&band, s.rate);
    }
    return s;
}

// busy_state after a loud block and two seconds of silence: the histories
// have died away to subnormal values, and silence takes its own way.
EqSampleState died_away(const std::vector<int16_t> &loud, int32_t stereo) {
    EqSampleState s = busy_state();
    std::vector<int16_t> out(loud.size()), zeros(2 * 44100);
    plain::process(s, loud.data(), out.data(), 700, 44100, stereo);
    out.resize(zeros.size());
    for (int second = 0; second < 2; ++second) {
        plain::process(s, zeros.data(), out.data(), 44100, 44100, stereo);
    }
    return s;
}

TEST(Stack, EveryPathRunsWithTheStackAlignedToFourBytesOnly) {
    std::vector<int16_t> loud(2 * 700);
    uint32_t x = 1;
    for (int16_t &v : loud) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<int16_t>(x >> 16);
    }
    const std::vector<int16_t> silence(loud.size());
    for (const bool silent : {false, true}) {
        const std::vector<int16_t> &input = silent ? silence : loud;
        for (int p = 0; p < EQ_PATH_COUNT; ++p) {
            const EqPath path = static_cast<EqPath>(p);
            if (!eq_path_supported(path)) {
                continue;
            }
            for (uint32_t skew : {0u, 4u, 8u, 12u}) {
                for (int32_t stereo : {0, 1}) {
                    for (float lerp : {0.25f, 1.0f}) {  // two presets, and one alone
                        EqSampleState ours = silent ? died_away(loud, stereo) : busy_state();
                        ours.lerp = lerp;
                        EqSampleState theirs = ours;
                        std::vector<int16_t> got(input.size()), want(input.size());
                        const Call call{eq_sample_process_on, path, &ours, input.data(), got.data(),
                                        700, 44100, stereo};
                        tolvane::host::in_host_fp_state("FLTSMP_sample_process",
                                                        [&] { call_skewed(&call, skew); });
                        plain::process(theirs, input.data(), want.data(), 700, 44100, stereo);
                        EXPECT_EQ(got, want) << eq_path_name(path) << ", skew " << skew
                                             << (silent ? ", silence" : "");
                        EXPECT_EQ(std::memcmp(&ours, &theirs, sizeof ours), 0)
                            << eq_path_name(path) << ", skew " << skew << (silent ? ", silence" : "");
                    }
                }
            }
        }
    }
}

#else

TEST(Stack, EveryPathRunsWithTheStackAlignedToFourBytesOnly) {
    GTEST_SKIP() << "only the 32-bit Windows convention leaves the stack 4-byte aligned";
}

#endif

}  // namespace
