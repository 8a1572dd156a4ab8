#include "tests/scenario.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <vector>

#include "eq/eq_state.h"
#include "tests/reference/plain_eq.h"

namespace scenario {

namespace {

struct Digest {
    uint64_t h = 0xcbf29ce484222325ull;
    void add(const void *data, size_t n) {
        const auto *p = static_cast<const unsigned char *>(data);
        for (size_t i = 0; i < n; ++i) {
            h = (h ^ p[i]) * 0x100000001b3ull;
        }
    }
};

// The state's values, without the two address fields whose width differs
// between builds.
const void *values_of(const EqSampleState &s) { return &s.rate; }
constexpr size_t VALUES_SIZE = sizeof(EqSampleState) - offsetof(EqSampleState, rate);

class Runner {
public:
    Runner(const tolvane::host::Provider &provider, uint32_t seed, bool adversarial,
           Recorder *recorder)
        : fn_(provider.fn()), rng_(seed), adversarial_(adversarial), recorder_(recorder),
          voice_(provider, opened(pick_rate())) {
        reference_ = product();
        if (recorder_ != nullptr) {
            recorder_->after(product());
        }
    }

    Result go() {
        const int steps = 20 + static_cast<int>(rng_() % 60);
        for (int i = 0; i < steps && result_.mismatch.empty(); ++i) {
            const uint32_t what = rng_() % 100;
            if (adversarial_ && what < 30) {
                poke();
            } else if (what < 55) {
                property();
            } else {
                block();
            }
            ++result_.operations;
            compare_state("after operation " + std::to_string(i));
            if (recorder_ != nullptr) {
                recorder_->after(product());
            }
        }
        digest_.add(values_of(product()), VALUES_SIZE);
        result_.digest = digest_.h;
        return result_;
    }

private:
    EqSampleState &product() { return *static_cast<EqSampleState *>(voice_.state()); }

    int32_t opened(int32_t rate) {
        if (recorder_ != nullptr) {
            recorder_->open(rate);
        }
        return rate;
    }

    int32_t pick_rate() {
        static const int32_t rates[] = {8000, 11025, 22050, 32000, 44100, 48000, 96000};
        const uint32_t r = rng_() % 40;
        if (r == 0) return 0;
        if (r == 1) return -44100;
        if (r == 2) return 1 + static_cast<int32_t>(rng_() % 200000);
        return rates[r % 7];
    }

    float unit() { return std::uniform_real_distribution<float>(0.0f, 1.0f)(rng_); }

    float wide_float() {
        // Any exponent from tiny to huge, either sign.
        const float m = 1.0f + unit();
        const int e = static_cast<int>(rng_() % 80) - 40;
        return (rng_() & 1 ? -1.0f : 1.0f) * std::ldexp(m, e);
    }

    float property_value(int param) {
        const uint32_t r = rng_() % 20;
        if (r == 0) return NAN;
        if (r == 1) return (rng_() & 1) ? INFINITY : -INFINITY;
        if (r == 2) return wide_float();
        if (r == 3) return std::bit_cast<float>(static_cast<uint32_t>(rng_()));  // any pattern
        switch (param) {
        case PARAM_FREQ: return r < 6 ? 20000.0f * unit() * unit() * unit() : -100.0f + 25000.0f * unit();
        case PARAM_Q: return r < 6 ? 0.01f * (1 + unit()) : 120.0f * unit();
        case PARAM_GAIN: return -40.0f + 80.0f * unit();
        default: {  // Lerp, also near the gate at either end
            static const float near[] = {0.0f, 0.001f, 0.000999f, 0.999f, 0.998f, 1.0f, 0.5f};
            return r < 10 ? near[r % 7] : -0.2f + 1.4f * unit();
        }
        }
    }

