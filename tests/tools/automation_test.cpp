// `tolvane render --automation`: a host's movements, block by block, played
// back through the provider. The output must be what a host calling the
// entries the same way hears; a log it cannot follow is refused with its line
// and nothing is written.
#include "host/provider_host.h"
#include "tests/tools/tool_fixture.h"

namespace tolvane::tools_test {
namespace {

class Automation : public ToolTest {
protected:
    void SetUp() override {
        input = test_signal(44100, 2, 0.5, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        write_audio(dir / "in.wav", input);
        write_text(dir / "s.toml", "\"0 Type 0\" = \"peaking\"\n\"0 Enable 0\" = true\n");
    }
    Audio input;
};

// The log below, by hand: 64-frame blocks over a loop of the first 10000
// frames, changes before blocks 0, 3 and 7 (one clamped, one a type word),
// a seek before block 20, Bypass over blocks 30 to 39.
TEST_F(Automation, PlaysWhatAHostCallingTheEntriesHears) {
    write_text(dir / "a.log",
               "# a host's movements\n"
               "rate 44100\n"
               "block 64\n"
               "blocks 400\n"
               "0 loop 0 10000\n"
               "0 \"0 Freq 0\" 1000\n"
               "0 \"0 Gain 0\" 6.5   # boost\n"
               "3 \"0 Gain 0\" 45\n"
               "7 \"1 Type 2\" highshelf\n"
               "7 \"1 Enable 2\" 1\n"
               "7 Lerp 0.25\n"
               "20 seek 9000\n"
               "30 bypass on\n"
               "40 bypass off\n");
    const ToolRun run = tolvane({"render", "s.toml", "in.wav", "--automation", "a.log", "-o", "out.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("automation a.log, blocks of 64 frames"), std::string::npos) << run.out;
    const Audio out = read_audio(dir / "out.wav");

    host::Provider provider;
    host::Voice voice(provider, 44100);
    auto set = [&](const char *name, float value) {
        voice.set_float(provider.sample_token(name), value);
    };
    auto set_int = [&](const char *name, int32_t value) {
        voice.set_int(provider.sample_token(name), value);
    };
    set_int("0 Type 0", 4);
    set_int("0 Enable 0", 1);
    std::vector<int16_t> want;
    int64_t position = 0;
    for (int block = 0; block < 400; ++block) {
        if (block == 0) {
            set("0 Freq 0", 1000.0f);
            set("0 Gain 0", 6.5f);
        } else if (block == 3) {
            set("0 Gain 0", 45.0f);
        } else if (block == 7) {
            set_int("1 Type 2", 3);
            set_int("1 Enable 2", 1);
            set("Lerp", 0.25f);
        } else if (block == 20) {
            position = 9000;
        }
        std::vector<int16_t> in(128), heard(128);
        for (int i = 0; i < 64; ++i, ++position) {
            if (position == 10000) {
                position = 0;
            }
            in[2 * i] = input.samples[2 * position];
            in[2 * i + 1] = input.samples[2 * position + 1];
        }
        voice.process(in.data(), heard.data(), 64, 44100, true);
        const std::vector<int16_t> &played = block >= 30 && block < 40 ? in : heard;
        want.insert(want.end(), played.begin(), played.end());
    }
    ASSERT_EQ(out.samples.size(), want.size());
    EXPECT_EQ(out.samples, want);
}

// Without blocks or a loop: the file once, to its end, the last block short.
TEST_F(Automation, WithoutBlocksPlaysTheFileOnce) {
    write_text(dir / "a.log", "block 1000\n5 Lerp 0\n");
    const ToolRun run = tolvane({"render", "s.toml", "in.wav", "--automation", "a.log", "-o", "out.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_audio(dir / "out.wav").frames(), input.frames());
}

struct Refusal {
    const char *label;
    const char *log;
    const char *says;
};

const Refusal REFUSALS[] = {
    {"no block size", "rate 44100\n", "a.log: no block size"},
    {"another rate", "rate 48000\nblock 64\n", "a.log was made at 48000 Hz; in.wav is at 44100 Hz"},
    {"unknown property", "block 64\n2 \"0 Nope 0\" 1\n", "a.log:2: no property \"0 Nope 0\""},
    {"a word for a number", "block 64\n2 \"0 Freq 0\" loud\n", "a.log:2: \"0 Freq 0\" takes a number"},
    {"unknown type", "block 64\n0 \"0 Type 0\" notch\n", "unknown filter type \"notch\""},
    {"out of order", "block 64\n5 Lerp 1\n4 Lerp 0\n", "a.log:3: block 4 comes after block 5"},
    {"unclosed quote", "block 64\n0 \"0 Freq 0 5\n", "a.log:2: a quote is not closed"},
    {"a loop without blocks", "block 64\nloop 0 100\n", "a loop needs \"blocks N\""},
    {"a seek past the end", "block 64\n3 seek 999999\n", "seeks to frame 999999, past the end of in.wav"},
    {"bypass maybe", "block 64\n3 bypass maybe\n", "a.log:2: bypass is on or off"},
    {"a stray word", "block 64\nvolume 3\n", "a.log:2: \"volume\" is not rate, block, start"},
};

class AutomationRefusal : public Automation, public testing::WithParamInterface<Refusal> {};

TEST_P(AutomationRefusal, SaysWhereAndWritesNothing) {
    write_text(dir / "a.log", GetParam().log);
    const auto before = snapshot(dir);
    const ToolRun run = tolvane({"render", "s.toml", "in.wav", "--automation", "a.log", "-o", "out.wav"});
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find(GetParam().says), std::string::npos) << run.err;
    EXPECT_EQ(changes(before, snapshot(dir)), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Logs, AutomationRefusal, testing::ValuesIn(REFUSALS),
                         [](const auto &info) { return test_name(info.param.label); });

TEST_F(Automation, SetsTheBlockSizeItself) {
    write_text(dir / "a.log", "block 64\n");
    const ToolRun run = tolvane(
        {"render", "s.toml", "in.wav", "--automation", "a.log", "--block", "32", "-o", "out.wav"});
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("--block excludes --automation"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace tolvane::tools_test
