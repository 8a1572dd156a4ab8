// Settings files as the tool reads them: every mistake names the file, line
// and column and stops both commands that read settings before they write;
// every value the provider clamps is reported, given and stored.
#include "tests/tools/tool_fixture.h"

namespace tolvane::tools_test {
namespace {

struct BadSettings {
    const char *label;
    const char *text;
    const char *where;   // line:column
    const char *reason;
};

const BadSettings BAD_SETTINGS[] = {
    {"unknown key", "Lerp = 1.0\n\"0 Frq 0\" = 100.0\n", "2:1", "unknown property \"0 Frq 0\""},
    {"text for a number", "\"0 Freq 0\" = \"loud\"\n", "1:14", "\"0 Freq 0\" takes a number, not text"},
    {"boolean for a number", "\n  Lerp = true\n", "2:10", "\"Lerp\" takes a number, not true or false"},
    {"number for a switch", "\"1 Enable 2\" = 1\n", "1:16", "\"1 Enable 2\" takes true or false, not an integer"},
    {"unknown filter word", "\"0 Type 1\" = \"bandpass\"\n", "1:14", "\"0 Type 1\": unknown filter type \"bandpass\""},
    {"fraction for a type", "\"0 Type 1\" = 2.5\n", "1:14", "\"0 Type 1\" takes a filter type"},
    {"a table", "Lerp = 0.5\n[preset]\nx = 1\n", "2:2", "unknown property \"preset\""},
    {"syntax error", "Lerp = 0.5\n\"0 Q 0\" = \n", "2:11", "Error while parsing key-value pair: expected value"},
    {"key given twice", "Lerp = 0.5\nLerp = 0.25\n", "2:8", "Error while parsing key-value pair: cannot redefine"},
};

void PrintTo(const BadSettings &b, std::ostream *os) { *os << b.label; }

class SettingsRefused : public ToolTest, public testing::WithParamInterface<BadSettings> {};

TEST_P(SettingsRefused, NamingFileLineAndColumn) {
    const BadSettings &b = GetParam();
    write_text(dir / "bad.toml", b.text);
    write_audio(dir / "in.wav", test_signal(44100, 1, 0.2, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    const auto before = snapshot(dir);
    const std::string prefix = "tolvane: bad.toml:" + std::string(b.where) + ": ";

    for (const auto &args : std::vector<std::vector<std::string>>{
             {"render", "bad.toml", "in.wav", "-o", "out.wav"},
             {"response", "bad.toml", "-o", "plot.png", "--csv", "plot.csv"}}) {
        const ToolRun run = tolvane(args);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_EQ(run.err.rfind(prefix + b.reason, 0), 0u) << args[0] << ": " << run.err;
        EXPECT_EQ(snapshot(dir), before) << args[0];
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsRefused, testing::ValuesIn(BAD_SETTINGS),
                         [](const auto &info) { return test_name(info.param.label); });

struct Clamp {
    const char *line;   // as written in the file
    const char *report; // what the tool says about it, or "" for nothing
};

// Each row is one line of a file; the tool reports exactly the values the
// provider did not store as given.
const Clamp CLAMPS[] = {
    {"Lerp = 1.5", "bad.toml:1:8: \"Lerp\" = 1.5 was stored by the provider as 1"},
    {"\"0 Freq 0\" = 25000", "bad.toml:2:14: \"0 Freq 0\" = 25000 was stored by the provider as 20000"},
    {"\"0 Q 0\" = 0.0", "bad.toml:3:11: \"0 Q 0\" = 0 was stored by the provider as 0.00999999978"},
    {"\"0 Gain 0\" = -45", "bad.toml:4:14: \"0 Gain 0\" = -45 was stored by the provider as -30"},
    {"\"0 Type 0\" = -1", "bad.toml:5:14: \"0 Type 0\" = -1 was stored by the provider as 0"},
    {"\"1 Type 0\" = 4294967300", "bad.toml:6:14: \"1 Type 0\" = 4294967300 was stored by the provider as 4"},
    {"\"1 Freq 0\" = nan", "bad.toml:7:14: \"1 Freq 0\" = nan was stored by the provider as 20000"},
    {"\"1 Q 1\" = 0.01", ""},
    {"\"1 Gain 1\" = 30", ""},
    {"\"1 Type 1\" = \"highshelf\"", ""},
    {"\"1 Enable 1\" = true", ""},
    // An integer toml++ will not hand out as a double, for a float property.
    {"\"1 Gain 2\" = -9007199254740993",
     "bad.toml:12:14: \"1 Gain 2\" = -9.00719925e+15 was stored by the provider as -30"},
};

using Settings = ToolTest;

TEST_F(Settings, ClampedValuesAreReportedGivenAndStored) {
    std::string text;
    size_t reports = 0;
    for (const Clamp &c : CLAMPS) {
        text += std::string(c.line) + "\n";
        reports += *c.report != '\0';
    }
    write_text(dir / "bad.toml", text);

    const ToolRun run = tolvane({"response", "bad.toml", "--csv", "out.csv"});

    ASSERT_EQ(run.status, 0) << run.err;
    for (const Clamp &c : CLAMPS) {
        if (*c.report != '\0') {
            EXPECT_NE(run.err.find(std::string(c.report) + "\n"), std::string::npos)
                << c.line << "\n" << run.err;
        }
    }
    EXPECT_EQ(static_cast<size_t>(std::count(run.err.begin(), run.err.end(), '\n')), reports)
        << run.err;
}

}  // namespace
}  // namespace tolvane::tools_test
