// The 31 sample properties through the loaded provider: where each token
// lands, clamping, the change test and what a change redesigns.
#include <climits>
#include <cmath>

#include "tests/engine_fixture.h"
#include "tests/reference/plain_eq.h"

using namespace engine_test;

namespace {

void *field_of(EqSampleState &state, int32_t token) {
    if (token == TOKEN_LERP) {
        return &state.lerp;
    }
    EqBand &band = state.bands[(token - 4) / 5];
    void *fields[5] = {&band.freq, &band.q, &band.gain, &band.type, &band.enabled};
    return fields[(token - 4) % 5];
}

// Redesigned: the history is cleared and the coefficients are the design at
// the state's rate.
bool redesigned(const EqBand &band, float rate) {
    EqBand want = band;
    plain::design(want, rate);
    return same_bytes(&want, &band, sizeof band);
}

TEST(Property, TokensOutsideThreeToThirtyThreeAreRefused) {
    Voice voice;
    for (int32_t token : {0, 1, 2, 34, -1, -100, INT_MIN, INT_MAX}) {
        const EqSampleState before = voice.st();
        int32_t slots[3] = {11, 22, 33};
        EXPECT_EQ(fn().sample_property(voice.state(), token, &slots[0], &slots[1], &slots[2]), 0)
            << token;
        EXPECT_EQ(slots[0], 11);
        EXPECT_EQ(slots[2], 33);
        EXPECT_TRUE(same_bytes(&before, &voice.st(), sizeof before)) << token;
    }
}

TEST(Property, EveryTokenReachesItsOwnField) {
    for (int32_t token = 3; token <= 33; ++token) {
        Voice voice;
        EqSampleState before = voice.st();
        const bool is_int = token > 3 && (token - 4) % 5 >= PARAM_TYPE;
        const float new_float = token == 3 ? 0.25f : (token - 4) % 5 == PARAM_GAIN ? -3.0f : 50.0f;
        const int32_t new_int = 3;  // a type, or a true Enable
        const void *slot = is_int ? static_cast<const void *>(&new_int) : &new_float;
        int32_t got_before = 0, got_after = 0;
        EXPECT_EQ(fn().sample_property(voice.state(), token, &got_before, slot, &got_after), 1);
        EXPECT_TRUE(same_bytes(&got_before, field_of(before, token), 4))
            << token;
        EXPECT_TRUE(same_bytes(&got_after, field_of(voice.st(), token), 4)) << token;
        // Only the addressed field and, for a redesign, its own band changed.
        EqSampleState expected = before;
        const int32_t stored = is_int && (token - 4) % 5 == PARAM_ENABLE ? 1 : new_int;
        std::memcpy(field_of(expected, token), is_int ? static_cast<const void *>(&stored) : slot,
                    4);
        if (token > 3 && (token - 4) % 5 <= PARAM_TYPE) {
            plain::design(expected.bands[(token - 4) / 5], expected.rate);
        }
        EXPECT_TRUE(same_bytes(&expected, &voice.st(), sizeof expected)) << "token " << token;
    }
}

TEST(Property, ClampingAndTheChangeTest) {
    const float q_floor = 0.01f;
    struct Case {
        int32_t token;  // preset 1, band 2 unless Lerp
        float initial, given, stored;
        bool redesign;
    } cases[] = {
        {TOKEN_LERP, 0.5f, 1.5f, 1.0f, false},
        {TOKEN_LERP, 0.5f, -0.25f, 0.0f, false},
        {TOKEN_LERP, 0.5f, 0.0f, 0.0f, false},
        {TOKEN_LERP, 0.5f, 1.0f, 1.0f, false},
        {TOKEN_LERP, 0.5f, NAN, 0.5f, false},
        {TOKEN_BAND(1, 2, PARAM_FREQ), 1000, 25000, 20000, true},
        {TOKEN_BAND(1, 2, PARAM_FREQ), 1000, -5, 0, true},
        {TOKEN_BAND(1, 2, PARAM_FREQ), 1000, 20000, 20000, true},
        {TOKEN_BAND(1, 2, PARAM_FREQ), 20000, 25000, 20000, false},  // equal after the clamp
        {TOKEN_BAND(1, 2, PARAM_FREQ), 1000, 1000, 1000, false},
        {TOKEN_BAND(1, 2, PARAM_FREQ), 1000, INFINITY, 20000, true},
        {TOKEN_BAND(1, 2, PARAM_FREQ), 1000, NAN, 1000, false},
        {TOKEN_BAND(1, 2, PARAM_Q), 1, 0, q_floor, true},
        {TOKEN_BAND(1, 2, PARAM_Q), q_floor, q_floor, q_floor, false},
        {TOKEN_BAND(1, 2, PARAM_Q), 1, 250, 100, true},
        {TOKEN_BAND(1, 2, PARAM_Q), 1, -INFINITY, q_floor, true},
        {TOKEN_BAND(1, 2, PARAM_Q), 1, NAN, 1, false},
        {TOKEN_BAND(1, 2, PARAM_GAIN), 1, 45, 30, true},
        {TOKEN_BAND(1, 2, PARAM_GAIN), 1, -45, -30, true},
        {TOKEN_BAND(1, 2, PARAM_GAIN), 30, 45, 30, false},
        {TOKEN_BAND(1, 2, PARAM_GAIN), 1, NAN, 1, false},
    };
    for (const Case &c : cases) {
        Voice voice;
        voice.set_int(TOKEN_BAND(1, 2, PARAM_TYPE), EQ_PEAKING);
        voice.set_float(c.token, c.initial);
        fill_history(voice.band(1, 2), 5);
        const EqBand band_before = voice.band(1, 2);
        float before = -1, after = -1;
        EXPECT_EQ(fn().sample_property(voice.state(), c.token, &before, &c.given, &after), 1);
        SCOPED_TRACE(testing::Message() << "token " << c.token << " from " << c.initial
                                        << " given " << c.given);
        EXPECT_EQ(before, c.initial);
        EXPECT_EQ(std::bit_cast<uint32_t>(after), std::bit_cast<uint32_t>(c.stored));
        EXPECT_EQ(std::bit_cast<uint32_t>(*static_cast<float *>(field_of(voice.st(), c.token))),
                  std::bit_cast<uint32_t>(c.stored));
        if (c.redesign) {
            EXPECT_TRUE(redesigned(voice.band(1, 2), voice.st().rate));
        } else {
            EXPECT_TRUE(same_bytes(&band_before.b0, &voice.band(1, 2).b0,
                                   sizeof(EqBand) - offsetof(EqBand, b0)))
                << "coefficients and history untouched";
        }
    }
}

TEST(Property, TypeAndEnableAreIntegers) {
    struct Case {
        int32_t param, initial, given, stored;
        bool redesign;
    } cases[] = {
        {PARAM_TYPE, EQ_LOWPASS, 7, EQ_PEAKING, true},
        {PARAM_TYPE, EQ_PEAKING, -1, EQ_LOWPASS, true},
        {PARAM_TYPE, EQ_PEAKING, INT_MIN, EQ_LOWPASS, true},
        {PARAM_TYPE, EQ_HIGHSHELF, EQ_HIGHSHELF, EQ_HIGHSHELF, false},
        {PARAM_TYPE, EQ_PEAKING, 99, EQ_PEAKING, false},
        {PARAM_ENABLE, 0, 5, 1, false},
        {PARAM_ENABLE, 1, 0, 0, false},
        {PARAM_ENABLE, 0, -1, 1, false},
        {PARAM_ENABLE, 1, INT_MIN, 1, false},
    };
    for (const Case &c : cases) {
        Voice voice;
        const int32_t token = TOKEN_BAND(0, 1, c.param);
        voice.set_int(token, c.initial);
        fill_history(voice.band(0, 1), 2);
        const EqBand band_before = voice.band(0, 1);
        int32_t before = -7, after = -7;
        EXPECT_EQ(fn().sample_property(voice.state(), token, &before, &c.given, &after), 1);
        SCOPED_TRACE(testing::Message() << "param " << c.param << " from " << c.initial
                                        << " given " << c.given);
        EXPECT_EQ(before, c.initial);
        EXPECT_EQ(after, c.stored);
        if (c.redesign) {
            EXPECT_TRUE(redesigned(voice.band(0, 1), voice.st().rate));
        } else {
            EXPECT_TRUE(same_bytes(&band_before.b0, &voice.band(0, 1).b0,
                                   sizeof(EqBand) - offsetof(EqBand, b0)));
        }
    }
}

TEST(Property, ARedesignTouchesOnlyItsOwnBand) {
    Voice voice;
    for (int i = 0; i < 6; ++i) {
        fill_history(voice.st().bands[i], float(i));
    }
    const EqSampleState before = voice.st();
    voice.set_float(TOKEN_BAND(0, 2, PARAM_FREQ), 440.0f);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(same_bytes(&before.bands[i], &voice.st().bands[i], sizeof(EqBand)), i != 2) << i;
    }
    EXPECT_TRUE(history_is_zero(voice.st().bands[2]));
}

