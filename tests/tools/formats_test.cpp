// Every kind of file a sound designer has comes in by one rule: read as
// floating point normalised to full scale, times 32768, rounded to nearest
// (ties to even), saturated. Rendered flat, a lossless file gives back the
// 16-bit content it was made from, and the summary says what the file was.
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/tools/tool_fixture.h"

namespace tolvane::tools_test {
namespace {

// Lerp 1 and every band disabled: the provider passes every sample through.
const char *const FLAT = "Lerp = 1.0\n";

struct FormatCase {
    const char *label;
    const char *file;
    int format;
    const char *summary;  // what the summary line says of the input
    enum { EXACT, EIGHT_BIT, LOSSY } fidelity;
};

const FormatCase FORMAT_CASES[] = {
    {"8-bit unsigned wav", "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8,
     "WAV, Unsigned 8 bit PCM, converted to 16-bit", FormatCase::EIGHT_BIT},
    {"16-bit wav", "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "WAV, Signed 16 bit PCM, peak",
     FormatCase::EXACT},
    {"24-bit wav", "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24,
     "WAV, Signed 24 bit PCM, converted to 16-bit", FormatCase::EXACT},
    {"32-bit wav", "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32,
     "WAV, Signed 32 bit PCM, converted to 16-bit", FormatCase::EXACT},
    {"32-bit float wav", "in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT,
     "WAV, 32 bit float, converted to 16-bit", FormatCase::EXACT},
    {"64-bit float wav", "in.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE,
     "WAV, 64 bit float, converted to 16-bit", FormatCase::EXACT},
    {"24-bit flac", "in.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
     "FLAC, Signed 24 bit PCM, converted to 16-bit", FormatCase::EXACT},
    {"aiff", "in.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, "AIFF, Signed 16 bit PCM, peak",
     FormatCase::EXACT},
    {"float caf", "in.caf", SF_FORMAT_CAF | SF_FORMAT_FLOAT,
     "CAF, 32 bit float, converted to 16-bit", FormatCase::EXACT},
    {"w64", "in.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, "W64, Signed 16 bit PCM, peak",
     FormatCase::EXACT},
    {"rf64", "in.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, "RF64, Signed 16 bit PCM, peak",
     FormatCase::EXACT},
    {"ogg vorbis", "in.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "OGG, Vorbis, converted to 16-bit",
     FormatCase::LOSSY},
    {"mp3", "in.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III,
     "MPEG-1/2 Audio, MPEG Layer III, converted to 16-bit", FormatCase::LOSSY},
};

void PrintTo(const FormatCase &c, std::ostream *os) { *os << c.label; }

double rms(const std::vector<int16_t> &samples) {
    double sum = 0.0;
    for (int16_t s : samples) {
        sum += static_cast<double>(s) * s;
    }
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

// Writes interleaved stereo floats as they stand, whatever their range.
void write_floats(const fs::path &path, int format, const std::vector<double> &values) {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = format;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(sf_writef_double(file, values.data(), static_cast<sf_count_t>(values.size() / 2)),
              static_cast<sf_count_t>(values.size() / 2));
    sf_close(file);
}

class FlatRender : public ToolTest, public testing::WithParamInterface<FormatCase> {};

TEST_P(FlatRender, GivesBackTheSixteenBitContent) {
    const FormatCase &c = GetParam();
    const Audio content = test_signal(48000, 2, 0.5, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const int subtype = c.format & SF_FORMAT_SUBMASK;
    if (subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE) {
        // As an editor exports 16-bit audio to float: k as k/32768.
        std::vector<double> values;
        for (int16_t k : content.samples) {
            values.push_back(k / 32768.0);
        }
        write_floats(dir / c.file, c.format, values);
    } else {
        Audio made = content;
        made.format = c.format;
        write_audio(dir / c.file, made);
    }
    write_text(dir / "flat.toml", FLAT);
    const std::string out = std::string("out") + fs::path(c.file).extension().string();
    const ToolRun run = tolvane({"render", "flat.toml", c.file, "-o", out});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(c.summary), std::string::npos) << run.out;
    if (c.fidelity != FormatCase::LOSSY) {  // a lossy decoder may overshoot full scale
        EXPECT_EQ(run.err.find("clipped"), std::string::npos) << run.err;
    }

    const Audio rendered = read_audio(dir / out);
    // The same container; PCM where it can hold it.
    EXPECT_EQ(rendered.format & SF_FORMAT_TYPEMASK, c.format & SF_FORMAT_TYPEMASK);
    if (c.fidelity != FormatCase::LOSSY) {
        EXPECT_EQ(rendered.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
    }
    ASSERT_EQ(rendered.channels, 2);
    switch (c.fidelity) {
    case FormatCase::EXACT:
        EXPECT_EQ(rendered.samples, content.samples);
        break;
    case FormatCase::EIGHT_BIT:
        // 8 bits keep the top byte of each 16-bit value.
        ASSERT_EQ(rendered.samples.size(), content.samples.size());
        for (size_t i = 0; i < content.samples.size(); ++i) {
            ASSERT_EQ(rendered.samples[i], content.samples[i] & ~0xff) << "sample " << i;
        }
        break;
    case FormatCase::LOSSY:
        // The codec moves every sample (and MP3 delays them all), but the
        // level stays: a float file read as integers would be silence. Within
        // 3 dB: the MP3 encoder (LAME through libsndfile) reads uninitialised
        // memory, and its output's level moves by up to about 1.5 dB from
        // one run to the next.
        ASSERT_FALSE(rendered.samples.empty());
        EXPECT_NEAR(20 * std::log10(rms(rendered.samples) / rms(content.samples)), 0.0, 3.0);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, FlatRender, testing::ValuesIn(FORMAT_CASES),
                         [](const auto &info) { return test_name(info.param.label); });

using Conversion = ToolTest;

// The rule, written out once more on its own.
int16_t expected_sample(double x) {
    const double scaled = std::nearbyint(x * 32768.0);
    return static_cast<int16_t>(scaled > 32767 ? 32767 : scaled < -32768 ? -32768 : scaled);
}

// Values up to 1.5 saturate and are counted; +1.0 itself is full scale and
// becomes 32767 uncounted.
TEST_F(Conversion, FloatsBeyondFullScaleSaturateAndAreCounted) {
    std::vector<double> values;
    int beyond = 0;
    for (int i = 0; i < 4800; ++i) {
        const double x = static_cast<float>(1.5 * std::sin(0.01 * i));  // as the file holds it
        values.push_back(x);
        beyond += std::fabs(x) > 1.0;
    }
    values.insert(values.end(), {1.0, -1.0, 0.5, -0.25});
    write_floats(dir / "loud.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, values);
    write_text(dir / "flat.toml", FLAT);
    const ToolRun run = tolvane({"render", "flat.toml", "loud.wav", "-o", "out.wav"});
    ASSERT_EQ(run.status, 0) << run.err;

    const Audio rendered = read_audio(dir / "out.wav");
    ASSERT_EQ(rendered.samples.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(rendered.samples[i], expected_sample(values[i])) << "sample " << i;
    }
    ASSERT_GT(beyond, 1000);
    char count[16];
    std::snprintf(count, sizeof count, "%d,%03d", beyond / 1000, beyond % 1000);
    EXPECT_NE(run.err.find(std::string("warning: loud.wav: ") + count +
                           " input samples beyond full scale were clipped before equalising"),
              std::string::npos)
        << run.err;
}

// A 24- or 32-bit value between two 16-bit steps goes to the nearer one, a
// value halfway to the even one: never toward minus infinity.
TEST_F(Conversion, WideIntegersRoundToTheNearestStep) {
    // 32-bit left-aligned values: a 16-bit step is 65536 of them.
    const int32_t step = 65536;
    const std::vector<int32_t> offsets = {0x0100, 0x7f00, 0x8000, 0x8100, 0xff00};
    std::vector<int32_t> values;
    for (int32_t k : {-32768, -1001, -1, 0, 1, 1000, 32766}) {
        for (int32_t offset : offsets) {
            values.push_back(k * step + offset);
        }
    }
    values.push_back(32767 * step + 0x8000);  // halfway past the top: saturates
    for (const int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_24, SF_FORMAT_WAV | SF_FORMAT_PCM_32}) {
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 1;
        info.format = format;
        SNDFILE *file = sf_open((dir / "wide.wav").c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
        sf_writef_int(file, values.data(), static_cast<sf_count_t>(values.size()));
        sf_close(file);
        write_text(dir / "flat.toml", FLAT);
        const ToolRun run =
            tolvane({"render", "flat.toml", "wide.wav", "-o", "out.wav", "--force"});
        ASSERT_EQ(run.status, 0) << run.err;
        const Audio rendered = read_audio(dir / "out.wav");
        ASSERT_EQ(rendered.samples.size(), values.size());
        for (size_t i = 0; i < values.size(); ++i) {
            // Both widths hold these values exactly: their low 8 bits are 0.
            EXPECT_EQ(rendered.samples[i], expected_sample(values[i] / 2147483648.0))
                << std::hex << "format " << format << ", value " << values[i];
        }
    }
}

// What an audio editor exports at -6 dBFS renders at -6 dBFS.
TEST_F(Conversion, FloatAtMinusSixDecibelsRendersAtMinusSix) {
    std::vector<double> values;
    for (int i = 0; i < 48000; ++i) {
        const double x = 0.5 * std::sin(2 * M_PI * 440.0 * i / 48000.0);
        values.insert(values.end(), {x, -x});
    }
    write_floats(dir / "tone.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, values);
    write_text(dir / "flat.toml", FLAT);
    const ToolRun run = tolvane({"render", "flat.toml", "tone.wav", "-o", "out.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("WAV, 32 bit float, converted to 16-bit, peak -6.0 dBFS, 0 saturated"),
              std::string::npos)
        << run.out;
}

}  // namespace
}  // namespace tolvane::tools_test
