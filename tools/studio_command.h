// The `studio` command line, which `tolvane` checks and `tolvane-studio` runs:
// both parse the same options, so what one accepts the other does.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "host/provider_host.h"
#include "tools/studio.h"

namespace tolvane::tools {

inline void add_provider_option(CLI::App &app, std::string &provider_path) {
    provider_path = host::default_provider_path();
    app.add_option("--provider", provider_path, "the provider file to load")
        ->capture_default_str();
}

inline CLI::App *add_studio_command(CLI::App &app, StudioOptions &options) {
    CLI::App *command = app.add_subcommand(
        "studio", "shape a setting in the browser: a local page, through the real provider");
    command->add_option("SETTINGS", options.settings,
                        "settings file (TOML) to start from and save to");
    command->add_option("AUDIO", options.audio, "audio files to play (without: the demo signal)");
    command->add_option("--port", options.port, "port on 127.0.0.1 (0: a free one)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    command->add_option("--rate", options.rate,
                        "sample rate of the demo signal, without AUDIO (48000)")
        ->check(CLI::Range(8000, 192000));
    return command;
}

}  // namespace tolvane::tools
