// render_stream over files in memory, as a command that keeps its audio in
// memory calls it. With several chunks in flight it gives the provider's own
// samples block by block; a file that fails part way stops the render with
// the reason and the file's name, whichever chunk it fails in; and when both
// files fail, the failure reported is the one met first going through the
// file in order, however the reading, processing and writing overlap.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/provider_host.h"
#include "tests/tools/tool_fixture.h"
#include "tools/audio_file.h"
#include "tools/memory_file.h"
#include "tools/render.h"
#include "tools/settings.h"
#include "tools/tool_error.h"

namespace tolvane::tools_test {
namespace {

using tools::MemoryFile;
using tools::Rendered;
using tools::SoundFile;

const int WAV = SF_FORMAT_WAV | SF_FORMAT_PCM_16, FLAC = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
constexpr sf_count_t ALL = std::numeric_limits<sf_count_t>::max();
constexpr sf_count_t WAV_HEADER = 44;

// Loud enough with the test signal that some samples saturate.
const char *const SETTINGS = R"(
"0 Type 0" = "peaking"
"0 Freq 0" = 1250.0
"0 Gain 0" = 20.0
"0 Enable 0" = true
"1 Type 1" = "highpass"
"1 Freq 1" = 300.0
"1 Enable 1" = true
)";

// A file in memory that gives at most `readable` bytes, however many it
// holds, as a file cut short beneath libsndfile would, and takes at most
// `writable`, as a full disk would.
class LimitedFile {
public:
    explicit LimitedFile(std::string bytes = {}, sf_count_t readable = ALL,
                         sf_count_t writable = ALL)
        : file_(std::move(bytes)), readable_(readable), writable_(writable) {}

    void *user() { return this; }
    const std::string &bytes() const { return file_.bytes(); }

    static SF_VIRTUAL_IO &io() {
        static SF_VIRTUAL_IO calls = {
            [](void *self) { return inner().get_filelen(of(self).file_.user()); },
            [](sf_count_t offset, int whence, void *self) {
                return inner().seek(offset, whence, of(self).file_.user());
            },
            [](void *out, sf_count_t count, void *self) {
                LimitedFile &f = of(self);
                const sf_count_t at = inner().tell(f.file_.user());
                const sf_count_t n = std::max<sf_count_t>(0, std::min(count, f.readable_ - at));
                return inner().read(out, n, f.file_.user());
            },
            [](const void *in, sf_count_t count, void *self) {
                LimitedFile &f = of(self);
                const sf_count_t at = inner().tell(f.file_.user());
                const sf_count_t n = std::max<sf_count_t>(0, std::min(count, f.writable_ - at));
                return inner().write(in, n, f.file_.user());
            },
            [](void *self) { return inner().tell(of(self).file_.user()); },
        };
        return calls;
    }

private:
    static SF_VIRTUAL_IO &inner() { return MemoryFile::io(); }
    static LimitedFile &of(void *self) { return *static_cast<LimitedFile *>(self); }

