// The example host in plain C (examples/host), built for every build, plays
// a file through that build's provider exactly as `tolvane render` does: the
// same samples, to the bit. The Windows ones run under Wine.
#include <cstring>

#include "tests/tools/tool_fixture.h"

namespace tolvane::tools_test {
namespace {

const fs::path BUILDS = fs::path(TOLVANE_TOOL).parent_path().parent_path();

// The setting, once as the C host takes it and once as a settings file.
const char *const ARGUMENTS[] = {"0 Type 0=lowshelf", "0 Freq 0=150", "0 Gain 0=4.5",
                                 "0 Enable 0=true",   "1 Type 1=peaking", "1 Freq 1=2500",
                                 "1 Q 1=3",           "1 Gain 1=-9",      "1 Enable 1=true",
                                 "Lerp=0.35"};
const char *const SETTINGS = "\"0 Type 0\" = \"lowshelf\"\n\"0 Freq 0\" = 150\n"
                             "\"0 Gain 0\" = 4.5\n\"0 Enable 0\" = true\n"
                             "\"1 Type 1\" = \"peaking\"\n\"1 Freq 1\" = 2500\n\"1 Q 1\" = 3\n"
                             "\"1 Gain 1\" = -9\n\"1 Enable 1\" = true\nLerp = 0.35\n";

// Wine shows the Unix file system as drive Z:.
std::string windows_path(const fs::path &path) {
    std::string text = "Z:" + path.string();
    for (char &c : text) {
        c = c == '/' ? '\\' : c;
    }
    return text;
}

class HostExample : public ToolTest, public testing::WithParamInterface<const char *> {};

TEST_P(HostExample, PlaysAFileAsRenderDoes) {
    const std::string build = GetParam();
    const bool windows = build != "linux";
    const fs::path host = BUILDS / build / "examples" / "host" /
                          (windows ? "tolvane-host.exe" : "tolvane-host");
    const fs::path provider = BUILDS / build / "tolvane.flt";
    if (!fs::exists(host) || !fs::exists(provider)) {
        GTEST_SKIP() << "no " << host << ": build the " << build << " preset to run it";
    }
    for (const int channels : {1, 2}) {
        const Audio input = test_signal(44100, channels, 1.3, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        write_audio(dir / "in.wav", input);
        write_text(dir / "in.raw", std::string(reinterpret_cast<const char *>(input.samples.data()),
                                               input.samples.size() * sizeof(int16_t)));
        write_text(dir / "settings.toml", SETTINGS);
        const ToolRun render = tolvane({"render", "settings.toml", "in.wav", "-o", "out.wav",
                                        "--block", "256", "--force"});
        ASSERT_EQ(render.status, 0) << render.err;

        std::vector<std::string> args = {windows ? windows_path(provider) : provider.string(),
                                         "44100", std::to_string(channels), "256", "in.raw",
                                         "out.raw"};
        args.insert(args.end(), std::begin(ARGUMENTS), std::end(ARGUMENTS));
        fs::path program = host;
        if (windows) {
            args.insert(args.begin(), host.string());
            program = TOLVANE_WINE_RUN;
        }
        const ToolRun run = finish_program(start_program(program, args, dir), dir);
        if (run.status == 77 && run.err.find("cannot run 32-bit programs") != std::string::npos) {
            GTEST_SKIP() << run.err;
        }
        ASSERT_EQ(run.status, 0) << run.out << run.err;

        const std::string raw = read_bytes(dir / "out.raw");
        std::vector<int16_t> played(raw.size() / sizeof(int16_t));
        std::memcpy(played.data(), raw.data(), played.size() * sizeof(int16_t));
        EXPECT_EQ(played, read_audio(dir / "out.wav").samples) << build << ", " << channels
                                                                << " channels";
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, HostExample, testing::Values("linux", "win32", "win64"),
                         [](const auto &info) { return std::string(info.param); });

}  // namespace
}  // namespace tolvane::tools_test
