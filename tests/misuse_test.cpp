// Host misuse that must stay harmless: entries called with nothing started or
// after the provider was detached, a state opened twice over the same memory,
// processing after close, and two provider instances side by side.
#include <random>

#include "tests/engine_fixture.h"
#include "tests/reference/plain_eq.h"

using namespace engine_test;
using tolvane::host::Provider;

namespace {

std::vector<int16_t> tone(size_t n) {
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<int16_t>(12000 * std::sin(0.05 * double(i)));
    }
    return v;
}

void shape(tolvane::host::Voice &voice) {
    voice.set_int(TOKEN_BAND(0, 0, PARAM_TYPE), EQ_PEAKING);
    voice.set_float(TOKEN_BAND(0, 0, PARAM_FREQ), 700.0f);
    voice.set_float(TOKEN_BAND(0, 0, PARAM_GAIN), 12.0f);
    voice.set_int(TOKEN_BAND(0, 0, PARAM_ENABLE), 1);
}

std::vector<int16_t> run(tolvane::host::Voice &voice, const std::vector<int16_t> &in) {
    std::vector<int16_t> out(in.size());
    voice.process(in.data(), out.data(), static_cast<int32_t>(in.size() / 2), 48000, true);
    return out;
}

// Nothing depends on start-up or on the broker: entries that a host kept from
// an earlier attach go on working, never started, shut down or detached.
TEST(Misuse, EntriesWorkWithoutStartupAndAfterDetach) {
    const std::vector<int16_t> in = tone(512);
    std::vector<int16_t> want;
    {
        Voice voice;
        shape(voice);
        want = run(voice, in);
    }
    Provider fresh(tolvane::host::default_provider_path(), true);
    const tolvane::host::ProviderEntries fn = fresh.fn();
    for (int stage = 0; stage < 3; ++stage) {
        if (stage == 1) {
            fn.shutdown();  // refused: never started
        } else if (stage == 2) {
            fresh.detach();
        }
        tolvane::host::Voice voice(fresh, 48000);
        shape(voice);
        EXPECT_EQ(run(voice, in), want) << "stage " << stage;
    }
}

TEST(Misuse, OpeningTwiceOverOneStateStartsAfresh) {
    Voice voice;
    shape(voice);
    voice.set_float(TOKEN_LERP, 0.5f);
    run(voice, tone(256));
    ASSERT_EQ(fn().open_sample(voice.driver(), 0, voice.state()), voice.state());
    EqSampleState want;
    plain::open(want, static_cast<EqDriverState *>(voice.driver()), 0);
    EXPECT_TRUE(same_bytes(&want, voice.state(), sizeof want));
}

TEST(Misuse, ProcessingAfterCloseGoesOnAsBefore) {
    const std::vector<int16_t> in = tone(1024);
    Voice closed, open;
    for (Voice *v : {&closed, &open}) {
        shape(*v);
        run(*v, in);
    }
    EXPECT_EQ(fn().close_sample(closed.state()), 0);
    EXPECT_EQ(run(closed, in), run(open, in));
}

TEST(Misuse, TwoProviderInstancesKeepApart) {
    Provider a(tolvane::host::default_provider_path(), true);
    Provider b(tolvane::host::default_provider_path(), true);
    EXPECT_NE(a.handle(), b.handle());
    EXPECT_NE(a.fn().sample_process, b.fn().sample_process) << "two copies of the library";
    // Start-up counts and error texts are per instance.
    EXPECT_EQ(a.fn().startup(), RESULT_OK);
    EXPECT_EQ(b.fn().startup(), RESULT_OK);
    EXPECT_EQ(a.fn().startup(), RESULT_ALREADY_STARTED);
    EXPECT_STREQ(a.fn().error(), "Already started");
    EXPECT_EQ(b.fn().error(), nullptr);
    // Their states interleave without a trace of each other.
    const std::vector<int16_t> in = tone(4096);
    tolvane::host::Voice va(a, 48000), vb(b, 48000), alone(a, 48000);
    shape(va);
    shape(alone);
    std::vector<int16_t> together;
    for (size_t i = 0; i < in.size(); i += 512) {
        const std::vector<int16_t> part(in.begin() + i, in.begin() + i + 512);
        const std::vector<int16_t> o = run(va, part);
        together.insert(together.end(), o.begin(), o.end());
        EXPECT_EQ(run(vb, part), part) << "b's defaults pass through";
    }
    EXPECT_EQ(together, run(alone, in));
}

}  // namespace