    void property() {
        const int32_t token = rng_() % 20 == 0 ? static_cast<int32_t>(rng_() % 40) - 3
                                                : 3 + static_cast<int32_t>(rng_() % 31);
        const int param = token >= 4 ? (token - 4) % 5 : -1;
        uint32_t value;
        if (param == PARAM_TYPE || param == PARAM_ENABLE) {
            const uint32_t r = rng_() % 10;
            value = r < 7 ? rng_() % 6 : r == 7 ? static_cast<uint32_t>(-1) : rng_();
        } else {
            value = std::bit_cast<uint32_t>(property_value(param));
        }
        // Sometimes a slot is missing, sometimes before and new share one.
        const uint32_t shape = rng_() % 8;
        uint32_t ours[3] = {0xdeadbeef, value, 0xdeadbeef}, theirs[3] = {0xdeadbeef, value, 0xdeadbeef};
        auto slots = [shape](uint32_t *s, void *&before, const void *&next, void *&after) {
            before = shape == 1 ? nullptr : &s[0];
            next = shape == 2 ? nullptr : shape == 3 ? &s[0] : &s[1];
            after = shape == 4 ? nullptr : &s[2];
            if (shape == 3) s[0] = s[1];
        };
        void *b1, *a1, *b2, *a2;
        const void *n1, *n2;
        slots(ours, b1, n1, a1);
        slots(theirs, b2, n2, a2);
        const int32_t r1 = fn_.sample_property(voice_.state(), token, b1, n1, a1);
        const int32_t r2 = plain::property(reference_, token, b2, n2, a2);
        result_.values_compared += 4;
        if (r1 != r2 || std::memcmp(ours, theirs, sizeof ours) != 0) {
            fail("property token " + std::to_string(token) + " value 0x" + hex(value));
        }
        if (recorder_ != nullptr) {
            recorder_->property(token, shape, value, r1, ours);
        }
        digest_.add(ours, sizeof ours);
        digest_.add(&r1, sizeof r1);
    }

    void block() {
        const bool stereo = rng_() % 3 != 0;
        const int32_t rate = rng_() % 8 == 0 ? pick_rate() : static_cast<int32_t>(product().rate);
        int32_t frames = static_cast<int32_t>(rng_() % (adversarial_ ? 6 : 600));
        if (rng_() % 25 == 0) frames = -static_cast<int32_t>(rng_() % 5);
        const size_t n = static_cast<size_t>(std::max(frames, 0)) * (stereo ? 2 : 1);
        std::vector<int16_t> in(n);
        const uint32_t kind = rng_() % 4;
        // A tone from a plain recursion, so that no library function that may
        // differ between builds shapes the input.
        const double step = 0.001 + 0.3 * unit();
        const double k = 2.0 - step * step;
        double s1 = 0.0, s2 = -30000.0 * step;
        for (size_t i = 0; i < n; ++i) {
            if (kind == 0) {
                in[i] = static_cast<int16_t>(rng_());  // full-scale noise
            } else if (kind == 1) {
                const double s0 = k * s1 - s2;
                s2 = s1;
                s1 = s0;
                in[i] = static_cast<int16_t>(std::clamp(s0, -32768.0, 32767.0));
            } else if (kind == 2) {
                in[i] = static_cast<int16_t>(static_cast<int>(rng_() % 201) - 100);  // quiet
            } else {
                in[i] = static_cast<int16_t>(i % 2 ? 32767 : -32768);  // saturating
            }
        }
        std::vector<int16_t> ours(n + 1, 0x7777), theirs(n + 1, 0x7777);
        const bool in_place = rng_() % 4 == 0;
        if (in_place) {
            std::copy(in.begin(), in.end(), ours.begin());
            fn_.sample_process(voice_.state(), ours.data(), ours.data(), frames, rate, stereo);
        } else {
            fn_.sample_process(voice_.state(), in.data(), ours.data(), frames, rate, stereo);
        }
        plain::process(reference_, in.data(), theirs.data(), frames, rate, stereo);
        if (recorder_ != nullptr) {
            recorder_->block(in.data(), ours.data(), frames, rate, stereo, in_place);
        }
        result_.values_compared += n;
        if (ours != theirs) {
            size_t at = 0;
            while (ours[at] == theirs[at]) ++at;
            fail("block of " + std::to_string(frames) + (stereo ? " stereo" : " mono") +
                 " frames at " + std::to_string(rate) + " Hz: value " + std::to_string(at) +
                 " is " + std::to_string(ours[at]) + ", plain gives " + std::to_string(theirs[at]));
        }
        digest_.add(ours.data(), n * sizeof(int16_t));
    }

