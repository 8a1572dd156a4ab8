// Generated scenarios: random sequences of property changes, blocks and
// direct writes of coefficients and histories, run on the loaded provider and
// on the plain implementation side by side, compared value for value.
#pragma once

#include <cstdint>
#include <string>

#include "host/provider_host.h"

namespace scenario {

struct Result {
    uint64_t operations = 0;
    uint64_t values_compared = 0;  // output samples, slots and state values
    uint64_t digest = 0;           // of every output and the final state, build-independent
    std::string mismatch;          // empty when the two agreed throughout
};

// adversarial: coefficients and histories written straight into the state,
// with widely spread exponents and exactly cancelling terms, so that any other
// order of the double-precision sums changes the rounded result.
Result run(const tolvane::host::Provider &provider, uint32_t seed, bool adversarial);

}  // namespace scenario
