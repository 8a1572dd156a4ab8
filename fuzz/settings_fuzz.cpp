// Settings files as `tolvane` reads them: any bytes as the text of a file,
// checked against the real provider's properties, set through its property
// entry, and the response drawn from what it stored. A refusal must name the
// file, line and column; nothing but a refusal may escape; every value the
// provider did not store as given, and only those, must be reported; what it
// stored must be in range and give a finite response.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "eq/eq_band.h"
#include "host/provider_host.h"
#include "tools/response.h"
#include "tools/settings.h"
#include "tools/tool_error.h"

using namespace tolvane;
using namespace tolvane::tools;

namespace {

const std::string NAME = "fuzzed.toml";

[[noreturn]] void fault(const std::string &what) {
    std::fprintf(stderr, "settings: %s\n", what.c_str());
    std::abort();
}

struct Loaded {
    host::Provider provider;
    std::vector<Property> properties = sample_properties(provider);
};

Loaded &loaded() {
    static Loaded once;
    return once;
}

// "fuzzed.toml:LINE:COLUMN" at the start of `text`, then `after`.
bool names_place(const std::string &text, const std::string &after) {
    if (text.rfind(NAME + ":", 0) != 0) {
        return false;
    }
    size_t at = NAME.size() + 1;
    for (int number = 0; number < 2; ++number) {
        const size_t digits = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            ++at;
        }
        if (at == digits || (number == 0 && (at >= text.size() || text[at++] != ':'))) {
            return false;
        }
    }
    return text.compare(at, after.size(), after) == 0;
}

void check_band(const BandValues &b) {
    if (!(b.freq >= EQ_FREQ_MIN && b.freq <= EQ_FREQ_MAX) || !(b.q >= EQ_Q_MIN && b.q <= EQ_Q_MAX) ||
        !(b.gain >= EQ_GAIN_MIN && b.gain <= EQ_GAIN_MAX) || b.type < EQ_TYPE_MIN ||
        b.type > EQ_TYPE_MAX) {
        fault("a stored band value is out of range");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Loaded &l = loaded();
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    Settings settings;
    try {
        settings = parse_settings(text, NAME, l.properties);
    } catch (const ToolError &error) {
        if (!names_place(error.what(), ": ")) {
            fault(std::string("a refusal without file, line and column: ") + error.what());
        }
        return 0;
    }
    std::set<std::string> places;
    for (const Setting &setting : settings.values) {
        if (!names_place(setting.where, "") || !places.insert(setting.where).second) {
            fault("a value without a place of its own: " + setting.where);
        }
    }

    static const int RATES[] = {8000, 22050, 44100, 48000, 96000};
    const int rate = RATES[size % 5];
    host::Voice voice(l.provider, rate);
    std::set<std::string> reported;
    for (const std::string &report : apply_settings(voice, settings)) {
        reported.insert(report.substr(0, report.find(": \"")));
    }
    // Every report names a value, and only a value stored otherwise than given.
    for (const Setting &setting : settings.values) {
        const bool stored_as_given =
            setting.property.subtype == SUBTYPE_FLOAT
                ? voice.get_float(setting.property.token) == setting.float_value
                : voice.get_int(setting.property.token) == setting.int_value;
        if (stored_as_given == (reported.count(setting.where) > 0)) {
            fault("\"" + setting.property.name + "\" at " + setting.where +
                  (stored_as_given ? " was reported though stored as given"
                                   : " was not reported though stored otherwise"));
        }
    }
    if (reported.size() > settings.values.size()) {
        fault("more reports than values");
    }

    const StoredValues stored = read_stored(voice, l.provider);
    if (!(stored.lerp >= 0.0f && stored.lerp <= 1.0f)) {
        fault("the stored Lerp is out of range");
    }
    for (const auto &preset : stored.bands) {
        for (const BandValues &band : preset) {
            check_band(band);
        }
    }
    const Response response = compute_response(stored, rate, 16);
    for (const auto *curve : {&response.preset_db[0], &response.preset_db[1], &response.mix_db}) {
        for (double db : *curve) {
            if (!std::isfinite(db)) {
                fault("the response is not finite");
            }
        }
    }
    return 0;
}