    // Coefficients and histories written directly, shaped so that the next
    // frame's sum comes out differently under any other order or grouping.
    float scaled(int lowest, int highest) {
        const float m = 1.0f + unit();
        const int e = lowest + static_cast<int>(rng_() % static_cast<uint32_t>(highest - lowest + 1));
        return (rng_() & 1 ? -1.0f : 1.0f) * std::ldexp(m, e);
    }
    float big() { return scaled(20, 40); }
    float small() { return scaled(-20, 0); }

    void poke() {
        const int index = static_cast<int>(rng_() % 6);
        EqBand band = product().bands[index];
        const uint32_t pattern = rng_() % 4;
        band.b0 = wide_float();
        band.b1 = wide_float();
        band.b2 = wide_float();
        band.a1 = wide_float();
        band.a2 = wide_float();
        for (int c = 0; c < 2; ++c) {
            band.x1[c] = wide_float();
            band.x2[c] = wide_float();
            band.y1[c] = wide_float();
            band.y2[c] = wide_float();
        }
        if (pattern == 1) {
            // b1*x1 + b2*x2 cancels exactly; b0*v survives only if it is added
            // to that pair's sum rather than to b1*x1 first.
            band.b0 = small();
            band.b1 = big();
            band.b2 = -band.b1;
            for (int c = 0; c < 2; ++c) {
                band.x1[c] = band.x2[c] = big();
            }
        } else if (pattern == 2) {
            // a2*y2 takes back b1*x1, so a small a1*y1 survives only when it
            // is subtracted after a2*y2.
            band.b0 = small();
            band.b2 = small();
            band.a1 = small();
            band.b1 = big();
            band.a2 = band.b1;
            for (int c = 0; c < 2; ++c) {
                band.x1[c] = band.y2[c] = big();
                band.x2[c] = small();
                band.y1[c] = small();
            }
        } else if (pattern == 3) {
            // a1*y1 and a2*y2 cancel each other: subtracting them one by one
            // rounds the small sum before them, subtracting their sum does not.
            band.b0 = small();
            band.b2 = small();
            band.a1 = big();
            band.a2 = -band.a1;
            for (int c = 0; c < 2; ++c) {
                band.y1[c] = band.y2[c] = big();
            }
        }
        band.enabled = rng_() % 4 != 0;
        product().bands[index] = band;
        reference_.bands[index] = band;
        if (rng_() % 3 == 0) {
            const float lerp = property_value(-1);
            if (lerp >= 0.0f && lerp <= 1.0f) {
                product().lerp = reference_.lerp = lerp;
            }
        }
        if (recorder_ != nullptr) {
            recorder_->poked(product());
        }
    }

    void compare_state(const std::string &when) {
        result_.values_compared += VALUES_SIZE / 4;
        if (result_.mismatch.empty() &&
            std::memcmp(values_of(product()), values_of(reference_), VALUES_SIZE) != 0) {
            fail("state differs " + when);
        }
    }

    static std::string hex(uint32_t v) {
        std::ostringstream s;
        s << std::hex << v;
        return s.str();
    }

    void fail(const std::string &what) {
        if (result_.mismatch.empty()) {
            result_.mismatch = what;
        }
    }

