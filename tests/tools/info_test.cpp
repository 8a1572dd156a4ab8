// `tolvane info` lists what the provider registers, as the broker saw it; for
// a Windows DLL it runs the Windows build's tolvane-info.exe under Wine, or
// says what is missing to do so.
#include "host/provider_host.h"
#include "tests/tools/info_check.h"
#include "tests/tools/tool_fixture.h"

namespace tolvane::tools_test {
namespace {

// The folder holding every build's folder: build/linux/tolvane finds
// build/win32/tolvane-info.exe.
const fs::path BUILDS = fs::path(TOLVANE_TOOL).parent_path().parent_path();

using Info = ToolTest;

TEST_F(Info, ListsEveryEntryWithTokensTypesAndRecordSizes) {
    const ToolRun run = tolvane({"info"});
    ASSERT_EQ(run.status, 0) << run.err;
    host::Provider provider;
    expect_listing(run.out, provider, provider.sample_state_size(), provider.driver_state_size());
}

TEST_F(Info, VersionIsTheProjects) {
    const ToolRun run = tolvane({"--version"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "tolvane " TOLVANE_VERSION "\n");
}

// The record sizes each Windows build asks of the host: addresses are 4 bytes
// in the 32-bit build.
struct WindowsBuild {
    const char *name;
    int32_t sample_size, driver_size;
};

const WindowsBuild WINDOWS_BUILDS[] = {{"win32", 448, 16}, {"win64", 456, 32}};

class WindowsDll : public ToolTest, public testing::WithParamInterface<WindowsBuild> {};

TEST_P(WindowsDll, IsListedByItsOwnBuildUnderWine) {
    const WindowsBuild &build = GetParam();
    const fs::path dll = BUILDS / build.name / "tolvane.flt";
    const fs::path lister = BUILDS / build.name / "tolvane-info.exe";
    if (!fs::exists(dll) || !fs::exists(lister)) {
        GTEST_SKIP() << "no " << dll << " and " << lister << ": build the " << build.name
                     << " preset to check its DLL from here";
    }
    const ToolRun run = tolvane({"info", dll.string()});
    if (run.status == 77 && run.err.find("cannot run 32-bit programs") != std::string::npos) {
        GTEST_SKIP() << run.err;
    }
    ASSERT_EQ(run.status, 0) << run.err;
    // The same tables register in every build; only the record sizes differ.
    host::Provider native;
    expect_listing(run.out, native, build.sample_size, build.driver_size);
}

INSTANTIATE_TEST_SUITE_P(Builds, WindowsDll, testing::ValuesIn(WINDOWS_BUILDS),
                         [](const auto &info) { return std::string(info.param.name); });

// The start of a PE file for `machine`: the DOS header pointing at the PE
// signature and the machine field, which is all `info` reads to choose.
std::string pe_header(uint16_t machine) {
    std::string bytes(0x48, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[0x3c] = 0x40;
    bytes.replace(0x40, 4, std::string("PE\0\0", 4));
    bytes[0x44] = static_cast<char>(machine & 0xff);
    bytes[0x45] = static_cast<char>(machine >> 8);
    return bytes;
}

struct Unlistable {
    const char *label;
    std::string file;                 // the DLL's bytes
    bool lister_present;              // builds/win*/tolvane-info.exe exists
    std::vector<std::string> env;
    const char *reason;
};

const Unlistable UNLISTABLE[] = {
    {"x86 DLL without the win32 build", pe_header(0x14c), false, {},
     "builds/win32/tolvane-info.exe is missing"},
    {"x86-64 DLL without Wine", pe_header(0x8664), true, {"PATH=/nonexistent"},
     "and that takes Wine, which is not installed"},
    {"DLL for another machine", pe_header(0xaa64), true, {}, "for machine 0xaa64"},
    {"MZ without a PE header", "MZ\x90", true, {}, "has no PE header"},
};

void PrintTo(const Unlistable &u, std::ostream *os) { *os << u.label; }

class WindowsDllRefused : public ToolTest, public testing::WithParamInterface<Unlistable> {};

TEST_P(WindowsDllRefused, SayingWhatIsMissing) {
    const Unlistable &u = GetParam();
    // A copy of the tool in a build folder of its own, beside Windows builds
    // that have what the case gives them.
    const fs::path tool = dir / "builds" / "linux" / "tolvane";
    fs::create_directories(tool.parent_path());
    fs::copy_file(TOLVANE_TOOL, tool);
    for (const char *build : {"win32", "win64"}) {
        fs::create_directories(dir / "builds" / build);
        if (u.lister_present) {
            write_text(dir / "builds" / build / "tolvane-info.exe", "MZ");
        }
    }
    write_text(dir / "x.flt", u.file);
    const auto before = snapshot(dir);

    const ToolRun run = finish_program(start_program(tool, {"info", "x.flt"}, dir, u.env), dir);

    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("tolvane: x.flt: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(u.reason), std::string::npos) << run.err;
    EXPECT_EQ(changes(before, snapshot(dir)), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowsDllRefused, testing::ValuesIn(UNLISTABLE),
                         [](const auto &info) { return test_name(info.param.label); });

}  // namespace
}  // namespace tolvane::tools_test
