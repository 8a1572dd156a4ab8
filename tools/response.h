// The magnitude response of a setting, from the coefficients the engine's own
// band design gives for the values the provider stored.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "host/provider_host.h"

namespace tolvane::tools {

struct BandValues {
    float freq, q, gain;
    int32_t type;
    bool enabled;
};

// What a sample state holds, read back through the provider's property entry.
struct StoredValues {
    float lerp;
    BandValues bands[2][3];  // [preset][band]
};
StoredValues read_stored(host::Voice &voice, const host::Provider &provider);

struct Response {
    double rate;
    float lerp;
    float weight[2];  // the presets' crossfade weights; 0 where the gate closes
    std::vector<double> hz;
    std::vector<double> preset_db[2];  // each preset alone, at weight 1
    std::vector<double> mix_db;        // the weighted sum, as processing forms it
};

// `points` frequencies, evenly spaced on a log axis from 10 Hz to the Nyquist
// frequency of `rate`.
Response compute_response(const StoredValues &values, double rate, int points);

// The lowest level reported, in dB: a true zero (a low-pass at the Nyquist
// frequency) is shown here.
inline constexpr double RESPONSE_FLOOR_DB = -200.0;

void write_csv(const Response &response, std::ostream &out);

}  // namespace tolvane::tools
