// `tolvane response` computes the curve from the designed coefficients; here
// it is checked against the response measured by rendering an impulse
// through the real provider.
#include <complex>
#include <cmath>
#include <sstream>

#include "tests/tools/tool_fixture.h"

namespace tolvane::tools_test {
namespace {

struct Curve {
    std::vector<double> hz, preset0, preset1, mix;
};

Curve read_csv(const std::string &text) {
    Curve curve;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "frequency_hz,preset0_db,preset1_db,mix_db");
    while (std::getline(in, line)) {
        double f, p0, p1, m;
        char comma;
        std::istringstream row(line);
        row >> f >> comma >> p0 >> comma >> p1 >> comma >> m;
        EXPECT_TRUE(row) << line;
        curve.hz.push_back(f);
        curve.preset0.push_back(p0);
        curve.preset1.push_back(p1);
        curve.mix.push_back(m);
    }
    return curve;
}

// The measurement: an impulse in each channel of each segment, each followed
// by silence while its response dies away, riding on a known noise that is
// also rendered alone and subtracted. The noise makes the 16-bit rounding of
// every output sample random rather than always toward zero, so a response's
// long quiet tail is not lost; summing the segments lifts the measurement
// further above that rounding than one impulse could.
constexpr int SEGMENTS = 32;
constexpr int NOISE = 200;  // peak of the input noise, in steps

int64_t segment_length(int rate) { return rate / 16; }

Audio excitation(int rate, int16_t height, bool noise) {
    const int64_t length = segment_length(rate);
    Audio audio{rate, 2, std::vector<int16_t>(static_cast<size_t>(2 * SEGMENTS * length)),
                SF_FORMAT_WAV | SF_FORMAT_PCM_16};
    uint32_t state = 2024;
    for (size_t i = 0; i < audio.samples.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        const int dither = noise ? static_cast<int>(state >> 16) % (2 * NOISE + 1) - NOISE : 0;
        const bool starts_segment = (i / 2) % static_cast<size_t>(length) == 0;
        audio.samples[i] = static_cast<int16_t>(dither + (starts_segment ? height : 0));
    }
    return audio;
}

// The level at `hz` in dB: what the impulses added to the noise's output,
// all segments and both channels summed, over the sum of their heights.
double measured_db(const std::vector<double> &summed, int rate, double hz, double heights) {
    const std::complex<double> step = std::polar(1.0, -2.0 * M_PI * hz / rate);
    std::complex<double> phasor = 1.0, sum = 0.0;
    for (double y : summed) {
        sum += y * phasor;
        phasor *= step;
    }
    return 20.0 * std::log10(std::abs(sum) / heights);
}

int peak(const Audio &audio) {
    int largest = 0;
    for (int16_t s : audio.samples) {
        largest = std::max(largest, std::abs(static_cast<int>(s)));
    }
    return largest;
}

struct ResponseCase {
    const char *example;  // a file of examples/, or "clamped" for the text below
    int rate;
};

// Values the provider clamps: the curve must be that of the stored values.
const char CLAMPED[] = R"(Lerp = 1.5
"0 Type 0" = "peaking"
"0 Freq 0" = 1000.0
"0 Q 0" = 3.0
"0 Gain 0" = 45.0
"0 Enable 0" = true
"0 Type 1" = "highshelf"
"0 Freq 1" = 30000.0
"0 Gain 1" = -50.0
"0 Enable 1" = true
)";

const ResponseCase RESPONSE_CASES[] = {
    {"telephone-to-full", 44100}, {"telephone-to-full", 48000}, {"warm-to-bright", 44100},
    {"warm-to-bright", 48000},    {"underwater", 22050},        {"underwater", 96000},
    {"clamped", 48000},
};

void PrintTo(const ResponseCase &c, std::ostream *os) {
    *os << c.example << " at " << c.rate << " Hz";
}

class ResponseMatchesImpulse : public ToolTest, public testing::WithParamInterface<ResponseCase> {
protected:
    Audio render(const fs::path &settings, const Audio &input, const std::string &sweep) {
        write_audio(dir / "in.wav", input);
        std::vector<std::string> args = {"render", settings.string(), "in.wav",
                                         "-o", "out.wav", "--force"};
        if (!sweep.empty()) {
            args.insert(args.end(), {"--lerp-sweep", sweep});
        }
        const ToolRun run = tolvane(args);
        EXPECT_EQ(run.status, 0) << run.err;
        return read_audio(dir / "out.wav");
    }

