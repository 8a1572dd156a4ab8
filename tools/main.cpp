// tolvane: hear and see an equaliser setting before it ships. Every command
// drives the real provider through the stand-in host, as a game does.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include "host/provider_host.h"
#include "tools/info.h"
#include "tools/output_file.h"
#include "tools/plot.h"
#include "tools/automation.h"
#include "tools/render.h"
#include "tools/response.h"
#include "tools/settings.h"
#include "tools/studio_command.h"
#include "tools/synth.h"
#include "tools/tool_error.h"

namespace fs = std::filesystem;
using namespace tolvane;
using namespace tolvane::tools;

namespace {

// The provider, and a settings file checked against what it registered.
struct Loaded {
    host::Provider provider;
    Settings settings;
    Loaded(const std::string &provider_path, const fs::path &settings_path)
        : provider(provider_path),
          settings(load_settings(settings_path, sample_properties(provider))) {}
};

int run_response(const std::string &provider_path, const fs::path &settings_path, int rate,
                 const std::optional<fs::path> &png, const std::optional<fs::path> &csv,
                 int points, bool force) {
    for (const auto &target : {png, csv}) {
        if (target) {
            check_target(*target, {settings_path}, force);
        }
    }
    if (png && csv && fs::weakly_canonical(*png) == fs::weakly_canonical(*csv)) {
        throw ToolError(png->string() + ": named for both the plot and the numbers");
    }
    Loaded loaded(provider_path, settings_path);
    host::Voice voice(loaded.provider, rate);
    for (const std::string &report : apply_settings(voice, loaded.settings)) {
        std::fprintf(stderr, "%s\n", report.c_str());
    }
    const Response response =
        compute_response(read_stored(voice, loaded.provider), rate, points);
    // The plot first: without gnuplot, nothing is written.
    if (png) {
        plot_response(response, settings_path.filename().string(), *png, force);
    }
    if (csv) {
        std::ostringstream numbers;
        write_csv(response, numbers);
        PendingOutput pending(*csv, force);
        pending.write(numbers.str());
        pending.commit();
    }
    if (!png && !csv) {
        write_csv(response, std::cout);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // gnuplot quitting early must give an error message, not end the program.
    std::signal(SIGPIPE, SIG_IGN);

    CLI::App app{"tolvane: hear and see an equaliser setting through the real provider"};
    app.set_version_flag("--version", "tolvane " TOLVANE_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    std::string provider_path;
    add_provider_option(app, provider_path);

    // render
    CLI::App *render_cmd =
        app.add_subcommand("render", "equalise audio files with a settings file");
    fs::path render_settings;
    RenderOptions render_options;
    render_options.jobs = std::max(1u, std::thread::hardware_concurrency());
    std::pair<double, double> sweep{0.0, 0.0};
    render_cmd->add_option("SETTINGS", render_settings, "settings file (TOML)")->required();
    render_cmd->add_option("IN", render_options.inputs, "input audio files")->required();
    CLI::Option *out_opt =
        render_cmd->add_option("-o,--output", render_options.output, "output file (one input)");
    render_cmd->add_option("--out-dir", render_options.out_dir,
                           "folder for the outputs, named as their inputs")
        ->excludes(out_opt);
    CLI::Option *block_opt =
        render_cmd->add_option("--block", render_options.block, "frames per provider call")
            ->capture_default_str()
            ->check(CLI::Range(1, 1 << 20));
    CLI::Option *sweep_opt =
        render_cmd
            ->add_option("--lerp-sweep", sweep,
                         "move Lerp linearly from A to B across each file, between blocks")
            ->delimiter(':')
            ->type_name("A:B");
    std::optional<fs::path> automation_path;
    render_cmd
        ->add_option("--automation", automation_path,
                     "play the file as LOG says: its block size, property changes before their "
                     "blocks, seeks, loop and bypass (what the studio played)")
        ->type_name("LOG")
        ->excludes(block_opt)
        ->excludes(sweep_opt);
    render_cmd->add_option("--jobs", render_options.jobs, "files rendered at once")
        ->capture_default_str()
        ->check(CLI::Range(1u, 1024u));
    render_cmd->add_flag("--force", render_options.force, "replace existing outputs");

    // response
    CLI::App *response_cmd = app.add_subcommand(
        "response", "plot or list the magnitude response of a settings file");
    fs::path response_settings;
    int response_rate = 48000;
    int response_points = 512;
    std::optional<fs::path> response_png, response_csv;
    bool response_force = false;
    response_cmd->add_option("SETTINGS", response_settings, "settings file (TOML)")->required();
    response_cmd->add_option("--rate", response_rate, "sample rate in Hz")
        ->capture_default_str()
        ->check(CLI::Range(1000, 768000));
    response_cmd->add_option("-o,--output", response_png, "PNG plot to write");
    response_cmd->add_option("--csv", response_csv,
                             "CSV of the numbers to write (without -o or --csv: to stdout)");
    response_cmd->add_option("--points", response_points, "frequencies, log-spaced")
        ->capture_default_str()
        ->check(CLI::Range(2, 100000));
    response_cmd->add_flag("--force", response_force, "replace existing outputs");

    // info
    CLI::App *info_cmd =
        app.add_subcommand("info", "show what a provider file registers with the host");
    std::string info_path;
    info_cmd->add_option("PROVIDER", info_path, "provider file (default: --provider)");

    // synth
    CLI::App *synth_cmd =
        app.add_subcommand("synth", "write a music-like stereo test signal (WAV)");
    fs::path synth_path;
    double synth_seconds = 8.0;
    int synth_rate = 44100;
    bool synth_force = false;
    synth_cmd->add_option("OUT", synth_path, "WAV file to write")->required();
    synth_cmd->add_option("--seconds", synth_seconds, "length")
        ->capture_default_str()
        ->check(CLI::Range(0.5, 600.0));
    synth_cmd->add_option("--rate", synth_rate, "sample rate in Hz")
        ->capture_default_str()
        ->check(CLI::Range(8000, 192000));
    synth_cmd->add_flag("--force", synth_force, "replace an existing file");

    // studio: checked here, run by tolvane-studio
    StudioOptions studio_options;
    CLI::App *studio_cmd = add_studio_command(app, studio_options);

    CLI11_PARSE(app, argc, argv);

    try {
        if (*render_cmd) {
            if (*sweep_opt) {
                render_options.lerp_sweep = sweep;
            }
            Loaded loaded(provider_path, render_settings);
            if (automation_path) {
                render_options.automation =
                    load_automation(*automation_path, sample_properties(loaded.provider));
                render_options.block = render_options.automation->block;
            }
            return render(loaded.provider, loaded.settings, render_options);
        }
        if (*response_cmd) {
            return run_response(provider_path, response_settings, response_rate, response_png,
                                response_csv, response_points, response_force);
        }
        if (*studio_cmd) {
            // The same command line, to the program beside this one.
            const std::string program = host::beside_program("tolvane-studio");
            execv(program.c_str(), argv);
            throw ToolError(program + ": cannot start the studio: " + std::strerror(errno));
        }
        if (*info_cmd) {
            const std::string path = info_path.empty() ? provider_path : info_path;
            if (const std::string build = windows_build(path); !build.empty()) {
                return print_windows_info(path, build);
            }
            print_info(path);
            return 0;
        }
        if (*synth_cmd) {
            check_target(synth_path, {}, synth_force);
            write_demo_signal(synth_path, synth_seconds, synth_rate, synth_force);
            std::printf("wrote %s: %.1f s of stereo at %d Hz\n", synth_path.string().c_str(),
                        synth_seconds, synth_rate);
            return 0;
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "tolvane: %s\n", error.what());
        return 1;
    }
    return 0;
}
