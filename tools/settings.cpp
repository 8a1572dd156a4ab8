#include "tools/settings.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <utility>

#include "eq/eq_band.h"
#include "tools/tool_error.h"

namespace fs = std::filesystem;

namespace tolvane::tools {

namespace {

std::string where(const fs::path &path, const toml::source_position &at) {
    return path.string() + ":" + std::to_string(at.line) + ":" + std::to_string(at.column);
}

std::string format_number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string describe(toml::node_type type) {
    switch (type) {
    case toml::node_type::string:
        return "text";
    case toml::node_type::integer:
        return "an integer";
    case toml::node_type::floating_point:
        return "a fraction";
    case toml::node_type::boolean:
        return "true or false";
    case toml::node_type::table:
        return "a table";
    case toml::node_type::array:
        return "an array";
    default:
        return "a date or time";
    }
}

std::string type_word_list() {
    std::string list;
    for (const std::string &word : filter_type_words()) {
        list += (list.empty() ? "" : ", ") + word;
    }
    return list;
}

// What a TOML value is, in the words of messages, and as the value the
// conversion below takes.
std::pair<GivenValue, std::string> given_of(const toml::node &value) {
    if (const auto *number = value.as_floating_point()) {
        return {number->get(), describe(value.type())};
    }
    if (const auto *number = value.as_integer()) {
        return {number->get(), describe(value.type())};
    }
    if (const auto *word = value.as_string()) {
        return {word->get(), describe(value.type())};
    }
    if (const auto *flag = value.as_boolean()) {
        return {flag->get(), describe(value.type())};
    }
    return {std::monostate{}, describe(value.type())};
}

}  // namespace

Setting convert_value(const Property &property, const GivenValue &value, const std::string &kind,
                      const std::string &at) {
    Setting setting{property, 0.0f, 0, "", at};
    const std::string prefix = at.empty() ? "" : at + ": ";
    auto refuse = [&](const std::string &expected) {
        throw ToolError(prefix + "\"" + property.name + "\" takes " + expected + ", not " + kind);
    };
    switch (property.subtype) {
    case SUBTYPE_FLOAT:
        if (const auto *number = std::get_if<double>(&value)) {
            setting.float_value = static_cast<float>(*number);
            setting.given = format_number(*number);
        } else if (const auto *integer = std::get_if<int64_t>(&value)) {
            // The nearest double is what the user meant, even beyond 2^53.
            const double number = static_cast<double>(*integer);
            setting.float_value = static_cast<float>(number);
            setting.given = format_number(number);
        } else {
            refuse("a number");
        }
        break;
    case SUBTYPE_INTEGER:
        if (const auto *word = std::get_if<std::string>(&value)) {
            const auto &words = filter_type_words();
            const auto found = std::find(words.begin(), words.end(), *word);
            if (found == words.end()) {
                throw ToolError(prefix + "\"" + property.name + "\": unknown filter type \"" +
                                *word + "\"; the types are " + type_word_list() + ", or 0 to 4");
            }
            setting.int_value = static_cast<int32_t>(found - words.begin());
            setting.given = *word;
        } else if (const auto *number = std::get_if<int64_t>(&value)) {
            // The provider clamps; a number beyond 32 bits reaches it at the
            // nearest 32-bit value and is reported as it was given.
            setting.int_value = static_cast<int32_t>(
                std::clamp<int64_t>(*number, std::numeric_limits<int32_t>::min(),
                                    std::numeric_limits<int32_t>::max()));
            setting.given = std::to_string(*number);
        } else {
            refuse("a filter type (" + type_word_list() + ") or an integer");
        }
        break;
    case SUBTYPE_BOOLEAN:
        if (const auto *flag = std::get_if<bool>(&value)) {
            setting.int_value = *flag ? 1 : 0;
            setting.given = *flag ? "true" : "false";
        } else {
            refuse("true or false");
        }
        break;
    default:
        throw ToolError(prefix + "\"" + property.name + "\" has a value type (" +
                        std::to_string(property.subtype) + ") that settings cannot set");
    }
    return setting;
}


const std::vector<std::string> &filter_type_words() {
    static const std::vector<std::string> words = [] {
        std::vector<std::string> w(EQ_TYPE_MAX + 1);
        w[EQ_LOWPASS] = "lowpass";
        w[EQ_HIGHPASS] = "highpass";
        w[EQ_LOWSHELF] = "lowshelf";
        w[EQ_HIGHSHELF] = "highshelf";
        w[EQ_PEAKING] = "peaking";
        return w;
    }();
    return words;
}

std::vector<Property> sample_properties(const host::Provider &provider) {
    std::vector<Property> properties;
    for (const InterfaceEntry &entry : provider.entries(INTERFACE_SAMPLE)) {
        if (entry.kind == ENTRY_PROPERTY) {
            properties.push_back({entry.name, static_cast<int32_t>(entry.value), entry.subtype});
        }
    }
    return properties;
}

std::string read_text_file(const fs::path &path, const std::string &what) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        throw ToolError(path.string() + ": no such " + what);
    }
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        throw ToolError(path.string() + ": cannot read the " + what + ": " + std::strerror(errno));
    }
    return text;
}

Settings load_settings(const fs::path &path, const std::vector<Property> &properties) {
    return parse_settings(read_text_file(path, "settings file"), path, properties);
}

Settings parse_settings(std::string_view text, const fs::path &path,
                        const std::vector<Property> &properties) {
    toml::table table;
    try {
        table = toml::parse(text, path.string());
    } catch (const toml::parse_error &error) {
        throw ToolError(where(path, error.source().begin) + ": " +
                        std::string(error.description()));
    }

    // The table is ordered by key; the provider receives the values in the
    // order the file gives them.
    std::vector<std::pair<toml::source_position, Setting>> found;
    for (auto &&[key, value] : table) {
        // A name of its own: clang 14 cannot capture a structured binding.
        const std::string_view name = key.str();
        const auto property = std::find_if(properties.begin(), properties.end(),
                                           [&](const Property &p) { return p.name == name; });
        if (property == properties.end()) {
            throw ToolError(where(path, key.source().begin) + ": unknown property \"" +
                            std::string(key.str()) +
                            "\"; the properties are \"Lerp\" and \"P Word B\" with preset P 0 "
                            "or 1, Word one of Freq, Q, Gain, Type, Enable, and band B 0 to 2");
        }
        const auto [given, kind] = given_of(value);
        found.emplace_back(key.source().begin,
                           convert_value(*property, given, kind, where(path, value.source().begin)));
    }
    std::sort(found.begin(), found.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    Settings settings{path, {}};
    for (auto &[position, setting] : found) {
        settings.values.push_back(std::move(setting));
    }
    return settings;
}

std::vector<std::string> apply_settings(host::Voice &voice, const Settings &settings) {
    std::vector<std::string> reports;
    for (const Setting &setting : settings.values) {
        std::string stored;
        if (setting.property.subtype == SUBTYPE_FLOAT) {
            const float after = voice.set_float(setting.property.token, setting.float_value);
            // A value the provider refuses (not a number) is kept, so it never
            // compares equal: that is reported too.
            if (after != setting.float_value) {
                stored = format_number(after);
            }
        } else {
            const int32_t after = voice.set_int(setting.property.token, setting.int_value);
            if (after != setting.int_value) {
                stored = std::to_string(after);
            }
        }
        if (!stored.empty()) {
            reports.push_back(setting.where + ": \"" + setting.property.name + "\" = " +
                              setting.given + " was stored by the provider as " + stored);
        }
    }
    return reports;
}

}  // namespace tolvane::tools
