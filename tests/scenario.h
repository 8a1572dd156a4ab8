// Generated scenarios: random sequences of property changes, blocks and
// direct writes of coefficients and histories, run on the loaded provider and
// on the plain implementation side by side, compared value for value.
#pragma once

#include <cstdint>
#include <string>

#include "eq/eq_state.h"
#include "host/provider_host.h"

namespace scenario {

// Sees each call a scenario makes on the provider, what it gave and what it
// got back, and the state left after each operation: a trace that another
// build of the engine can replay and must reproduce.
class Recorder {
public:
    virtual ~Recorder() = default;
    virtual void open(int32_t rate) = 0;
    // slots: the three value slots after the call; `shape` says which of them
    // the call was given (see the scenario's property operation).
    virtual void property(int32_t token, uint32_t shape, uint32_t value, int32_t result,
                          const uint32_t slots[3]) = 0;
    virtual void block(const int16_t *input, const int16_t *output, int32_t frames, int32_t rate,
                       bool stereo, bool in_place) = 0;
    // Written into the state directly, as only a test does.
    virtual void poked(const EqSampleState &state) = 0;
    virtual void after(const EqSampleState &state) = 0;
};

struct Result {
    uint64_t operations = 0;
    uint64_t values_compared = 0;  // output samples, slots and state values
    uint64_t digest = 0;           // of every output and the final state, build-independent
    std::string mismatch;          // empty when the two agreed throughout
};

// adversarial: coefficients and histories written straight into the state,
// with widely spread exponents and exactly cancelling terms, so that any other
// order of the double-precision sums changes the rounded result.
Result run(const tolvane::host::Provider &provider, uint32_t seed, bool adversarial,
           Recorder *recorder = nullptr);

// A loud quarter second, then a minute of silence in blocks of several
// lengths, on a setting drawn from the seed: on silence the histories settle
// into limit cycles of every length. Result.period is the cycle reached (0:
// none within 65536 frames).
struct SilenceResult : Result {
    int32_t period = 0;
};
SilenceResult run_silence(const tolvane::host::Provider &provider, uint32_t seed,
                          int32_t seconds = 61, Recorder *recorder = nullptr);

}  // namespace scenario
