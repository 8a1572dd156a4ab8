// Opening and closing a sample state through the loaded provider.
#include "tests/engine_fixture.h"
#include "tests/reference/plain_eq.h"

using namespace engine_test;

namespace {

// The state a fresh open must give, built without the product's code.
EqSampleState expected_defaults(void *driver, uintptr_t sample) {
    EqSampleState want;
    plain::open(want, static_cast<EqDriverState *>(driver), sample);
    return want;
}

TEST(State, OpenOverGarbageGivesExactlyTheDefaults) {
    tolvane::host::HostDriverRecord host_driver(44100);
    std::vector<uint64_t> driver(8);
    ASSERT_EQ(fn().open_driver(0, 0, 0, host_driver.bytes, driver.data()), driver.data());

    std::vector<uint64_t> memory(64);
    std::memset(memory.data(), 0xa5, memory.size() * 8);
    const uintptr_t sample = 0x5eed;
    ASSERT_EQ(fn().open_sample(driver.data(), sample, memory.data()), memory.data());

    const EqSampleState want = expected_defaults(driver.data(), sample);
    EXPECT_TRUE(same_bytes(memory.data(), &want, sizeof want));
    const auto *state = reinterpret_cast<const EqSampleState *>(memory.data());
    EXPECT_EQ(state->rate, 44100.0f);
    EXPECT_NEAR(state->bands[5].b0, 0.855638, 1e-6);
    EXPECT_NEAR(state->bands[5].a2, 0.748297, 1e-6);
    const auto *bytes = reinterpret_cast<const unsigned char *>(memory.data());
    for (size_t i = sizeof(EqSampleState); i < memory.size() * 8; ++i) {
        ASSERT_EQ(bytes[i], 0xa5) << "byte " << i << " lies past the record";
    }
}

TEST(State, NullMemoryIsOutOfMemory) {
    tolvane::host::Provider fresh(tolvane::host::default_provider_path(), true);
    tolvane::host::HostDriverRecord host_driver(48000);
    std::vector<uint64_t> driver(8);
    fresh.fn().open_driver(0, 0, 0, host_driver.bytes, driver.data());
    EXPECT_EQ(fresh.fn().open_sample(driver.data(), 1, nullptr), nullptr);
    ASSERT_NE(fresh.fn().error(), nullptr);
    EXPECT_EQ(std::memcmp(fresh.fn().error(), "Out of memory", 14), 0);
}

// Without a driver record there is no rate to read: the state opens at rate 0,
// every band passes audio through, and the first block designs at its rate.
TEST(State, MissingDriverRecordOpensAtRateZero) {
    EqDriverState no_host_driver{};
    for (void *driver : {static_cast<void *>(nullptr), static_cast<void *>(&no_host_driver)}) {
        std::vector<uint64_t> memory(64);
        ASSERT_NE(fn().open_sample(driver, 3, memory.data()), nullptr);
        auto &state = *reinterpret_cast<EqSampleState *>(memory.data());
        EXPECT_EQ(state.rate, 0.0f);
        EXPECT_EQ(state.driver, driver);
        for (const EqBand &band : state.bands) {
            EXPECT_EQ(band.b0, 1.0f);
            EXPECT_EQ(band.a1, 0.0f);
        }
        const int16_t in[4] = {1000, -2000, 3000, -4000};
        int16_t out[4];
        fn().sample_process(&state, in, out, 2, 22050, 1);
        EXPECT_TRUE(same_bytes(in, out, sizeof in));
        EqSampleState want = expected_defaults(driver, 3);
        for (EqBand &band : want.bands) {
            plain::design(band, 22050.0f);
        }
        want.rate = 22050.0f;
        EXPECT_TRUE(same_bytes(&state, &want, sizeof want));
    }
}

TEST(State, CloseLeavesTheBytesAlone) {
    Voice voice;
    std::vector<unsigned char> before(sizeof(EqSampleState));
    std::memcpy(before.data(), voice.state(), before.size());
    EXPECT_EQ(fn().close_sample(voice.state()), 0);
    EXPECT_TRUE(same_bytes(before.data(), voice.state(), before.size()));
}

TEST(State, ReportedSizesAreTheRecords) {
    EXPECT_EQ(provider().sample_state_size(), static_cast<int32_t>(sizeof(EqSampleState)));
    EXPECT_EQ(provider().driver_state_size(), static_cast<int32_t>(sizeof(EqDriverState)));
}

}  // namespace
