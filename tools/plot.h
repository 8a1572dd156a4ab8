// Response plots, drawn by gnuplot's pngcairo terminal.
#pragma once

#include <filesystem>
#include <string>

#include "tools/response.h"

namespace tolvane::tools {

// Draws the two presets and their mix into a PNG; `name` titles the plot.
// Written like every output: beside the target, renamed when complete.
void plot_response(const Response &response, const std::string &name,
                   const std::filesystem::path &png, bool force);

}  // namespace tolvane::tools
