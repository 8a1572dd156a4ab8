// Band design: coefficients to the bit, the response they give, the limit
// responses at the ends of the band, and stability over the whole range.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <random>

#include "eq/eq_band.h"
#include "tests/reference/plain_eq.h"

namespace {

EqBand make_band(EqFilterType type, float freq, float q, float gain) {
    EqBand band;
    std::memset(&band, 0x7f, sizeof band);  // garbage history, to see it cleared
    band.freq = freq;
    band.q = q;
    band.gain = gain;
    band.type = type;
    band.enabled = 1;
    return band;
}

EqBand designed(EqFilterType type, float freq, float q, float gain, float rate) {
    EqBand band = make_band(type, freq, q, gain);
    eq_design_band(&band, rate);
    return band;
}

void expect_history_cleared(const EqBand &band) {
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(std::bit_cast<uint32_t>(band.x1[c]), 0u);
        EXPECT_EQ(std::bit_cast<uint32_t>(band.x2[c]), 0u);
        EXPECT_EQ(std::bit_cast<uint32_t>(band.y1[c]), 0u);
        EXPECT_EQ(std::bit_cast<uint32_t>(band.y2[c]), 0u);
    }
}

// |H| in dB at frequency hz.
double response_db(const EqBand &b, double hz, double rate) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * hz / rate);
    const std::complex<double> z2 = z1 * z1;
    const std::complex<double> h = (double(b.b0) + double(b.b1) * z1 + double(b.b2) * z2) /
                                   (1.0 + double(b.a1) * z1 + double(b.a2) * z2);
    return 20.0 * std::log10(std::abs(h));
}

// Both roots of z^2 + a1 z + a2 strictly inside the unit circle.
bool poles_inside(const EqBand &b) {
    return std::fabs(double(b.a2)) < 1.0 && std::fabs(double(b.a1)) < 1.0 + double(b.a2);
}

bool no_feedback(const EqBand &b) {
    return b.b1 == 0.0f && b.b2 == 0.0f && b.a1 == 0.0f && b.a2 == 0.0f;
}

TEST(Design, WorkedExamplesToSixDigits) {
    struct Case {
        EqFilterType type;
        float freq, q, gain, rate;
        double b0, b1, b2, a1, a2;
    } cases[] = {
        {EQ_LOWPASS, 20000, 1, 1, 48000, 0.746410, 1.49282, 0.746410, 1.38564, 0.600000},
        {EQ_LOWPASS, 20000, 1, 1, 44100, 0.855638, 1.71128, 0.855638, 1.67425, 0.748297},
        {EQ_PEAKING, 1000, 0.7071f, 6, 44100, 1.06605, -1.84835, 0.801220, -1.84835, 0.867271},
        {EQ_LOWSHELF, 100, 0.7071f, 6, 44100, 1.00350, -1.98298, 0.979757, -1.98305, 0.983189},
        {EQ_HIGHSHELF, 10000, 0.7071f, -6, 44100, 0.687392, 0.0210448, 0.118049, -0.369295,
         0.195781},
    };
    for (const Case &c : cases) {
        const EqBand b = designed(c.type, c.freq, c.q, c.gain, c.rate);
        SCOPED_TRACE(testing::Message() << "type " << c.type << " at " << c.freq << " Hz");
        EXPECT_NEAR(b.b0, c.b0, 5e-6 * std::fabs(c.b0) + 1e-9);
        EXPECT_NEAR(b.b1, c.b1, 5e-6 * std::fabs(c.b1) + 1e-9);
        EXPECT_NEAR(b.b2, c.b2, 5e-6 * std::fabs(c.b2) + 1e-9);
        EXPECT_NEAR(b.a1, c.a1, 5e-6 * std::fabs(c.a1) + 1e-9);
        EXPECT_NEAR(b.a2, c.a2, 5e-6 * std::fabs(c.a2) + 1e-9);
    }
}