    // Renders the measurement with Lerp held as the sweep says (or as the
    // settings say), the impulses as high as they go without saturating.
    // Returns the summed response of all impulses and their height.
    std::pair<std::vector<double>, double> measure(const fs::path &settings, int rate,
                                                   const std::string &sweep) {
        const int probe = peak(render(settings, excitation(rate, 1024, false), sweep));
        const auto height =
            static_cast<int16_t>(std::min(32767.0 - NOISE, 1024.0 * 28000.0 / std::max(probe, 1)));
        const Audio with = render(settings, excitation(rate, height, true), sweep);
        const Audio without = render(settings, excitation(rate, 0, true), sweep);
        EXPECT_LT(std::max(peak(with), peak(without)), 32767) << "the measurement saturated";

        const int64_t length = segment_length(rate);
        std::vector<double> summed(static_cast<size_t>(length));
        for (size_t i = 0; i < with.samples.size() && i < without.samples.size(); ++i) {
            summed[(i / 2) % static_cast<size_t>(length)] += with.samples[i] - without.samples[i];
        }
        return {summed, height};
    }
};

TEST_P(ResponseMatchesImpulse, WithinATenthOfADecibel) {
    const ResponseCase &c = GetParam();
    fs::path settings = fs::path(TOLVANE_EXAMPLES) / (std::string(c.example) + ".toml");
    if (std::string(c.example) == "clamped") {
        settings = dir / "clamped.toml";
        write_text(settings, CLAMPED);
    }
    const ToolRun run = tolvane({"response", settings.string(), "--rate", std::to_string(c.rate),
                             "--csv", "curve.csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Curve curve = read_csv(read_bytes(dir / "curve.csv"));
    ASSERT_FALSE(curve.hz.empty());
    EXPECT_DOUBLE_EQ(curve.hz.front(), 10.0);
    EXPECT_DOUBLE_EQ(curve.hz.back(), c.rate / 2.0);

    // Lerp 1 plays preset 0 alone and Lerp 0 preset 1 alone; the settings'
    // own Lerp plays the mix.
    const std::pair<const char *, const std::vector<double> *> columns[] = {
        {"1:1", &curve.preset0}, {"0:0", &curve.preset1}, {"", &curve.mix}};
    for (const auto &[sweep, computed] : columns) {
        const auto [summed, height] = measure(settings, c.rate, sweep);
        // One step of the output, relative to the impulse, is the 16-bit
        // floor; compare only well above it.
        const double floor_db = 20.0 * std::log10(1.0 / height);
        size_t compared = 0;
        for (size_t i = 0; i < curve.hz.size(); ++i) {
            const double measured =
                measured_db(summed, c.rate, curve.hz[i], 2.0 * SEGMENTS * height);
            if (measured > floor_db + 60.0) {
                ++compared;
                EXPECT_NEAR((*computed)[i], measured, 0.1)
                    << c.example << " Lerp " << (*sweep ? sweep : "as set") << " at "
                    << curve.hz[i] << " Hz";
            }
        }
        // The comparison must have covered a real part of the band.
        EXPECT_GT(compared, curve.hz.size() / 4) << c.example << " " << sweep;
    }
}

INSTANTIATE_TEST_SUITE_P(Examples, ResponseMatchesImpulse, testing::ValuesIn(RESPONSE_CASES),
                         [](const auto &info) {
                             return test_name(std::string(info.param.example) + "_" +
                                              std::to_string(info.param.rate));
                         });

using Response = ToolTest;

TEST_F(Response, PlotIsAPngAndCsvGoesToStdoutWithoutFiles) {
    const std::string settings = std::string(TOLVANE_EXAMPLES) + "/warm-to-bright.toml";
    const ToolRun plot = tolvane({"response", settings, "-o", "plot.png"});
    ASSERT_EQ(plot.status, 0) << plot.err;
    EXPECT_EQ(read_bytes(dir / "plot.png").substr(0, 8), "\x89PNG\r\n\x1a\n");

    const ToolRun numbers = tolvane({"response", settings, "--points", "50"});
    ASSERT_EQ(numbers.status, 0) << numbers.err;
    EXPECT_EQ(read_csv(numbers.out).hz.size(), 50u);
}

}  // namespace
}  // namespace tolvane::tools_test
