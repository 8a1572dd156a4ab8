// Automation: what a host did to one voice, block by block. The studio writes
// it for what was heard; `tolvane render --automation` plays it back; a game
// programmer can hand a designer's parameter movement to a test with it.
//
// A text file, one item per line, `#` starting a comment:
//
//   rate 48000            the rate it was made at (a file at another is refused)
//   block 128             frames per call of the block entry (required)
//   start 0               the file frame the first block begins at (0)
//   loop 0 384000         frames [A, B) repeat: after B-1 comes A
//   blocks 1875           how many blocks were heard (without it: to the
//                         file's end, once; a loop needs it)
//   0 "0 Freq 0" 1234.5   before block 0, the property entry with that value
//   57 Lerp 0.25          (a name without blanks needs no quotes)
//   80 seek 96000         before block 80, the input goes on from frame 96000
//   120 bypass on         from block 120, the input is heard unchanged (the
//                         voice is still processed); "bypass off" ends it
//   200 loop 1000 5000    from block 200, frames [A, B) repeat instead
//   300 solo on           from block 300 a listening aid of the studio was heard
//                         (one band alone): rendered as the setting, and said so
//
// Events come in block order; a loop line before them is a loop from block 0. Values are the host's: Freq, Q, Gain and Lerp
// numbers, Type 0 to 4 (or the settings files' words), Enable 0 or 1 (or
// true and false); the provider clamps them as it does any host's.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/settings.h"

namespace tolvane::tools {

struct AutomationEvent {
    enum Kind { PROPERTY, SEEK, BYPASS, LOOP, SOLO };
    int64_t block = 0;
    Kind kind = PROPERTY;
    Setting setting;     // PROPERTY
    int64_t frame = 0;   // SEEK
    std::pair<int64_t, int64_t> loop;  // LOOP
    bool on = false;     // BYPASS, SOLO
    std::string where;   // "file:line"
};

struct Automation {
    std::filesystem::path path;
    int32_t rate = 0;  // 0: not stated
    int32_t block = 0;
    int64_t start = 0;
    std::optional<std::pair<int64_t, int64_t>> loop;
    std::optional<int64_t> blocks;
    std::vector<AutomationEvent> events;
    bool looped = false;  // a loop event among them
};

// Reads an automation file; anything it cannot read throws ToolError naming
// the file and line.
Automation load_automation(const std::filesystem::path &path,
                           const std::vector<Property> &properties);
Automation parse_automation(std::string_view text, const std::filesystem::path &name,
                            const std::vector<Property> &properties);

}  // namespace tolvane::tools
