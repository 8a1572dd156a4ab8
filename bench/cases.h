// The benchmark's cases and their workloads, shared by the Google Benchmark
// program of the native build and the small timing program of the Windows
// builds, so that every build measures exactly the same work.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "eq/eq_state.h"
#include "host/provider_host.h"

namespace bench {

constexpr int32_t RATE = 48000;

// What a voice has been through before it is timed.
enum Prelude {
    MUSIC,                  // none: it plays music
    SILENCE_AFTER_LOUD,     // a loud second, then it plays silence
    SILENCE_AFTER_MINUTE,   // a loud second and 60 s of silence, then silence
};

struct Case {
    std::string id;
    std::string what;
    bool stereo;
    int32_t block;  // frames per call
    Prelude prelude;
    bool beside_memcpy;  // also time memcpy of the same bytes
    // Properties, set as a host sets them; `seed` tells voices and cases apart.
    void (*settings)(tolvane::host::Voice &, uint32_t seed);
    uint32_t seed = 0;
    int voices = 1;        // each with its own settings, called round robin
    bool doppler = false;  // a new rate before every block
};

// Cases (a) to (j).
const std::vector<Case> &cases();

// Two hundred settings drawn widely, each as a voice playing music and as one
// on silence after a loud second and a minute of silence (the (h) row).
struct WidePair {
    Case music, silence;
};
const std::vector<WidePair> &wide_pairs();

void print_pair(const char *build, const WidePair &pair, double music_ns, double silence_ns,
                bool identical);
// Checks and times every wide pair, a row each; false if any differs from
// the plain implementation.
bool run_wide_pairs(const tolvane::host::Provider &provider, const char *build, int count = 200);

// One case's voice on the provider and its twin state for the plain
// implementation, each fed the next block of the same input in turn.
class Workload {
public:
    Workload(const tolvane::host::Provider &provider, const Case &c);

    int64_t frames_per_call() const { return case_.block; }

    void provider_block();  // FLTSMP_sample_process, found by name, as a host calls it
    void plain_block();     // plain::process on the twin state
    void copy_block();      // memcpy of the same bytes

    const int16_t *provider_output() const { return provider_out_.data(); }
    const int16_t *plain_output() const { return plain_out_.data(); }
    int voice_count() const { return static_cast<int>(voices_.size()); }
    const EqSampleState &provider_state(int voice) const;
    const EqSampleState &plain_state(int voice) const { return plain_[voice]; }

private:
    const int16_t *next(size_t &position) const;

    int32_t rate(int64_t call) const;

    const tolvane::host::Provider &provider_;
    const Case &case_;
    std::vector<std::unique_ptr<tolvane::host::Voice>> voices_;
    std::vector<EqSampleState> plain_;
    std::vector<int16_t> input_;  // one second; the blocks cycle through it
    std::vector<int16_t> provider_out_, plain_out_;
    size_t provider_at_ = 0, plain_at_ = 0, copy_at_ = 0;
    int64_t provider_calls_ = 0, plain_calls_ = 0;
};

// Nanoseconds per frame of two workloads, timed in turns (about 20 ms each,
// eleven turns, the medians): what drifts on a shared machine drifts for
// both, so their ratio holds still.
std::pair<double, double> time_in_turns(Workload &a, Workload &b);

// Runs a fresh workload of the case through both implementations for two
// passes over its input, block by block: empty if every output value and the
// final state agree, else what differed first.
std::string check_identical(const tolvane::host::Provider &provider, const Case &c);

// One band's feedback recursion and nothing else: y1 -> a1*y1 subtracted ->
// a2*y2 subtracted -> rounded to float -> widened. No schedule of a stereo
// three-band frame can be quicker than this chain, so (a) is weighed against it.
class Recursion {
public:
    static constexpr int BLOCK = 1024;

    Recursion();

    int64_t frames_per_call() const { return BLOCK; }
    void block();

private:
    std::vector<double> input_;  // the feed-forward terms, one second of them
    std::vector<float> output_;
    size_t at_ = 0;
    double y1_ = 0.0, y2_ = 0.0;
};

// What every block pays to shield itself from the host's floating-point
// state: the host's MXCSR read, the exact environment entered for the rate
// check, then the processing one, then the host's restored. One "frame" here
// is one such call.
class FpSwitch {
public:
    static constexpr int CALLS = 1024;
    int64_t frames_per_call() const { return CALLS; }
    void block();
};

// A property change that redesigns one band, as a host makes it: Freq of an
// enabled peaking band, between two values. One "frame" is one change.
class PropertyChange {
public:
    static constexpr int CALLS = 1024;
    explicit PropertyChange(const tolvane::host::Provider &provider);
    int64_t frames_per_call() const { return CALLS; }
    void block();

private:
    tolvane::host::Voice voice_;
};

// One line of the table that scripts/bench assembles.
void print_row(const char *build, const Case &c, double plain_ns, double provider_ns,
               double copy_ns, bool identical);
void print_floor(const char *build, double ns_per_sample);
void print_fp_switch(const char *build, double ns_per_call);
void print_property_change(const char *build, double ns_per_change);

}  // namespace bench
