// tolvane-studio: the server behind `tolvane studio`, which hands its command
// line over to this program. Kept apart because its HTTP library brings TLS
// and compression libraries along, whose loading would cost every other
// command several milliseconds at start.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <exception>

#include "host/provider_host.h"
#include "tools/studio_command.h"

using namespace tolvane;

int main(int argc, char **argv) {
    // A browser that closes a connection mid-answer must not end the server,
    // whether tolvane started it or a user did.
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app{"tolvane studio: shape an equaliser setting in the browser", "tolvane"};
    app.require_subcommand(1);
    app.fallthrough();
    std::string provider_path;
    tools::add_provider_option(app, provider_path);
    tools::StudioOptions options;
    tools::add_studio_command(app, options);
    CLI11_PARSE(app, argc, argv);
    try {
        host::Provider provider(provider_path);
        return tools::studio(provider, options);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "tolvane: %s\n", error.what());
        return 1;
    }
}
