// The benchmark of the Windows builds, run under Wine. Debian ships no Google
// Benchmark built for Windows, so this times the same cases itself: each
// measurement calls blocks for about 0.2 s, five measurements per case and
// implementation, and the median is reported.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/cases.h"

#ifndef TOLVANE_BUILD
#define TOLVANE_BUILD "?"
#endif

namespace {

using Clock = std::chrono::steady_clock;

// Nanoseconds per frame, the median of five runs of about 0.2 s each.
template <class Work>
double time_per_frame(Work &w, void (Work::*call)()) {
    int64_t calls = 1;
    for (;;) {  // also warms the caches and the branch predictors
        const Clock::time_point start = Clock::now();
        for (int64_t i = 0; i < calls; ++i) {
            (w.*call)();
        }
        if (Clock::now() - start > std::chrono::milliseconds(50)) {
            break;
        }
        calls *= 2;
    }
    calls *= 4;
    double runs[5];
    for (double &run : runs) {
        const Clock::time_point start = Clock::now();
        for (int64_t i = 0; i < calls; ++i) {
            (w.*call)();
        }
        const std::chrono::duration<double, std::nano> took = Clock::now() - start;
        run = took.count() / (static_cast<double>(calls) * w.frames_per_call());
    }
    std::sort(runs, runs + 5);
    return runs[2];
}

}  // namespace

// --wide=N times only the first N wide settings (all 200 by default).
int main(int argc, char **argv) {
    int wide = 200;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--wide=", 7) == 0) {
            wide = std::atoi(argv[i] + 7);
        }
    }
    const tolvane::host::Provider provider;
    bench::Recursion recursion;
    bench::print_floor(TOLVANE_BUILD, time_per_frame(recursion, &bench::Recursion::block));
    bench::FpSwitch fp_switch;
    bench::print_fp_switch(TOLVANE_BUILD, time_per_frame(fp_switch, &bench::FpSwitch::block));
    bench::PropertyChange change(provider);
    bench::print_property_change(TOLVANE_BUILD,
                                 time_per_frame(change, &bench::PropertyChange::block));
    bool all_identical = true;
    for (const bench::Case &c : bench::cases()) {
        const std::string difference = bench::check_identical(provider, c);
        if (!difference.empty()) {
            std::fprintf(stderr, "case %s: %s\n", c.id.c_str(), difference.c_str());
            all_identical = false;
        }
        bench::Workload w(provider, c);
        const double plain = time_per_frame(w, &bench::Workload::plain_block);
        const double ours = time_per_frame(w, &bench::Workload::provider_block);
        const double copy = c.beside_memcpy ? time_per_frame(w, &bench::Workload::copy_block) : 0.0;
        bench::print_row(TOLVANE_BUILD, c, plain, ours, copy, difference.empty());
    }
    return bench::run_wide_pairs(provider, TOLVANE_BUILD, wide) && all_identical ? 0 : 1;
}
