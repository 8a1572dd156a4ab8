// Arbitrary sequences of host calls on several sample states: property
// changes with any token and any bits in any slot (null and shared slots
// too), blocks of any length, rate and layout, in place or not, opens and
// closes. Every result must equal the plain implementation's, the states must
// keep their invariants, and nothing outside what a call was given may change.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "eq/eq_state.h"
#include "fuzz/fuzz_input.h"
#include "tolvane.h"
#include "tests/reference/plain_eq.h"

namespace {

constexpr size_t GUARD = 64;
constexpr unsigned char CANARY = 0xc5;
constexpr int STATES = 3;
constexpr int32_t MAX_FRAMES = 2048;

[[noreturn]] void fault(const char *what, int index) {
    std::fprintf(stderr, "host calls: %s (state %d)\n", what, index);
    std::abort();
}

// Host memory for one state, between guard bytes.
struct Voice {
    alignas(16) unsigned char memory[GUARD + sizeof(EqSampleState) + GUARD];
    unsigned char host_driver[32];
    EqDriverState driver;
    EqSampleState reference;
    int32_t rate = 0;  // the rate of the latest block, or the driver's
    bool open = false;

    EqSampleState *state() { return reinterpret_cast<EqSampleState *>(memory + GUARD); }

    void check(int index) {
        for (size_t i = 0; i < GUARD; ++i) {
            if (memory[i] != CANARY || memory[GUARD + sizeof(EqSampleState) + i] != CANARY) {
                fault("a guard byte around the state changed", index);
            }
        }
        if (!open) {
            return;
        }
        if (std::memcmp(state(), &reference, sizeof reference) != 0) {
            fault("the state differs from the plain implementation's", index);
        }
        const EqSampleState &s = *state();
        if (!(s.lerp >= 0.0f && s.lerp <= 1.0f)) {
            fault("lerp left 0..1", index);
        }
        for (const EqBand &b : s.bands) {
            if (!(b.freq >= EQ_FREQ_MIN && b.freq <= EQ_FREQ_MAX) ||
                !(b.q >= EQ_Q_MIN && b.q <= EQ_Q_MAX) ||
                !(b.gain >= EQ_GAIN_MIN && b.gain <= EQ_GAIN_MAX) || b.type < EQ_TYPE_MIN ||
                b.type > EQ_TYPE_MAX || (b.enabled != 0 && b.enabled != 1)) {
                fault("a band parameter left its range", index);
            }
            const float *history = b.x1;
            for (int i = 0; i < 8; ++i) {
                if (!std::isfinite(history[i])) {
                    fault("a band's history is not finite", index);
                }
            }
        }
    }
};

int32_t pick_rate(FuzzInput &in) {
    static const int32_t rates[] = {44100, 48000, 22050, 8000, 96000, 32000, 0, -48000, 1, 2147483647};
    const uint8_t r = in.take<uint8_t>();
    return r < 200 ? rates[r % 10] : in.take<int32_t>();
}

void open_voice(Voice &v, FuzzInput &in, int index) {
    const int32_t rate = pick_rate(in);
    const uint8_t how = in.take<uint8_t>();
    std::memcpy(v.host_driver + HOST_DRIVER_RATE_OFFSET, &rate, sizeof rate);
    FLT_open_driver(1, 2, 3, v.host_driver, &v.driver);
    // Sometimes no driver record, or one without the host's record.
    EqDriverState *driver = how % 8 == 0 ? nullptr : &v.driver;
    if (how % 8 == 1) {
        v.driver.host_driver = nullptr;
    }
    if (FLTSMP_open_sample(driver, how, v.state()) != v.state()) {
        fault("open did not return its memory", index);
    }
    plain::open(v.reference, driver, how);
    v.rate = rate;
    v.open = true;
}

void property(Voice &v, FuzzInput &in, int index) {
    const uint8_t t = in.take<uint8_t>();
    const int32_t token = t < 224 ? 3 + t % 31 : in.take<int32_t>();
    const uint32_t value = in.take<uint32_t>();
    const uint8_t shape = in.take<uint8_t>();
    uint32_t ours[3] = {0xa5a5a5a5u, value, 0x5a5a5a5au};
    uint32_t theirs[3] = {0xa5a5a5a5u, value, 0x5a5a5a5au};
    auto call = [&](uint32_t *s, auto &&fn) {
        void *before = shape & 1 ? nullptr : &s[0];
        const void *next = shape & 2 ? nullptr : (shape & 4) ? &s[0] : &s[1];
        void *after = shape & 8 ? nullptr : (shape & 16) ? &s[1] : &s[2];
        return fn(before, next, after);
    };
    const int32_t r1 = call(ours, [&](void *b, const void *n, void *a) {
        return FLTSMP_sample_property(v.state(), token, b, n, a);
    });
    const int32_t r2 = call(theirs, [&](void *b, const void *n, void *a) {
        return plain::property(v.reference, token, b, n, a);
    });
    if (r1 != r2 || std::memcmp(ours, theirs, sizeof ours) != 0) {
        fault("a property call differs from the plain implementation's", index);
    }
}

void block(Voice &v, FuzzInput &in, int index) {
    const int16_t f = in.take<int16_t>();
    const int32_t frames = f < 0 ? f % 4 : f % (MAX_FRAMES + 1);
    const int32_t rate = in.take<uint8_t>() < 64 ? pick_rate(in) : v.rate;
    v.rate = rate;
    const int32_t stereo = in.take<uint8_t>() < 128 ? 0 : in.take<int8_t>() | 1;
    const bool in_place = in.take<uint8_t>() & 1;
    const size_t n = static_cast<size_t>(frames > 0 ? frames : 0) * (stereo ? 2 : 1);
    // Samples: the input's own bytes, scaled up now and then to saturate.
    std::vector<int16_t> source(n + 2 * GUARD);
    const int shift = in.take<uint8_t>() % 4;
    for (size_t i = 0; i < n; ++i) {
        source[GUARD + i] = static_cast<int16_t>(in.take<int16_t>() * (1 << shift));
    }
    std::vector<int16_t> ours(n + 2 * GUARD, 0x3c3c), theirs(n, 0);
    if (in_place) {
        std::copy(source.begin() + GUARD, source.begin() + GUARD + static_cast<ptrdiff_t>(n),
                  ours.begin() + GUARD);
        FLTSMP_sample_process(v.state(), ours.data() + GUARD, ours.data() + GUARD, frames, rate, stereo);
    } else {
        FLTSMP_sample_process(v.state(), source.data() + GUARD, ours.data() + GUARD, frames, rate, stereo);
    }
    plain::process(v.reference, source.data() + GUARD, theirs.data(), frames, rate, stereo);
    if (!std::equal(theirs.begin(), theirs.end(), ours.begin() + GUARD)) {
        fault("a block's output differs from the plain implementation's", index);
    }
    for (size_t i = 0; i < GUARD; ++i) {
        if (ours[i] != 0x3c3c || ours[GUARD + n + i] != 0x3c3c) {
            fault("a block wrote outside its destination", index);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    static Voice voices[STATES];
    for (Voice &v : voices) {
        std::memset(v.memory, CANARY, sizeof v.memory);
        v.open = false;
    }
    for (int op = 0; op < 200 && !in.empty(); ++op) {
        const uint8_t what = in.take<uint8_t>();
        const int index = (what >> 4) % STATES;
        Voice &v = voices[index];
        if (!v.open || what % 16 == 0) {
            open_voice(v, in, index);
        } else if (what % 16 < 8) {
            property(v, in, index);
        } else if (what % 16 < 15) {
            block(v, in, index);
        } else if (FLT_close_driver(v.state()) != 0) {
            fault("close returned non-zero", index);
        }
        for (int i = 0; i < STATES; ++i) {
            voices[i].check(i);
        }
    }
    return 0;
}
