// `tolvane studio`: a local web page to shape a setting by eye and ear. The
// curve and the sound come from the provider the game loads: every edit goes
// through its property entry, every render through its process entry.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "host/provider_host.h"

namespace tolvane::tools {

struct StudioOptions {
    std::optional<std::filesystem::path> settings;  // the one file Save writes
    std::vector<std::filesystem::path> audio;       // the only files read, by index
    int port = 0;                                   // 0: a free port
    std::optional<int> rate;                        // the response's rate without audio
    unsigned renders = 2;                           // renders run at once; a few more wait
};

// Serves on 127.0.0.1 until SIGINT or SIGTERM; prints the address to open,
// with its session token, on one line. Returns the exit status.
int studio(const host::Provider &provider, const StudioOptions &options);

}  // namespace tolvane::tools