    MemoryFile file_;
    sf_count_t readable_, writable_;
};

std::string encode(const Audio &audio) {
    MemoryFile file;
    SF_INFO info{};
    info.samplerate = audio.rate;
    info.channels = audio.channels;
    info.format = audio.format;
    SNDFILE *sound = sf_open_virtual(&MemoryFile::io(), SFM_WRITE, &info, file.user());
    EXPECT_NE(sound, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(sf_writef_short(sound, audio.samples.data(), audio.frames()), audio.frames());
    sf_close(sound);
    return file.bytes();
}

std::vector<int16_t> decode(const std::string &bytes) {
    MemoryFile file(bytes);
    SF_INFO info{};
    SNDFILE *sound = sf_open_virtual(&MemoryFile::io(), SFM_READ, &info, file.user());
    EXPECT_NE(sound, nullptr) << sf_strerror(nullptr);
    if (sound == nullptr) {
        return {};
    }
    std::vector<int16_t> samples(static_cast<size_t>(info.frames * info.channels));
    samples.resize(static_cast<size_t>(sf_readf_short(sound, samples.data(), info.frames) *
                                       info.channels));
    sf_close(sound);
    return samples;
}

// 64 bytes scrambled at `where`, a fraction of the way into the file.
std::string damaged(std::string bytes, double where) {
    const auto at = static_cast<size_t>(static_cast<double>(bytes.size()) * where);
    for (size_t i = at; i < at + 64; ++i) {
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
    }
    return bytes;
}

class RenderStream : public testing::Test {
protected:
    host::Provider provider;
    tools::Settings settings =
        tools::parse_settings(SETTINGS, "s.toml", tools::sample_properties(provider));
    int32_t lerp = provider.sample_token("Lerp");

    // Renders `input` into a 16-bit WAV in memory; the output's bytes and
    // what the render gave, or the message it stopped with.
    struct Outcome {
        std::string bytes;
        std::optional<Rendered> rendered;
        std::string error;
        int64_t advanced = 0;
    };
    Outcome render(LimitedFile &input, sf_count_t writable, int block,
                   const std::optional<std::pair<double, double>> &sweep) {
        Outcome outcome;
        LimitedFile out_file({}, ALL, writable);
        try {
            SoundFile in = SoundFile::open_read(LimitedFile::io(), input.user(), "in");
            SoundFile out = SoundFile::open_write(LimitedFile::io(), out_file.user(), WAV,
                                                  in.info().samplerate, in.info().channels,
                                                  "out");
            host::Voice voice(provider, in.info().samplerate);
            tools::apply_settings(voice, settings);
            outcome.rendered = tools::render_stream(
                in, out, voice, block, sweep, lerp,
                [&](int64_t frames) { outcome.advanced += frames; });
            out.close();
        } catch (const tools::ToolError &error) {
            outcome.error = error.what();
        }
        outcome.bytes = out_file.bytes();
        return outcome;
    }

    // The same blocks straight through the provider, Lerp swept from the
    // first block to the last.
    std::vector<int16_t> direct(const Audio &audio, int block,
                                const std::optional<std::pair<double, double>> &sweep) {
        host::Voice voice(provider, audio.rate);
        tools::apply_settings(voice, settings);
        std::vector<int16_t> output(audio.samples.size());
        const int64_t frames = audio.frames(), blocks = (frames + block - 1) / block;
        for (int64_t k = 0; k < blocks; ++k) {
            if (sweep) {
                const double t = blocks > 1 ? static_cast<double>(k) / (blocks - 1) : 0.0;
                voice.set_float(lerp, static_cast<float>(sweep->first +
                                                         (sweep->second - sweep->first) * t));
            }
            const int64_t first = k * block, count = std::min<int64_t>(block, frames - first);
            voice.process(&audio.samples[first * audio.channels],
                          &output[first * audio.channels], static_cast<int32_t>(count),
                          audio.rate, audio.channels == 2);
        }
        return output;
    }
};

struct StreamCase {
    const char *label;
    int channels, block, format;
    std::optional<std::pair<double, double>> sweep;
};

// Thirty seconds: more chunks than are ever in flight at once.
const StreamCase STREAM_CASES[] = {
    {"stereo wav, default block, sweep", 2, 1024, WAV, std::make_pair(0.0, 1.0)},
    {"mono flac, blocks that do not divide a chunk", 1, 1000, FLAC, std::nullopt},
    {"stereo wav, one frame a block, sweep", 2, 1, WAV, std::make_pair(1.0, 0.2)},
    {"stereo flac, blocks longer than a chunk's worth", 2, 70000, FLAC, std::nullopt},
};

void PrintTo(const StreamCase &c, std::ostream *os) { *os << c.label; }

class RenderStreamMatches : public RenderStream, public testing::WithParamInterface<StreamCase> {};

TEST_P(RenderStreamMatches, TheProviderBlockByBlock) {
    const StreamCase &c = GetParam();
    const Audio audio = test_signal(44100, c.channels, 30.0, c.format);
    LimitedFile input(encode(audio));

    const Outcome outcome = render(input, ALL, c.block, c.sweep);

    ASSERT_EQ(outcome.error, "");
    const std::vector<int16_t> expected = direct(audio, c.block, c.sweep);
    EXPECT_EQ(decode(outcome.bytes), expected);
    int peak = 0;
    int64_t saturated = 0;
    for (const int16_t value : expected) {
        peak = std::max(peak, std::abs(int{value}));
        saturated += value == 32767 || value == -32768;
    }
    EXPECT_GT(saturated, 0) << "the settings should saturate some samples";
    EXPECT_EQ(outcome.rendered->frames, audio.frames());
    EXPECT_EQ(outcome.rendered->peak, peak);
    EXPECT_EQ(outcome.rendered->saturated, saturated);
    EXPECT_EQ(outcome.advanced, audio.frames());
}

INSTANTIATE_TEST_SUITE_P(Cases, RenderStreamMatches, testing::ValuesIn(STREAM_CASES),
                         [](const auto &info) { return test_name(info.param.label); });

// Bytes of 16-bit stereo audio in `chunks` chunks of 1024-frame blocks.
sf_count_t chunk_bytes(double chunks) {
    return static_cast<sf_count_t>(chunks * static_cast<double>(tools::render_chunk_frames(1024)) *
                                   4);
}

struct StreamFailure {
    const char *label;
    double seconds;
    int format;
    double damage;  // where the input is scrambled, as a fraction of it; 0 for nowhere
    sf_count_t readable, writable;
    const char *reason;  // how the message starts
};

// Eight seconds of stereo at 44100 Hz: 352800 frames, over five chunks;
// sixty: 2646000 frames, more than twice the chunks that are ever in flight.
const StreamFailure STREAM_FAILURES[] = {
    {"output full in the first chunk", 8, WAV, 0, ALL, 1000, "out: cannot write: "},
    {"output full after several chunks", 8, WAV, 0, ALL, WAV_HEADER + chunk_bytes(3.5),
     "out: cannot write: "},
    {"output full while the reader waits for room", 60, WAV, 0, ALL,
     WAV_HEADER + chunk_bytes(18.5), "out: cannot write: "},
    {"input cut short in the first chunk", 8, WAV, 0, WAV_HEADER + 1000 * 4, ALL,
     "in: truncated or corrupt: its header states 352800 frames, only 1000 could be read"},
    {"input cut short after several chunks", 8, WAV, 0, WAV_HEADER + 300000 * 4, ALL,
     "in: truncated or corrupt: its header states 352800 frames, only 300000 could be read"},
    {"input cut short after the reader waited for room", 60, WAV, 0, WAV_HEADER + 2400000 * 4,
     ALL, "in: truncated or corrupt: its header states 2646000 frames, only 2400000 could be read"},
    {"input damaged in the first chunk", 8, FLAC, 0.05, ALL, ALL, "in: cannot read: "},
    {"input damaged after several chunks", 8, FLAC, 0.8, ALL, ALL, "in: cannot read: "},
    {"output full before the damage is reached", 8, FLAC, 0.9, ALL,
     WAV_HEADER + chunk_bytes(1.5), "out: cannot write: "},
    {"damage reached before the output is full", 8, FLAC, 0.3, ALL,
     WAV_HEADER + chunk_bytes(3.5), "in: cannot read: "},
    {"output full before the end of an input cut short", 8, WAV, 0, WAV_HEADER + 300000 * 4,
     WAV_HEADER + chunk_bytes(1.5), "out: cannot write: "},
};

void PrintTo(const StreamFailure &c, std::ostream *os) { *os << c.label; }

class RenderStreamFails : public RenderStream,
                          public testing::WithParamInterface<StreamFailure> {};

TEST_P(RenderStreamFails, WithTheFirstFailureInTheFilesOrder) {
    const StreamFailure &c = GetParam();
    std::string bytes = encode(test_signal(44100, 2, c.seconds, c.format));
    if (c.damage > 0) {
        bytes = damaged(std::move(bytes), c.damage);
    }
    // Every block length, so that the chunks and the pace of each stage differ.
    for (const int block : {1024, 1, 4096}) {
        LimitedFile input(bytes, c.readable);
        const Outcome outcome = render(input, c.writable, block, std::nullopt);
        EXPECT_EQ(outcome.error.rfind(c.reason, 0), 0u)
            << "block " << block << ": " << outcome.error;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RenderStreamFails, testing::ValuesIn(STREAM_FAILURES),
                         [](const auto &info) { return test_name(info.param.label); });

}  // namespace
}  // namespace tolvane::tools_test
