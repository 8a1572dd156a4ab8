// tolvane-info.exe: `tolvane info` for the Windows builds, which can load a
// Windows DLL; the native tool runs it under Wine for one.
//   tolvane-info [PROVIDER]    (default: the tolvane.flt beside it)
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <exception>

#include "host/provider_host.h"
#include "tools/info.h"

int main(int argc, char **argv) {
    // The listing reads the same as the native tool's, "\n" and all.
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "-h") == 0 ||
                                   std::strcmp(argv[1], "--help") == 0))) {
        std::fprintf(argc > 2 ? stderr : stdout,
                     "usage: tolvane-info [PROVIDER]\n"
                     "Lists what a provider registers with the host: interfaces, entries,\n"
                     "property tokens and types, name, version and record sizes.\n"
                     "PROVIDER defaults to the tolvane.flt beside this program.\n");
        return argc > 2 ? 2 : 0;
    }
    try {
        tolvane::tools::print_info(argc == 2 ? argv[1] : tolvane::host::default_provider_path());
        return 0;
    } catch (const std::exception &error) {
        std::fflush(stdout);
        std::fprintf(stderr, "tolvane-info: %s\n", error.what());
        return 1;
    }
}