    const tolvane::host::ProviderEntries &fn_;
    std::mt19937 rng_;
    bool adversarial_;
    Recorder *recorder_;
    tolvane::host::Voice voice_;
    EqSampleState reference_;
    Result result_;
    Digest digest_;
};

}  // namespace

Result run(const tolvane::host::Provider &provider, uint32_t seed, bool adversarial,
           Recorder *recorder) {
    return Runner(provider, seed, adversarial, recorder).go();
}

namespace {

// Both presets drawn from the seed, through the property entry: shapes,
// corners an octave apart from 20 Hz, Q, gain, switches and Lerp.
void random_setting(tolvane::host::Voice &voice, std::mt19937 &rng, Recorder *recorder) {
    static const float Q[] = {0.3f, 0.6f, 1.2f, 2.4f, 4.8f, 9.6f};
    static const float LERP[] = {1.0f, 0.0f, 0.5f, 0.25f, 0.8f, 0.0004f};
    auto set = [&](int32_t token, uint32_t value) {
        uint32_t slots[3] = {0, value, 0};
        const int32_t result = voice.entries().sample_property(voice.state(), token, &slots[0],
                                                                    &slots[1], &slots[2]);
        if (recorder != nullptr) {
            recorder->property(token, 0, value, result, slots);
            recorder->after(*static_cast<const EqSampleState *>(voice.state()));
        }
    };
    auto set_float = [&](int32_t token, float value) { set(token, std::bit_cast<uint32_t>(value)); };
    for (int p = 0; p < 2; ++p) {
        for (int b = 0; b < 3; ++b) {
            set(TOKEN_BAND(p, b, PARAM_TYPE), rng() % 5);
            set_float(TOKEN_BAND(p, b, PARAM_FREQ), 20.0f * static_cast<float>(1 << (rng() % 11)));
            set_float(TOKEN_BAND(p, b, PARAM_Q), Q[rng() % 6]);
            set_float(TOKEN_BAND(p, b, PARAM_GAIN), static_cast<float>(rng() % 31) - 15.0f);
            set(TOKEN_BAND(p, b, PARAM_ENABLE), rng() % 10 < 7 ? 1 : 0);
        }
    }
    set_float(TOKEN_LERP, LERP[rng() % 6]);
}

}  // namespace

SilenceResult run_silence(const tolvane::host::Provider &provider, uint32_t seed, int32_t seconds,
                          Recorder *recorder) {
    static const int32_t LENGTHS[] = {1024, 64, 4096, 1000, 256, 33, 480};
    constexpr int32_t RATE = 48000, LOUD = 12000;
    SilenceResult result;
    std::mt19937 rng(seed);
    if (recorder != nullptr) {
        recorder->open(RATE);
    }
    tolvane::host::Voice voice(provider, RATE);
    auto &state = *static_cast<EqSampleState *>(voice.state());
    if (recorder != nullptr) {
        recorder->after(state);
    }
    random_setting(voice, rng, recorder);
    const bool stereo = seed % 2 != 0;
    const size_t channels = stereo ? 2 : 1;
    EqSampleState theirs = state;
    Digest digest;
    int64_t done = 0;
    for (int b = 0; done < int64_t{seconds} * RATE + LOUD; ++b) {
        const int32_t frames = LENGTHS[(seed + static_cast<uint32_t>(b)) % std::size(LENGTHS)];
        std::vector<int16_t> in(static_cast<size_t>(frames) * channels, 0);
        if (done < LOUD) {
            for (int16_t &v : in) {
                v = static_cast<int16_t>(rng() % 2 ? 32767 - rng() % 200 : -32768 + rng() % 200);
            }
        }
        std::vector<int16_t> ours(in.size()), want(in.size());
        voice.process(in.data(), ours.data(), frames, RATE, stereo);
        plain::process(theirs, in.data(), want.data(), frames, RATE, stereo ? 1 : 0);
        if (recorder != nullptr) {
            recorder->block(in.data(), ours.data(), frames, RATE, stereo, false);
            recorder->after(state);
        }
        ++result.operations;
        result.values_compared += in.size() + VALUES_SIZE / 4;
        digest.add(ours.data(), ours.size() * sizeof(int16_t));
        if (result.mismatch.empty() && ours != want) {
            result.mismatch = "block " + std::to_string(b) + " at frame " + std::to_string(done) +
                              ": the output differs";
        }
        if (result.mismatch.empty() &&
            std::memcmp(values_of(state), values_of(theirs), VALUES_SIZE) != 0) {
            result.mismatch = "the state after block " + std::to_string(b) + " at frame " +
                              std::to_string(done) + " differs";
        }
        if (!result.mismatch.empty()) {
            break;
        }
        done += frames;
    }
    digest.add(values_of(state), VALUES_SIZE);
    result.digest = digest.h;
    result.period = plain::silence_period(theirs, stereo ? 1 : 0, 1 << 16);
    return result;
}

}  // namespace scenario