TEST(Property, NullSlotsAndSharedSlots) {
    Voice voice;
    fill_history(voice.band(0, 0), 1);
    const EqSampleState before = voice.st();
    for (int32_t token : {3, 4, 7, 8, 33}) {
        EXPECT_EQ(fn().sample_property(voice.state(), token, nullptr, nullptr, nullptr), 1);
        // before and new_value in one slot: the old value is read back as new.
        float slot = 123.0f;
        EXPECT_EQ(fn().sample_property(voice.state(), token, &slot, &slot, nullptr), 1);
    }
    EXPECT_TRUE(same_bytes(&before, &voice.st(), sizeof before));
    // A new value with no before or after slot is still stored.
    const float freq = 250.0f;
    EXPECT_EQ(fn().sample_property(voice.state(), 4, nullptr, &freq, nullptr), 1);
    EXPECT_EQ(voice.band(0, 0).freq, 250.0f);
}

// A change after a block at another rate than the driver's is designed for the
// rate the bands run at, not the driver's.
TEST(Property, RedesignUsesTheRateTheBandsRunAt) {
    Voice voice(48000);
    const int16_t in[2] = {0, 0};
    int16_t out[2];
    voice.process(in, out, 1, 32000, true);
    voice.host_driver().set_rate(96000);
    voice.set_int(TOKEN_BAND(0, 0, PARAM_TYPE), EQ_PEAKING);
    voice.set_float(TOKEN_BAND(0, 0, PARAM_FREQ), 1000.0f);
    EXPECT_TRUE(redesigned(voice.band(0, 0), 32000.0f));
    EXPECT_EQ(voice.st().rate, 32000.0f);
}

}  // namespace
