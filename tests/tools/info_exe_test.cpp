// tolvane-info.exe in the Windows builds: run as a program on this build's
// own tolvane.flt, it lists what the provider registers with this process's
// broker, record sizes of this build included.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "host/provider_host.h"
#include "tests/tools/info_check.h"

namespace tolvane::tools_test {
namespace {

namespace fs = std::filesystem;

struct Listing {
    int status;
    std::string out;
};

// Runs tolvane-info.exe, beside this program, with `argument`.
Listing run_lister(const std::string &argument) {
    const fs::path folder = fs::path(host::default_provider_path()).parent_path();
    // cmd.exe takes the whole line in one more pair of quotes.
    const std::string command = "\"\"" + (folder / "tolvane-info.exe").string() + "\" \"" +
                                argument + "\" 2>&1\"";
    Listing run{-1, ""};
    FILE *pipe = _popen(command.c_str(), "rb");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return run;
    }
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        run.out.append(buffer, got);
    }
    run.status = _pclose(pipe);
    return run;
}

TEST(TolvaneInfoExe, ListsThisBuildsProvider) {
    const host::Provider provider;
    const Listing run = run_lister(provider.path());
    ASSERT_EQ(run.status, 0) << run.out;
    expect_listing(run.out, provider, provider.sample_state_size(), provider.driver_state_size());
}

// The version resource, read back through the Windows API, carries the
// project's version, which the provider's "Version" property also gives.
TEST(TolvaneInfoExe, ShowsTheVersionResource) {
    const host::Provider provider;
    const Listing run = run_lister(provider.path());
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string version = TOLVANE_VERSION;
    EXPECT_NE(run.out.find("resource  FileVersion " + version + ".0, ProductName tolvane, "
                           "ProductVersion " + version + ", FileDescription "),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(", OriginalFilename tolvane.flt\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("version   0x130 (304)\n"), std::string::npos) << run.out;
}

TEST(TolvaneInfoExe, RefusesAFileThatIsNoProvider) {
    const fs::path program = fs::path(host::default_provider_path()).parent_path() / "mss32.dll";
    const Listing run = run_lister(program.string());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("tolvane-info: " + program.string() + ": exports no "),
              std::string::npos)
        << run.out;
}

}  // namespace
}  // namespace tolvane::tools_test
