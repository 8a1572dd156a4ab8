// No call reads or writes a byte beyond what it was given: every record and
// buffer sits flush against memory that traps on access, on one side and
// then the other, and the rest of its page must keep its canary bytes.
#include <numeric>

#include "tests/engine_fixture.h"
#include "tests/guarded_memory.h"

using namespace engine_test;

namespace {

constexpr GuardedMemory::Side SIDES[] = {GuardedMemory::FLUSH_END, GuardedMemory::FLUSH_START};

struct GuardedVoice {
    GuardedMemory host_driver, driver, state;

    GuardedVoice(GuardedMemory::Side side, int32_t rate)
        // The provider reads only the rate: the host record ends right behind it.
        : host_driver(HOST_DRIVER_RATE_OFFSET + 4, side),
          driver(static_cast<size_t>(provider().driver_state_size()), side),
          state(static_cast<size_t>(provider().sample_state_size()), side) {
        std::memcpy(host_driver.data() + HOST_DRIVER_RATE_OFFSET, &rate, 4);
        EXPECT_EQ(fn().open_driver(1, 2, 3, host_driver.data(), driver.data()), driver.data());
        EXPECT_EQ(fn().open_sample(driver.data(), 9, state.data()), state.data());
    }

    bool intact() const {
        return host_driver.canaries_intact() && driver.canaries_intact() && state.canaries_intact();
    }
};

TEST(Guards, BlocksTouchOnlyTheirFramesAndTheState) {
    for (auto side : SIDES) {
        for (int32_t frames : {0, 1, 7, 1024}) {
            for (bool stereo : {false, true}) {
                for (bool in_place : {false, true}) {
                    GuardedVoice voice(side, 44100);
                    auto *state = voice.state.data();
                    for (int b = 0; b < 3; ++b) {
                        int32_t on = 1, type = EQ_PEAKING;
                        float freq = 500.0f * (b + 1);
                        fn().sample_property(state, TOKEN_BAND(0, b, PARAM_TYPE), nullptr, &type, nullptr);
                        fn().sample_property(state, TOKEN_BAND(0, b, PARAM_FREQ), nullptr, &freq, nullptr);
                        fn().sample_property(state, TOKEN_BAND(0, b, PARAM_ENABLE), nullptr, &on, nullptr);
                    }
                    const size_t n = static_cast<size_t>(frames) * (stereo ? 2 : 1);
                    const size_t bytes = std::max<size_t>(n, 1) * sizeof(int16_t);
                    GuardedMemory source(bytes, side), destination(bytes, side);
                    std::iota(source.as<int16_t>(), source.as<int16_t>() + n, int16_t{-500});
                    int16_t *out = in_place ? source.as<int16_t>() : destination.as<int16_t>();
                    // Twice: at a new rate (redesign) and at the same rate.
                    fn().sample_process(state, source.as<int16_t>(), out, frames, 48000, stereo);
                    fn().sample_process(state, source.as<int16_t>(), out, frames, 48000, stereo);
                    EXPECT_TRUE(voice.intact() && source.canaries_intact() &&
                                destination.canaries_intact())
                        << frames << " frames, stereo " << stereo << ", in place " << in_place;
                }
            }
        }
    }
}

TEST(Guards, PropertiesTouchOnlyTheirFourByteSlots) {
    for (auto side : SIDES) {
        GuardedVoice voice(side, 48000);
        for (int32_t token = -1; token <= 34; ++token) {
            GuardedMemory before(4, side), value(4, side), after(4, side);
            const float v = 123.0f;
            std::memcpy(value.data(), &v, 4);
            fn().sample_property(voice.state.data(), token, before.data(), value.data(), after.data());
            EXPECT_TRUE(voice.intact() && before.canaries_intact() && value.canaries_intact() &&
                        after.canaries_intact())
                << "token " << token;
        }
    }
}

TEST(Guards, ProviderPropertiesWriteOnlyTheirSlots) {
    for (auto side : SIDES) {
        for (int32_t token : {0, 1, 2, -101}) {
            GuardedMemory slot(4, side);
            EXPECT_EQ(fn().provider_property(token, slot.data(), nullptr, nullptr), 1);
            EXPECT_TRUE(slot.canaries_intact()) << token;
        }
        GuardedMemory name(sizeof(char *), side);
        EXPECT_EQ(fn().provider_property(TOKEN_NAME, name.data(), nullptr, nullptr), 1);
        EXPECT_TRUE(name.canaries_intact());
    }
}

}  // namespace
