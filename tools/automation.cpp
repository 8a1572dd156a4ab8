#include "tools/automation.h"

#include <charconv>

#include "tolvane.h"
#include "tools/tool_error.h"

namespace fs = std::filesystem;

namespace tolvane::tools {

namespace {

// The words of one line: blanks separate them, double quotes hold a name
// with blanks, and `#` outside quotes ends the line.
struct Words {
    std::vector<std::string> words;
    bool unclosed_quote = false;
};

Words split(std::string_view line) {
    Words out;
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            const size_t end = line.find('"', i + 1);
            if (end == std::string_view::npos) {
                out.unclosed_quote = true;
                break;
            }
            out.words.emplace_back(line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            size_t end = i;
            while (end < line.size() && line[end] != ' ' && line[end] != '\t' &&
                   line[end] != '\r' && line[end] != '#') {
                ++end;
            }
            out.words.emplace_back(line.substr(i, end - i));
            i = end;
        }
    }
    return out;
}

template <class T>
std::optional<T> whole(const std::string &word) {
    T value{};
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> number(const std::string &word) {
    double value = 0.0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size()) {
        return std::nullopt;
    }
    return value;
}

// A value as the host gives it, in a settings file's kinds, so that one rule
// converts it: an integer, a fraction, a switch word or a type word.
Setting host_value(const Property &property, const std::string &word, const std::string &at) {
    GivenValue given;
    std::string kind;
    if (const auto integer = whole<int64_t>(word)) {
        if (property.subtype == SUBTYPE_BOOLEAN) {
            given = *integer != 0;  // a host's nonzero switch is on
        } else {
            given = *integer;
        }
        kind = "an integer";
    } else if (const auto fraction = number(word)) {
        given = *fraction;
        kind = "a number";
    } else if (word == "true" || word == "false") {
        given = word == "true";
        kind = "a switch";
    } else {
        given = word;
        kind = "\"" + word + "\"";
    }
    return convert_value(property, given, kind, at);
}

template <class Refuse>
std::pair<int64_t, int64_t> loop_of(const std::string &a, const std::string &b, Refuse &refuse) {
    const auto first = whole<int64_t>(a);
    const auto last = whole<int64_t>(b);
    if (!first || !last || *first < 0 || *last <= *first) {
        refuse("loop takes two frames A and B, 0 <= A < B");
    }
    return {*first, *last};
}

}  // namespace

Automation load_automation(const fs::path &path, const std::vector<Property> &properties) {
    return parse_automation(read_text_file(path, "automation file"), path, properties);
}

Automation parse_automation(std::string_view text, const fs::path &name,
                            const std::vector<Property> &properties) {
    Automation automation;
    automation.path = name;
    int64_t last_block = 0;
    size_t line_number = 0;
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++line_number;
        const std::string where = name.string() + ":" + std::to_string(line_number);
        auto refuse = [&](const std::string &why) { throw ToolError(where + ": " + why); };
        const Words split_line = split(line);
        if (split_line.unclosed_quote) {
            refuse("a quote is not closed");
        }
        const std::vector<std::string> &w = split_line.words;
        if (w.empty()) {
            continue;
        }
        auto count = [&](const char *what, int64_t lowest) {
            const auto value = whole<int64_t>(w.size() > 1 ? w[1] : "");
            if (w.size() != 2 || !value || *value < lowest) {
                refuse(std::string(what) + " takes one whole number, " +
                       std::to_string(lowest) + " or more");
            }
            return *value;
        };
        if (w[0] == "rate") {
            automation.rate = static_cast<int32_t>(std::min<int64_t>(count("rate", 1), INT32_MAX));
        } else if (w[0] == "block") {
            automation.block = static_cast<int32_t>(std::min<int64_t>(count("block", 1), 1 << 20));
        } else if (w[0] == "start") {
            automation.start = count("start", 0);
        } else if (w[0] == "blocks") {
            automation.blocks = count("blocks", 0);
        } else if (w[0] == "loop") {
            if (w.size() != 3) {
                refuse("loop takes two frames A and B, 0 <= A < B");
            }
            automation.loop = loop_of(w[1], w[2], refuse);
        } else if (const auto block = whole<int64_t>(w[0])) {
            if (*block < 0) {
                refuse("a block index is 0 or more");
            }
            if (*block < last_block) {
                refuse("block " + w[0] + " comes after block " + std::to_string(last_block) +
                       ": events go in block order");
            }
            last_block = *block;
            AutomationEvent event;
            event.block = *block;
            event.where = where;
            if (w.size() == 3 && w[1] == "seek") {
                const auto frame = whole<int64_t>(w[2]);
                if (!frame || *frame < 0) {
                    refuse("seek takes a frame, 0 or more");
                }
                event.kind = AutomationEvent::SEEK;
                event.frame = *frame;
            } else if (w.size() == 4 && w[1] == "loop") {
                event.kind = AutomationEvent::LOOP;
                event.loop = loop_of(w[2], w[3], refuse);
                automation.looped = true;
            } else if (w.size() == 3 && (w[1] == "bypass" || w[1] == "solo")) {
                if (w[2] != "on" && w[2] != "off") {
                    refuse(w[1] + " is on or off");
                }
                event.kind = w[1] == "bypass" ? AutomationEvent::BYPASS : AutomationEvent::SOLO;
                event.on = w[2] == "on";
            } else if (w.size() == 3) {
                const Property *property = nullptr;
                for (const Property &p : properties) {
                    if (p.name == w[1]) {
                        property = &p;
                    }
                }
                if (property == nullptr) {
                    refuse("no property \"" + w[1] + "\"; the names are those of settings files, "
                           "such as \"0 Freq 0\" or Lerp");
                }
                event.kind = AutomationEvent::PROPERTY;
                event.setting = host_value(*property, w[2], where);
            } else {
                refuse("an event is BLOCK \"PROPERTY\" VALUE, BLOCK seek FRAME, "
                       "BLOCK loop A B, BLOCK bypass on|off or BLOCK solo on|off");
            }
            automation.events.push_back(std::move(event));
        } else {
            refuse("\"" + w[0] + "\" is not rate, block, start, loop, blocks or a block index");
        }
    }
    if (automation.block == 0) {
        throw ToolError(name.string() + ": no block size (a line \"block N\")");
    }
    if ((automation.loop || automation.looped) && !automation.blocks) {
        throw ToolError(name.string() + ": a loop needs \"blocks N\": how many blocks were heard");
    }
    return automation;
}

}  // namespace tolvane::tools
