// `tolvane render`: audio files through the provider, block by block, as a
// game plays them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/provider_host.h"
#include "tools/audio_file.h"
#include "tools/automation.h"
#include "tools/settings.h"

namespace tolvane::tools {

struct RenderOptions {
    std::vector<std::filesystem::path> inputs;
    std::optional<std::filesystem::path> output;   // -o: the one input's output
    std::optional<std::filesystem::path> out_dir;  // --out-dir: each input's name there
    int block = 1024;                               // frames per call of the provider
    std::optional<std::pair<double, double>> lerp_sweep;
    std::optional<Automation> automation;           // sets the block size too
    unsigned jobs = 1;
    bool force = false;
};

// What rendering one file gave.
struct Rendered {
    int64_t frames = 0;
    int peak = 0;             // largest magnitude written
    int64_t saturated = 0;    // samples written at +32767 or -32768
    int64_t clipped = 0;      // input samples beyond full scale, clipped when read
    int64_t not_numbers = 0;  // input samples that were not numbers, read as 0
};

// A render's peak as the summary states it: "-6.0 dBFS", or "silent".
std::string level(int peak);

// How many frames render_stream reads and writes at a time for blocks of
// `block` frames: a whole number of blocks.
int64_t render_chunk_frames(int block);

// Equalises `input` into `output` through `voice`, which holds the settings:
// blocks of `block` frames at the input's own rate, Lerp moved between blocks
// when swept. `advanced` hears of every block's frames. Throws ToolError
// naming the input when it is cut short or cannot be read, or when the user
// interrupts.
Rendered render_stream(SoundFile &input, SoundFile &output, host::Voice &voice, int block,
                       const std::optional<std::pair<double, double>> &lerp_sweep,
                       int32_t lerp_token, const std::function<void(int64_t)> &advanced);

// Equalises `input` into `output` through `voice` as `automation` says: its
// blocks, its property changes before theirs, its seeks, loop and bypass.
// Throws ToolError when the file does not fit it (another rate, a seek or
// loop past its end).
Rendered render_automated(SoundFile &input, SoundFile &output, host::Voice &voice,
                          const Automation &automation,
                          const std::function<void(int64_t)> &advanced);

// Renders every input, several at a time, each with its own provider state.
// Checks every input and output before writing anything; throws ToolError if
// any check fails. Prints a summary; returns the exit status.
int render(const host::Provider &provider, const Settings &settings,
           const RenderOptions &options);

}  // namespace tolvane::tools
