// The benchmark of the native build, on Google Benchmark: every case through
// the loaded provider and through the plain implementation, five times each,
// then one table row per case from the medians.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/cases.h"

namespace {

// Keeps each benchmark's median time per call while printing as usual.
class Medians : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ns_per_call;

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.aggregate_name == "median") {
                ns_per_call[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

template <void (bench::Workload::*call)()>
void measure(benchmark::State &state, const tolvane::host::Provider *provider, const bench::Case *c) {
    bench::Workload workload(*provider, *c);
    for (auto _ : state) {
        (workload.*call)();
        benchmark::ClobberMemory();
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * c->block,
                           benchmark::Counter::kIsRate);
}

void fp_switch(benchmark::State &state) {
    bench::FpSwitch work;
    for (auto _ : state) {
        work.block();
    }
}

void property_change(benchmark::State &state, const tolvane::host::Provider *provider) {
    bench::PropertyChange work(*provider);
    for (auto _ : state) {
        work.block();
    }
}

void recursion(benchmark::State &state) {
    bench::Recursion work;
    for (auto _ : state) {
        work.block();
        benchmark::ClobberMemory();
    }
    state.counters["samples/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * work.frames_per_call(), benchmark::Counter::kIsRate);
}

}  // namespace

// --wide=N times only the first N wide settings (all 200 by default).
int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    int wide = 200;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--wide=", 7) == 0) {
            wide = std::atoi(argv[i] + 7);
        }
    }
    const tolvane::host::Provider provider;

    benchmark::RegisterBenchmark("floor/recursion", recursion)
        ->Unit(benchmark::kNanosecond)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true)
        ->MinTime(0.2);
    benchmark::RegisterBenchmark("floor/fp-switch", fp_switch)
        ->Unit(benchmark::kNanosecond)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true)
        ->MinTime(0.2);
    benchmark::RegisterBenchmark("floor/property-change", property_change, &provider)
        ->Unit(benchmark::kNanosecond)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true)
        ->MinTime(0.2);
    const std::vector<bench::Case> &cases = bench::cases();
    std::vector<bool> identical(cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const bench::Case &c = cases[i];
        const std::string difference = bench::check_identical(provider, c);
        identical[i] = difference.empty();
        if (!identical[i]) {
            std::fprintf(stderr, "case %s: %s\n", c.id.c_str(), difference.c_str());
        }
        const std::string name = std::string(c.id) + "/";
        auto add = [&](const std::string &what, auto function) {
            benchmark::RegisterBenchmark((name + what).c_str(), function, &provider, &c)
                ->Unit(benchmark::kNanosecond)
                ->Repetitions(5)
                ->ReportAggregatesOnly(true)
                ->MinTime(0.2);
        };
        add("plain", measure<&bench::Workload::plain_block>);
        add("tolvane", measure<&bench::Workload::provider_block>);
        if (c.beside_memcpy) {
            add("memcpy", measure<&bench::Workload::copy_block>);
        }
    }

    Medians medians;
    benchmark::RunSpecifiedBenchmarks(&medians);
    benchmark::Shutdown();

    bench::print_floor("native", medians.ns_per_call["floor/recursion"] / bench::Recursion::BLOCK);
    bench::print_fp_switch("native", medians.ns_per_call["floor/fp-switch"] / bench::FpSwitch::CALLS);
    bench::print_property_change(
        "native", medians.ns_per_call["floor/property-change"] / bench::PropertyChange::CALLS);
    for (size_t i = 0; i < cases.size(); ++i) {
        const bench::Case &c = cases[i];
        const std::string name = std::string(c.id) + "/";
        auto per_frame = [&](const char *what) {
            auto found = medians.ns_per_call.find(name + what);
            return found == medians.ns_per_call.end() ? 0.0 : found->second / c.block;
        };
        if (per_frame("tolvane") > 0) {
            bench::print_row("native", c, per_frame("plain"), per_frame("tolvane"),
                             per_frame("memcpy"), identical[i]);
        }
    }
    bool all_identical = std::find(identical.begin(), identical.end(), false) == identical.end();
    return bench::run_wide_pairs(provider, "native", wide) && all_identical ? 0 : 1;
}