// Worked out by tests/reference/design_vectors.py, in Python's own arithmetic.
TEST(Design, ExactBitsOfIndependentlyWorkedCases) {
    struct Case {
        EqFilterType type;
        float freq, q, gain, rate;
        uint32_t bits[5];  // b0 b1 b2 a1 a2
    } cases[] = {
        // clang-format off
    {EQ_LOWPASS, 20000.0f, 1.0f, 1.0f, 48000.0f, {0x3f3f14bd, 0x3fbf14bd, 0x3f3f14bd, 0x3fb15cac, 0x3f19999a}},
    {EQ_LOWPASS, 20000.0f, 1.0f, 1.0f, 44100.0f, {0x3f5b0b13, 0x3fdb0b13, 0x3f5b0b13, 0x3fd64df3, 0x3f3f9068}},
    {EQ_PEAKING, 1000.0f, 0.707099974f, 6.0f, 44100.0f, {0x3f887456, 0xbfec96be, 0x3f4d1cc4, 0xbfec96be, 0x3f5e0571}},
    {EQ_LOWSHELF, 100.0f, 0.707099974f, 6.0f, 44100.0f, {0x3f8072c9, 0xbffdd227, 0x3f7ad15e, 0xbffdd47a, 0x3f7bb24c}},
    {EQ_HIGHSHELF, 10000.0f, 0.707099974f, -6.0f, 44100.0f, {0x3f2ff8f0, 0x3cac6620, 0x3df1c36e, 0xbebd1440, 0x3e487ab9}},
    {EQ_HIGHPASS, 250.0f, 0.5f, 0.0f, 48000.0f, {0x3f77d2aa, 0xbff7d2aa, 0x3f77d2aa, 0xbff7c1ad, 0x3f6fc750}},
    {EQ_LOWPASS, 3000.0f, 100.0f, 0.0f, 8000.0f, {0x3f59bd67, 0x3fd9bd67, 0x3f59bd67, 0x3fb461b0, 0x3f7e323a}},
    {EQ_PEAKING, 12345.5f, 0.00999999978f, -30.0f, 96000.0f, {0x3d14f207, 0xbbddae99, 0xbcd9ae25, 0xbbddae99, 0xbf7d7e51}},
    {EQ_LOWSHELF, 19999.0f, 3.0f, 30.0f, 44100.0f, {0x41d1583e, 0x424b8b59, 0x41c8e433, 0x3fb596c7, 0x3f4fe586}},
    {EQ_HIGHSHELF, 1.0f, 0.300000012f, 12.5f, 11025.0f, {0x4086d948, 0xc106c269, 0x4086ab8c, 0xbfffa6e4, 0x3f7f4dd6}},
        // clang-format on
    };
    for (const Case &c : cases) {
        const EqBand b = designed(c.type, c.freq, c.q, c.gain, c.rate);
        const float got[5] = {b.b0, b.b1, b.b2, b.a1, b.a2};
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(std::bit_cast<uint32_t>(got[i]), c.bits[i])
                << "type " << c.type << " at " << c.freq << " Hz, coefficient " << i;
        }
        expect_history_cleared(b);
    }
}

// The response at the points that define each shape, so a slipped sign or
// factor in a formula shows however the rounding falls.
TEST(Design, ResponseAtTheDefiningFrequencies) {
    const double rate = 48000;
    struct Case {
        EqFilterType type;
        float freq, q, gain;
        double at_hz, want_db;
    } cases[] = {
        {EQ_LOWPASS, 1000, 0.7071f, 0, 0, 0.0},           // passes DC
        {EQ_LOWPASS, 1000, 0.7071f, 0, 1000, -3.0103},    // -3 dB corner at Q 1/sqrt 2
        {EQ_LOWPASS, 1000, 4.0f, 0, 1000, 12.0412},       // gain Q at the corner
        {EQ_HIGHPASS, 1000, 0.7071f, 0, 24000, 0.0},      // passes Nyquist
        {EQ_HIGHPASS, 1000, 0.7071f, 0, 1000, -3.0103},
        {EQ_PEAKING, 2000, 1.0f, 9, 2000, 9.0},           // full gain at the centre
        {EQ_PEAKING, 2000, 1.0f, -12, 2000, -12.0},
        {EQ_PEAKING, 2000, 1.0f, 9, 0, 0.0},              // unity away from it
        {EQ_LOWSHELF, 300, 0.7071f, 6, 0, 6.0},           // plateau below
        {EQ_LOWSHELF, 300, 0.7071f, 6, 24000, 0.0},
        {EQ_LOWSHELF, 300, 0.7071f, 6, 300, 3.0},         // half the gain at the corner
        {EQ_HIGHSHELF, 5000, 0.7071f, -8, 24000, -8.0},   // plateau above
        {EQ_HIGHSHELF, 5000, 0.7071f, -8, 0, 0.0},
        {EQ_HIGHSHELF, 5000, 0.7071f, -8, 5000, -4.0},
    };
    for (const Case &c : cases) {
        const EqBand b = designed(c.type, c.freq, c.q, c.gain, float(rate));
        EXPECT_NEAR(response_db(b, c.at_hz, rate), c.want_db, 0.01)
            << "type " << c.type << " " << c.freq << " Hz, at " << c.at_hz << " Hz";
    }
}

