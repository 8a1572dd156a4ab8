// `tolvane render` against the provider itself: the same blocks, the same
// property values, processed directly through the loaded artifact, must give
// the same samples.
#include <optional>
#include <utility>

#include "host/provider_host.h"
#include "tests/tools/tool_fixture.h"

namespace tolvane::tools_test {
namespace {

using host::Provider;
using host::Voice;

// A property as a settings file states it and as its slot receives it.
struct Value {
    const char *name;
    const char *toml;
    double slot;  // float properties take it as a float, the others as an integer
};

struct RenderCase {
    const char *label;
    int rate, channels, block, format;
    std::optional<std::pair<double, double>> sweep;
    std::vector<Value> settings;
};

const std::vector<Value> WARM = {
    {"0 Type 0", "\"lowshelf\"", 2}, {"0 Freq 0", "120", 120},    {"0 Q 0", "0.7071", 0.7071},
    {"0 Gain 0", "4.5", 4.5},        {"0 Enable 0", "true", 1},   {"0 Type 2", "\"highshelf\"", 3},
    {"0 Freq 2", "6000.0", 6000},    {"0 Gain 2", "-6", -6},      {"0 Enable 2", "true", 1},
};
const std::vector<Value> MORPH = {
    {"0 Type 0", "1", 1},           {"0 Freq 0", "300", 300},    {"0 Enable 0", "true", 1},
    {"1 Type 1", "\"peaking\"", 4}, {"1 Freq 1", "1000", 1000},  {"1 Q 1", "2.0", 2},
    {"1 Gain 1", "9.0", 9},         {"1 Enable 1", "true", 1},   {"Lerp", "0.3", 0.3},
};
// Out of range: the provider clamps, in the tool as here.
const std::vector<Value> CLAMPED = {
    {"0 Type 1", "\"peaking\"", 4}, {"0 Freq 1", "25000", 25000}, {"0 Gain 1", "45", 45},
    {"0 Q 1", "0", 0},              {"0 Enable 1", "true", 1},    {"1 Type 0", "9", 9},
    {"1 Enable 0", "true", 1},      {"Lerp", "1.5", 1.5},
};

const int WAV = SF_FORMAT_WAV | SF_FORMAT_PCM_16, FLAC = SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
          AIFF = SF_FORMAT_AIFF | SF_FORMAT_PCM_16;

const RenderCase RENDER_CASES[] = {
    {"mono wav, default block", 44100, 1, 1024, WAV, std::nullopt, WARM},
    {"stereo flac, sweep down", 48000, 2, 256, FLAC, std::make_pair(1.0, 0.0), MORPH},
    {"stereo, one frame a block", 22050, 2, 1, WAV, std::nullopt, MORPH},
    {"mono aiff, partial last block, sweep", 96000, 1, 1000, AIFF, std::make_pair(0.2, 0.9), CLAMPED},
    {"stereo, clamped values", 32000, 2, 4096, WAV, std::nullopt, CLAMPED},
};

std::string settings_text(const std::vector<Value> &values) {
    std::string text;
    for (const Value &v : values) {
        text += '"';
        text += v.name;
        text += "\" = ";
        text += v.toml;
        text += '\n';
    }
    return text;
}

// What a host would hear: the same settings and blocks, straight through the
// provider's entries.
std::vector<int16_t> process_directly(const Audio &input, const RenderCase &c) {
    Provider provider;
    Voice voice(provider, input.rate);
    for (const Value &v : c.settings) {
        const int32_t token = provider.sample_token(v.name);
        const bool is_float = provider.entry(INTERFACE_SAMPLE, v.name).subtype == SUBTYPE_FLOAT;
        if (is_float) {
            voice.set_float(token, static_cast<float>(v.slot));
        } else {
            voice.set_int(token, static_cast<int32_t>(v.slot));
        }
    }
    const int32_t lerp = provider.sample_token("Lerp");
    std::vector<int16_t> output(input.samples.size());
    const int64_t frames = input.frames(), blocks = (frames + c.block - 1) / c.block;
    for (int64_t k = 0; k < blocks; ++k) {
        if (c.sweep) {
            const double t = blocks > 1 ? static_cast<double>(k) / (blocks - 1) : 0.0;
            voice.set_float(lerp, static_cast<float>(c.sweep->first +
                                                     (c.sweep->second - c.sweep->first) * t));
        }
        const int64_t first = k * c.block, count = std::min<int64_t>(c.block, frames - first);
        voice.process(&input.samples[first * input.channels], &output[first * input.channels],
                      static_cast<int32_t>(count), input.rate, input.channels == 2);
    }
    return output;
}

void PrintTo(const RenderCase &c, std::ostream *os) { *os << c.label; }

class RenderMatchesProvider : public ToolTest, public testing::WithParamInterface<RenderCase> {};

TEST_P(RenderMatchesProvider, SameSamplesRateAndContainer) {
    const RenderCase &c = GetParam();
    const Audio input = test_signal(c.rate, c.channels, 1.3, c.format);
    write_audio(dir / "in.audio", input);
    write_text(dir / "settings.toml", settings_text(c.settings));
    std::vector<std::string> args = {"render", "settings.toml", "in.audio", "-o", "out.audio",
                                     "--block", std::to_string(c.block)};
    if (c.sweep) {
        args.push_back("--lerp-sweep");
        args.push_back(std::to_string(c.sweep->first) + ":" + std::to_string(c.sweep->second));
    }
    const ToolRun run = tolvane(args);
    ASSERT_EQ(run.status, 0) << run.err;

    const Audio output = read_audio(dir / "out.audio");
    EXPECT_EQ(output.rate, c.rate);
    EXPECT_EQ(output.channels, c.channels);
    EXPECT_EQ(output.format, c.format);
    const std::vector<int16_t> expected = process_directly(input, c);
    ASSERT_EQ(output.samples.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(output.samples[i], expected[i]) << "sample " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RenderMatchesProvider, testing::ValuesIn(RENDER_CASES),
                         [](const auto &info) { return test_name(info.param.label); });

using Render = ToolTest;

// One provider state per file: files rendered side by side give exactly what
// they give one at a time.
TEST_F(Render, ManyJobsMatchOneJob) {
    std::vector<std::string> inputs;
    for (int i = 0; i < 6; ++i) {
        const std::string name = "in" + std::to_string(i) + ".wav";
        write_audio(dir / name, test_signal(i % 2 ? 44100 : 48000, 1 + i % 2, 0.5 + 0.2 * i, WAV));
        inputs.push_back(name);
    }
    write_text(dir / "settings.toml", settings_text(MORPH));
    for (const char *jobs : {"1", "4"}) {
        std::vector<std::string> args = {"render", "settings.toml"};
        args.insert(args.end(), inputs.begin(), inputs.end());
        args.insert(args.end(), {"--out-dir", std::string("jobs") + jobs, "--jobs", jobs,
                                 "--lerp-sweep", "0:1"});
        const ToolRun run = tolvane(args);
        ASSERT_EQ(run.status, 0) << run.err;
    }
    for (const std::string &name : inputs) {
        EXPECT_EQ(read_bytes(dir / "jobs1" / name), read_bytes(dir / "jobs4" / name)) << name;
        EXPECT_FALSE(read_bytes(dir / "jobs1" / name).empty()) << name;
    }
}

// Ogg holds no PCM: its output stays Ogg Vorbis, at the input's rate.
TEST_F(Render, OggStaysOggVorbis) {
    write_audio(dir / "in.ogg", test_signal(32000, 2, 0.5, SF_FORMAT_OGG | SF_FORMAT_VORBIS));
    write_text(dir / "settings.toml", settings_text(WARM));
    const ToolRun run = tolvane({"render", "settings.toml", "in.ogg", "-o", "out.ogg"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Audio out = read_audio(dir / "out.ogg");
    EXPECT_EQ(out.format, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    EXPECT_EQ(out.rate, 32000);
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.frames(), read_audio(dir / "in.ogg").frames());
}

// --force replaces an existing output with the render; the summary reports
// what was saturated.
TEST_F(Render, ForceReplacesAndSummaryCountsSaturation) {
    Audio loud = test_signal(48000, 1, 0.5, WAV);
    for (int16_t &s : loud.samples) {
        s = static_cast<int16_t>(std::clamp(s * 3, -32768, 32767));
    }
    write_audio(dir / "in.wav", loud);
    write_text(dir / "out.wav", "old contents");
    write_text(dir / "boost.toml", "\"0 Type 0\" = \"peaking\"\n\"0 Gain 0\" = 12.0\n"
                                   "\"0 Freq 0\" = 1250.0\n\"0 Enable 0\" = true\n");
    const ToolRun run = tolvane({"render", "boost.toml", "in.wav", "-o", "out.wav", "--force"});
    ASSERT_EQ(run.status, 0) << run.err;

    const Audio out = read_audio(dir / "out.wav");
    const auto saturated = std::count_if(out.samples.begin(), out.samples.end(),
                                         [](int16_t s) { return s == 32767 || s == -32768; });
    ASSERT_GT(saturated, 0);
    EXPECT_NE(run.out.find(std::to_string(saturated) + " saturated"), std::string::npos)
        << run.out;
    EXPECT_NE(run.err.find("warning"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace tolvane::tools_test
