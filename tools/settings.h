// Settings files: TOML whose keys are the provider's own sample property
// names, checked against what the provider registered and set through its
// property entry, so that clamping is the provider's.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/provider_host.h"

namespace tolvane::tools {

// A sample property as the provider registered it.
struct Property {
    std::string name;
    int32_t token;
    uint32_t subtype;  // SUBTYPE_FLOAT, SUBTYPE_INTEGER or SUBTYPE_BOOLEAN
};

// The provider's sample properties, in registration order.
std::vector<Property> sample_properties(const host::Provider &provider);

// One key of a settings file, converted to what the provider's slot holds.
struct Setting {
    Property property;
    float float_value = 0.0f;  // SUBTYPE_FLOAT
    int32_t int_value = 0;     // SUBTYPE_INTEGER and SUBTYPE_BOOLEAN
    std::string given;         // the value as the file states it, for reports
    std::string where;         // "file:line:column" of the value
};

// A value as a settings file or the studio gives it: a fraction, an integer, a
// word or a switch; monostate for any other kind.
using GivenValue = std::variant<std::monostate, double, int64_t, std::string, bool>;

// Converts a value to what the property's slot holds, or throws ToolError
// saying what the property takes and that `kind` (the value's kind in words,
// "text", "an integer", ...) is not it; messages start with `at` when given.
Setting convert_value(const Property &property, const GivenValue &value, const std::string &kind,
                      const std::string &at);

struct Settings {
    std::filesystem::path path;
    std::vector<Setting> values;  // in the order of the file
};

// A whole text file, or ToolError saying "PATH: no such WHAT" or why it cannot
// be read.
std::string read_text_file(const std::filesystem::path &path, const std::string &what);

// Reads a settings file. A syntax error, an unknown key or a value of the
// wrong type throws ToolError naming the file, line and column.
Settings load_settings(const std::filesystem::path &path, const std::vector<Property> &properties);

// The same from the text of a file; `name` is the file named in messages.
Settings parse_settings(std::string_view text, const std::filesystem::path &name,
                        const std::vector<Property> &properties);

// Sets every value through the provider. Returns one line for each value the
// provider did not store as given (clamped, or refused and kept).
std::vector<std::string> apply_settings(host::Voice &voice, const Settings &settings);

// The filter type words of settings files, by type value.
const std::vector<std::string> &filter_type_words();

}  // namespace tolvane::tools
