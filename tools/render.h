// `tolvane render`: audio files through the provider, block by block, as a
// game plays them.
#pragma once

#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "host/provider_host.h"
#include "tools/settings.h"

namespace tolvane::tools {

struct RenderOptions {
    std::vector<std::filesystem::path> inputs;
    std::optional<std::filesystem::path> output;   // -o: the one input's output
    std::optional<std::filesystem::path> out_dir;  // --out-dir: each input's name there
    int block = 1024;                               // frames per call of the provider
    std::optional<std::pair<double, double>> lerp_sweep;
    unsigned jobs = 1;
    bool force = false;
};

// Renders every input, several at a time, each with its own provider state.
// Checks every input and output before writing anything; throws ToolError if
// any check fails. Prints a summary; returns the exit status.
int render(const host::Provider &provider, const Settings &settings,
           const RenderOptions &options);

}  // namespace tolvane::tools