TEST(Design, ShapeIdentitiesOverRandomParameters) {
    std::mt19937 rng(20261210);
    std::uniform_real_distribution<float> freq(1.0f, 20000.0f), q(0.01f, 100.0f),
        gain(-30.0f, 30.0f);
    for (int i = 0; i < 20000; ++i) {
        const float f = freq(rng), qq = q(rng), g = gain(rng);
        const EqBand peak = designed(EQ_PEAKING, f, qq, g, 96000);
        ASSERT_EQ(std::bit_cast<uint32_t>(peak.b1), std::bit_cast<uint32_t>(peak.a1))
            << "peaking b1 == a1 at " << f << " Hz, Q " << qq << ", " << g << " dB";
        for (EqFilterType type : {EQ_LOWSHELF, EQ_HIGHSHELF, EQ_PEAKING}) {
            const EqBand unity = designed(type, f, qq, 0.0f, 96000);
            ASSERT_TRUE(unity.b0 == 1.0f && unity.b1 == unity.a1 && unity.b2 == unity.a2)
                << "gain 0 is unity: type " << type << " at " << f << " Hz, Q " << qq;
        }
        for (EqFilterType type : {EQ_LOWPASS, EQ_HIGHPASS}) {
            const EqBand a = designed(type, f, qq, g, 96000);
            const EqBand b = designed(type, f, qq, -g / 2, 96000);
            ASSERT_EQ(std::memcmp(&a.b0, &b.b0, 5 * sizeof(float)), 0)
                << "pass filters ignore gain: type " << type << " at " << f << " Hz";
        }
    }
}

// At the ends of the band and for rates or types that cannot be designed,
// the band is a plain gain: no feedback, nothing to grow or drift.
TEST(Design, LimitResponsesWithoutFeedback) {
    const float g6 = std::bit_cast<float>(0x3fff64c2u);  // float(A*A), A = 10^(6/40)
    struct Case {
        EqFilterType type;
        float freq, gain, rate;
        float b0;
    } cases[] = {
        {EQ_LOWPASS, 0, 6, 48000, 0.0f},       {EQ_LOWPASS, 24000, 6, 48000, 1.0f},
        {EQ_HIGHPASS, 0, 6, 48000, 1.0f},      {EQ_HIGHPASS, 24000, 6, 48000, 0.0f},
        {EQ_LOWSHELF, 0, 6, 48000, 1.0f},      {EQ_LOWSHELF, 24000, 6, 48000, g6},
        {EQ_HIGHSHELF, 0, 6, 48000, g6},       {EQ_HIGHSHELF, 24000, 6, 48000, 1.0f},
        {EQ_PEAKING, 0, 6, 48000, 1.0f},       {EQ_PEAKING, 24000, 6, 48000, 1.0f},
        // The 20000 Hz default at rates whose Nyquist lies below it.
        {EQ_LOWPASS, 20000, 1, 22050, 1.0f},   {EQ_LOWSHELF, 20000, 0, 32000, 1.0f},
        {EQ_HIGHSHELF, 20000, -6, 22050, 1.0f},
        // Rates that cannot be designed for: pass-through whatever the shape.
        {EQ_LOWPASS, 1000, 6, 0, 1.0f},        {EQ_HIGHPASS, 1000, 6, -44100, 1.0f},
        {EQ_PEAKING, 1000, 6, INFINITY, 1.0f}, {EQ_LOWSHELF, 1000, 6, NAN, 1.0f},
        {EQ_HIGHSHELF, 0, 6, 0, 1.0f},
    };
    for (const Case &c : cases) {
        const EqBand b = designed(c.type, c.freq, 1.0f, c.gain, c.rate);
        SCOPED_TRACE(testing::Message() << "type " << c.type << " at " << c.freq << " Hz, rate "
                                        << c.rate);
        EXPECT_EQ(std::bit_cast<uint32_t>(b.b0), std::bit_cast<uint32_t>(c.b0));
        EXPECT_TRUE(no_feedback(b));
        expect_history_cleared(b);
    }
    // Just below Nyquist the formulas still hold.
    EXPECT_FALSE(no_feedback(designed(EQ_LOWPASS, 23999.0f, 1.0f, 0.0f, 48000)));
    // A type outside the five shapes is a pass-through.
    for (int32_t type : {-1, 5, 1000}) {
        EqBand b = make_band(EQ_LOWPASS, 1000, 1, 6);
        b.type = type;
        eq_design_band(&b, 48000);
        EXPECT_EQ(b.b0, 1.0f) << type;
        EXPECT_TRUE(no_feedback(b)) << type;
        expect_history_cleared(b);
        EXPECT_EQ(b.type, type) << "the design never changes parameters";
    }
}

