// Refusals: a bad input, a bad target or a bad option stops the tool with the
// reason, and every file in the folder stays exactly as it was: no output, no
// partial output, no temporary file left behind.
#include <fstream>
#include <functional>

#include "tests/tools/tool_fixture.h"

namespace tolvane::tools_test {
namespace {

const int WAV = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

void good_wav(const fs::path &path) { write_audio(path, test_signal(44100, 2, 0.3, WAV)); }

// A WAV whose header gives the sample rate as 0.
void rateless_wav(const fs::path &path) {
    good_wav(path);
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(24);
    const char zero[4] = {};
    file.write(zero, 4);
}

// A good file of `format`, then only the first `keep` of its bytes.
void cut_short(const fs::path &path, int format, double keep) {
    write_audio(path, test_signal(44100, 2, 0.3, format));
    fs::resize_file(path, static_cast<uintmax_t>(static_cast<double>(fs::file_size(path)) * keep));
}

// A good file of `format` with 64 bytes in the middle of its audio scrambled.
void damaged(const fs::path &path, int format) {
    write_audio(path, test_signal(44100, 2, 0.3, format));
    std::string bytes = read_bytes(path);
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i) {
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
    }
    write_text(path, bytes);
}

// MPEG layer I, which libsndfile reads but cannot write: frames of silence,
// each a header (MPEG-1, layer I, 32 kbit/s, 44100 Hz, mono) and no bits
// allocated to any band.
void mpeg_layer_1(const fs::path &path) {
    std::string frame = {'\xff', '\xff', '\x10', '\xc0'};
    frame.resize(32, '\0');
    std::string bytes;
    for (int i = 0; i < 100; ++i) {
        bytes += frame;
    }
    write_text(path, bytes);
}

// A mono FLAC whose stream header states `rate`: libsndfile reads it at that
// rate, whatever its frames say.
void flac_at_rate(const fs::path &path, int rate) {
    write_audio(path, test_signal(48000, 1, 0.1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16));
    std::string bytes = read_bytes(path);
    // "fLaC", a block header, then STREAMINFO: the rate is 20 bits from byte 18.
    bytes[18] = static_cast<char>(rate >> 12);
    bytes[19] = static_cast<char>(rate >> 4);
    bytes[20] = static_cast<char>((rate & 0xf) << 4 | (bytes[20] & 0x0f));
    write_text(path, bytes);
}

const int AIFF = SF_FORMAT_AIFF | SF_FORMAT_PCM_16, FLAC = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;

struct Refusal {
    const char *label;
    std::function<void(const fs::path &)> prepare;
    std::vector<std::string> args;
    const char *reason;  // expected in the error output
};

const Refusal REFUSALS[] = {
    {"three channels",
     [](const fs::path &d) { write_audio(d / "in.wav", test_signal(44100, 3, 0.3, WAV)); },
     {"render", "s.toml", "in.wav", "-o", "out.wav"}, "has 3 channels"},
    {"not audio", [](const fs::path &d) { write_text(d / "in.wav", "just some text\n"); },
     {"render", "s.toml", "in.wav", "-o", "out.wav"}, "in.wav: not an audio file"},
    {"no sample rate", [](const fs::path &d) { rateless_wav(d / "in.wav"); },
     {"render", "s.toml", "in.wav", "-o", "out.wav"}, "in.wav: the file states no usable sample rate"},
    {"WAV cut short", [](const fs::path &d) { cut_short(d / "in.wav", WAV, 0.6); },
     {"render", "s.toml", "in.wav", "-o", "out.wav"}, "in.wav: truncated: its header states"},
    {"AIFF cut short", [](const fs::path &d) { cut_short(d / "in.aiff", AIFF, 0.6); },
     {"render", "s.toml", "in.aiff", "-o", "out.aiff"}, "in.aiff: truncated: its header states"},
    {"WAV cut inside its header",
     [](const fs::path &d) {
         good_wav(d / "in.wav");
         fs::resize_file(d / "in.wav", 36);  // the format chunk, and no audio chunk
     },
     {"render", "s.toml", "in.wav", "-o", "out.wav"}, "in.wav: cannot read"},
    {"FLAC cut short", [](const fs::path &d) { cut_short(d / "in.flac", FLAC, 0.6); },
     {"render", "s.toml", "in.flac", "-o", "out.flac"}, "in.flac: cannot read"},
    {"FLAC with damaged frames", [](const fs::path &d) { damaged(d / "in.flac", FLAC); },
     {"render", "s.toml", "in.flac", "-o", "out.flac"}, "in.flac: cannot read"},
    {"MPEG layer I, which cannot be written back",
     [](const fs::path &d) { mpeg_layer_1(d / "in.mp1"); },
     {"render", "s.toml", "in.mp1", "-o", "out.mp1"},
     "in.mp1: libsndfile can read this file (format 0x230080, 44100 Hz, 1 channel) but cannot "
     "write one like it"},
    {"FLAC at a rate its encoder refuses",
     [](const fs::path &d) { flac_at_rate(d / "in.flac", 564096); },
     {"render", "s.toml", "in.flac", "-o", "out.flac"},
     "in.flac: libsndfile can read this file (format 0x170002, 564096 Hz, 1 channel) but cannot "
     "write one like it"},
    {"missing input", [](const fs::path &) {},
     {"render", "s.toml", "in.wav", "-o", "out.wav"}, "in.wav: no such file"},
    {"missing settings", [](const fs::path &d) { good_wav(d / "in.wav"); },
     {"render", "none.toml", "in.wav", "-o", "out.wav"}, "none.toml: no such settings file"},
    {"output exists",
     [](const fs::path &d) {
         good_wav(d / "in.wav");
         write_text(d / "out.wav", "keep me");
     },
     {"render", "s.toml", "in.wav", "-o", "out.wav"}, "out.wav: exists; use --force"},
    {"output is the input, even forced", [](const fs::path &d) { good_wav(d / "in.wav"); },
     {"render", "s.toml", "in.wav", "-o", "./in.wav", "--force"}, "is the input in.wav"},
    {"out-dir is the input's folder",
     [](const fs::path &d) {
         fs::create_directory(d / "music");
         good_wav(d / "music" / "in.wav");
     },
     {"render", "s.toml", "music/in.wav", "--out-dir", "music", "--force"}, "is the input"},
    {"one bad input among good ones",
     [](const fs::path &d) {
         good_wav(d / "a.wav");
         write_text(d / "b.wav", "RIFF but not really");
         good_wav(d / "c.wav");
     },
     {"render", "s.toml", "a.wav", "b.wav", "c.wav", "--out-dir", "out"}, "nothing was written"},
    {"two inputs, one output name",
     [](const fs::path &d) {
         fs::create_directory(d / "x");
         fs::create_directory(d / "y");
         good_wav(d / "x" / "in.wav");
         good_wav(d / "y" / "in.wav");
     },
     {"render", "s.toml", "x/in.wav", "y/in.wav", "--out-dir", "out"}, "written by both"},
    {"-o with two inputs",
     [](const fs::path &d) {
         good_wav(d / "a.wav");
         good_wav(d / "b.wav");
     },
     {"render", "s.toml", "a.wav", "b.wav", "-o", "out.wav"}, "for 2 inputs use --out-dir"},
    {"no output named", [](const fs::path &d) { good_wav(d / "in.wav"); },
     {"render", "s.toml", "in.wav"}, "-o OUT or --out-dir DIR"},
    {"output folder missing", [](const fs::path &d) { good_wav(d / "in.wav"); },
     {"render", "s.toml", "in.wav", "-o", "nowhere/out.wav"}, "does not exist"},
    {"block of zero frames", [](const fs::path &d) { good_wav(d / "in.wav"); },
     {"render", "s.toml", "in.wav", "-o", "out.wav", "--block", "0"}, "--block"},
    {"sweep without its end", [](const fs::path &d) { good_wav(d / "in.wav"); },
     {"render", "s.toml", "in.wav", "-o", "out.wav", "--lerp-sweep", "0.5"}, "--lerp-sweep"},
    {"plot exists", [](const fs::path &d) { write_text(d / "plot.png", "keep me"); },
     {"response", "s.toml", "-o", "plot.png"}, "plot.png: exists; use --force"},
    {"numbers over the settings", [](const fs::path &) {},
     {"response", "s.toml", "--csv", "s.toml", "--force"}, "is the input"},
    {"info on a file that is no provider",
     [](const fs::path &d) { write_text(d / "fake.flt", "not a library"); },
     {"info", "fake.flt"}, "fake.flt: cannot load"},
};

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.label; }

class Refused : public ToolTest, public testing::WithParamInterface<Refusal> {};

TEST_P(Refused, WithTheReasonAndNothingWritten) {
    const Refusal &r = GetParam();
    write_text(dir / "s.toml", "\"0 Enable 0\" = true\n");
    r.prepare(dir);
    const auto before = snapshot(dir);

    const ToolRun run = tolvane(r.args);

    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find(r.reason), std::string::npos) << run.err;
    EXPECT_EQ(snapshot(dir), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, Refused, testing::ValuesIn(REFUSALS), [](const auto &info) { return test_name(info.param.label); });

}  // namespace
}  // namespace tolvane::tools_test