TEST(Design, EveryDesignedBandIsStable) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_int_distribution<int> shape(EQ_LOWPASS, EQ_PEAKING);
    for (float rate : {8000.0f, 11025.0f, 22050.0f, 32000.0f, 44100.0f, 48000.0f, 96000.0f}) {
        for (int i = 0; i < 20000; ++i) {
            // Half linear, half logarithmic in frequency and Q, to reach both ends.
            const bool log_scale = i % 2 == 1;
            const float freq = log_scale ? 20000.0f * std::pow(10.0f, -6.0f * unit(rng))
                                         : 20000.0f * unit(rng);
            const float q = log_scale ? 0.01f * std::pow(10.0f, 4.0f * unit(rng))
                                      : 0.01f + 99.99f * unit(rng);
            const float gain = -30.0f + 60.0f * unit(rng);
            const auto type = static_cast<EqFilterType>(shape(rng));
            const EqBand b = designed(type, freq, q, gain, rate);
            ASSERT_TRUE(std::isfinite(b.b0) && std::isfinite(b.b1) && std::isfinite(b.b2))
                << "type " << type << " " << freq << " Hz Q " << q << " at " << rate;
            ASSERT_TRUE(poles_inside(b) || no_feedback(b))
                << "type " << type << " " << freq << " Hz Q " << q << " " << gain << " dB at "
                << rate << ": a1 " << b.a1 << " a2 " << b.a2;
        }
    }
}

TEST(Design, MatchesThePlainImplementationBitForBit) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const float rates[] = {1.0f, 8000.0f, 22050.0f, 44100.0f, 48000.0f, 192000.0f, 0.0f, -1.0f};
    const float edges[] = {0.0f, 1e-30f, 0.01f, 1.0f, 20000.0f, -0.0f};
    for (int i = 0; i < 100000; ++i) {
        EqBand band = make_band(static_cast<EqFilterType>(i % 5),
                                i % 17 == 0 ? edges[i % 6] : 20000.0f * unit(rng),
                                0.01f + 99.99f * unit(rng) * unit(rng), -30.0f + 60.0f * unit(rng));
        if (i % 101 == 0) {
            band.type = (i % 3) - 1 + 5 * (i % 2);  // -1, 0 or 1 plus 0 or 5
        }
        const float rate = rates[i % 8];
        EqBand ours = band, theirs = band;
        eq_design_band(&ours, rate);
        plain::design(theirs, rate);
        ASSERT_EQ(std::memcmp(&ours, &theirs, sizeof ours), 0)
            << "type " << band.type << " " << band.freq << " Hz Q " << band.q << " "
            << band.gain << " dB at " << rate;
    }
}

}  // namespace
