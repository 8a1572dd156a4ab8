#include "bench/cases.h"

#include "eq/eq_fp.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "tests/reference/plain_eq.h"

namespace bench {

namespace {

using tolvane::host::Voice;

struct BandSetting {
    int32_t type;
    float freq, q, gain;
};

void set_preset(Voice &voice, int preset, const BandSetting (&bands)[3]) {
    for (int b = 0; b < 3; ++b) {
        voice.set_int(TOKEN_BAND(preset, b, PARAM_TYPE), bands[b].type);
        voice.set_float(TOKEN_BAND(preset, b, PARAM_FREQ), bands[b].freq);
        voice.set_float(TOKEN_BAND(preset, b, PARAM_Q), bands[b].q);
        voice.set_float(TOKEN_BAND(preset, b, PARAM_GAIN), bands[b].gain);
        voice.set_int(TOKEN_BAND(preset, b, PARAM_ENABLE), 1);
    }
}

// Three cookbook bands: presence, warmth, and a little less air.
constexpr BandSetting TONE[3] = {
    {EQ_PEAKING, 1000.0f, 0.7071f, 6.0f},
    {EQ_LOWSHELF, 100.0f, 0.7071f, 6.0f},
    {EQ_HIGHSHELF, 10000.0f, 0.7071f, -6.0f},
};
// A second preset to crossfade to: thinner and darker.
constexpr BandSetting THIN[3] = {
    {EQ_HIGHPASS, 120.0f, 0.7071f, 0.0f},
    {EQ_PEAKING, 2500.0f, 1.5f, -4.0f},
    {EQ_LOWPASS, 9000.0f, 0.7071f, 0.0f},
};

void one_preset(Voice &voice) {
    set_preset(voice, 0, TONE);
    voice.set_float(TOKEN_LERP, 1.0f);
}

void two_presets(Voice &voice) {
    set_preset(voice, 0, TONE);
    set_preset(voice, 1, THIN);
    voice.set_float(TOKEN_LERP, 0.5f);
}

void defaults(Voice &) {}

// Music-like: a few partials with slow swells and a little noise, about
// -6 dBFS at its peaks. Made with plain double arithmetic (no library
// functions), so every build feeds the same values.
std::vector<int16_t> music(int channels) {
    std::vector<int16_t> out(static_cast<size_t>(RATE) * channels);
    const double freqs[] = {55.0, 220.0, 330.0, 660.0, 1760.0, 5200.0};
    double c[6], s[6], k[6];
    for (int i = 0; i < 6; ++i) {
        const double w = 2.0 * 3.141592653589793 * freqs[i] / RATE;
        k[i] = 2.0 - w * w;  // the rotation of a small-angle oscillator
        c[i] = 1.0;
        s[i] = 1.0 - w * w / 2.0;
    }
    uint32_t noise = 12345;
    for (int32_t n = 0; n < RATE; ++n) {
        const double swell = 0.55 + 0.45 * ((n / 6000) % 2 ? (n % 6000) / 6000.0 : 1.0 - (n % 6000) / 6000.0);
        double sum = 0.0;
        for (int i = 0; i < 6; ++i) {
            const double next = k[i] * s[i] - c[i];
            c[i] = s[i];
            s[i] = next;
            sum += s[i] / (i + 1);
        }
        for (int ch = 0; ch < channels; ++ch) {
            noise = noise * 1664525u + 1013904223u;
            const double hiss = static_cast<int32_t>(noise >> 16) - 32768;
            const double v = 16384.0 * swell * sum / 2.45 + 0.02 * hiss + (ch ? 300.0 * s[2] : 0.0);
            out[static_cast<size_t>(n) * channels + ch] =
                static_cast<int16_t>(v > 32767.0 ? 32767.0 : v < -32768.0 ? -32768.0 : v);
        }
    }
    return out;
}

// Settings drawn widely: every shape, 20 Hz to 20 kHz and Q
// 0.1 to 20, evenly on a log scale, gains of ±18 dB, three bands in ten off,
// both presets and Lerp anywhere from 0 to 1. Logs and powers from the
// runtime's maths are not used: each build draws the same settings.
void wide_settings(Voice &voice, uint32_t seed) {
    // The seed mixed first (murmur3's finaliser): neighbouring seeds must not
    // draw neighbouring settings.
    uint32_t x = seed;
    x ^= x >> 16;
    x *= 0x85ebca6bu;
    x ^= x >> 13;
    x *= 0xc2b2ae35u;
    x ^= x >> 16;
    auto unit = [&x] {
        x = x * 1664525u + 1013904223u;
        return static_cast<float>(x >> 8) * (1.0f / 16777216.0f);
    };
    // lo * (hi/lo)^u by repeated square roots of the ratio, u's bits one by one.
    auto log_uniform = [&](double lo, double hi) {
        double value = lo, factor = hi / lo, u = unit();
        for (int bit = 0; bit < 20; ++bit) {
            factor = std::sqrt(factor);
            u *= 2.0;
            if (u >= 1.0) {
                value *= factor;
                u -= 1.0;
            }
        }
        return static_cast<float>(value);
    };
    for (int p = 0; p < 2; ++p) {
        for (int b = 0; b < 3; ++b) {
            voice.set_int(TOKEN_BAND(p, b, PARAM_TYPE), static_cast<int32_t>(unit() * 5.0f) % 5);
            voice.set_float(TOKEN_BAND(p, b, PARAM_FREQ), log_uniform(20.0, 20000.0));
            voice.set_float(TOKEN_BAND(p, b, PARAM_Q), log_uniform(0.1, 20.0));
            voice.set_float(TOKEN_BAND(p, b, PARAM_GAIN), -18.0f + 36.0f * unit());
            voice.set_int(TOKEN_BAND(p, b, PARAM_ENABLE), unit() < 0.7f ? 1 : 0);
        }
    }
    voice.set_float(TOKEN_LERP, unit());
}

// (a)'s three bands, moved by up to an octave: a voice of its own that costs
// what (a) costs.
void shifted_tone(Voice &voice, uint32_t seed) {
    one_preset(voice);
    for (int b = 0; b < 3; ++b) {
        const float shift = 1.0f + static_cast<float>((seed * 7 + b * 3) % 32) / 32.0f;
        voice.set_float(TOKEN_BAND(0, b, PARAM_FREQ), TONE[b].freq * shift);
    }
}

}  // namespace

const std::vector<Case> &cases() {
    static const std::vector<Case> all = [] {
        auto one = [](Voice &v, uint32_t) { one_preset(v); };
        auto two = [](Voice &v, uint32_t) { two_presets(v); };
        auto none = [](Voice &v, uint32_t) { defaults(v); };
        std::vector<Case> c = {
            {"a", "stereo, 3 bands, Lerp 1", true, 1024, MUSIC, false, one},
            {"b", "stereo, 3 + 3 bands, Lerp 0.5", true, 1024, MUSIC, false, two},
            {"c", "mono, 3 bands", false, 1024, MUSIC, false, one},
            {"d", "pass-through (defaults)", true, 1024, MUSIC, true, none},
            {"e", "(a) in 64-frame blocks", true, 64, MUSIC, false, one},
            {"f", "(a) on silence after a loud second", true, 1024, SILENCE_AFTER_LOUD, false, one},
            {"g", "(a) on silence after 60 s of silence", true, 1024, SILENCE_AFTER_MINUTE, false,
             one},
        };
        Case many{"i", "256 voices, own settings like (a)'s, 256-frame blocks round robin", true,
                  256, MUSIC, false, shifted_tone};
        many.voices = 256;
        c.push_back(many);
        Case doppler{"j", "(e) with a new rate before every block", true, 64, MUSIC, false, one};
        doppler.doppler = true;
        c.push_back(doppler);
        return c;
    }();
    return all;
}

const std::vector<WidePair> &wide_pairs() {
    static const std::vector<WidePair> all = [] {
        std::vector<WidePair> pairs;
        for (uint32_t seed = 1; seed <= 200; ++seed) {
            char id[8];
            std::snprintf(id, sizeof id, "%03u", seed);
            pairs.push_back({{std::string("m") + id, "wide setting " + std::string(id) + " on music",
                              true, 1024, MUSIC, false, wide_settings, seed},
                             {std::string("s") + id,
                              "wide setting " + std::string(id) + " on silence after 60 s of silence",
                              true, 1024, SILENCE_AFTER_MINUTE, false, wide_settings, seed}});
        }
        return pairs;
    }();
    return all;
}

std::pair<double, double> time_in_turns(Workload &a, Workload &b) {
    using Clock = std::chrono::steady_clock;
    auto calls_for = [](Workload &w) {  // about 20 ms of calls, caches warm
        int64_t calls = 1;
        for (;;) {
            const Clock::time_point start = Clock::now();
            for (int64_t i = 0; i < calls; ++i) {
                w.provider_block();
            }
            if (Clock::now() - start > std::chrono::milliseconds(5)) {
                return calls * 4;
            }
            calls *= 2;
        }
    };
    auto time = [](Workload &w, int64_t calls) {
        const Clock::time_point start = Clock::now();
        for (int64_t i = 0; i < calls; ++i) {
            w.provider_block();
        }
        const std::chrono::duration<double, std::nano> took = Clock::now() - start;
        return took.count() / (static_cast<double>(calls) * w.frames_per_call());
    };
    const int64_t calls_a = calls_for(a), calls_b = calls_for(b);
    constexpr int TURNS = 11;
    double ta[TURNS], tb[TURNS];
    for (int i = 0; i < TURNS; ++i) {
        ta[i] = time(a, calls_a);
        tb[i] = time(b, calls_b);
    }
    std::sort(ta, ta + TURNS);
    std::sort(tb, tb + TURNS);
    return {ta[TURNS / 2], tb[TURNS / 2]};
}

void print_pair(const char *build, const WidePair &pair, double music_ns, double silence_ns,
                bool identical) {
    std::printf("pair\t%s\t%s\t%.3f\t%.3f\t%s\n", build, pair.silence.id.c_str() + 1, music_ns,
                silence_ns, identical ? "identical" : "different");
    std::fflush(stdout);
}

bool run_wide_pairs(const tolvane::host::Provider &provider, const char *build, int count) {
    bool all_identical = true;
    for (const WidePair &pair : wide_pairs()) {
        if (count-- <= 0) {
            break;
        }
        std::string difference = check_identical(provider, pair.music);
        if (difference.empty()) {
            difference = check_identical(provider, pair.silence);
        }
        if (!difference.empty()) {
            std::fprintf(stderr, "wide setting %s: %s\n", pair.music.id.c_str() + 1, difference.c_str());
            all_identical = false;
        }
        Workload music(provider, pair.music), silence(provider, pair.silence);
        const auto [music_ns, silence_ns] = time_in_turns(music, silence);
        print_pair(build, pair, music_ns, silence_ns, difference.empty());
    }
    return all_identical;
}

Workload::Workload(const tolvane::host::Provider &provider, const Case &c)
    : provider_(provider), case_(c), input_(music(c.stereo ? 2 : 1)) {
    const size_t values = static_cast<size_t>(c.block) * (c.stereo ? 2 : 1);
    provider_out_.resize(values);
    plain_out_.resize(values);
    for (int v = 0; v < c.voices; ++v) {
        voices_.push_back(std::make_unique<Voice>(provider, RATE));
        Voice &voice = *voices_.back();
        c.settings(voice, c.seed + static_cast<uint32_t>(v));
        if (c.prelude != MUSIC) {
            // A loud second first: the histories then decay toward subnormal
            // values on the silence that follows, and stay there.
            std::vector<int16_t> loud(input_.size()), out(input_.size());
            for (size_t i = 0; i < loud.size(); ++i) {
                loud[i] = static_cast<int16_t>(input_[i] > 0 ? 32767 : -32768);
            }
            voice.process(loud.data(), out.data(), RATE, RATE, c.stereo);
            if (c.prelude == SILENCE_AFTER_MINUTE) {
                std::fill(loud.begin(), loud.end(), 0);
                for (int second = 0; second < 60; ++second) {
                    voice.process(loud.data(), out.data(), RATE, RATE, c.stereo);
                }
            }
        }
        plain_.push_back(*static_cast<const EqSampleState *>(voice.state()));
    }
    if (c.prelude != MUSIC) {
        std::fill(input_.begin(), input_.end(), 0);
    }
}

// Under Doppler the rate wanders by a few hertz, a new value every block.
int32_t Workload::rate(int64_t call) const {
    return case_.doppler ? RATE - 8 + static_cast<int32_t>(call % 17) : RATE;
}

const int16_t *Workload::next(size_t &position) const {
    const size_t channels = case_.stereo ? 2 : 1;
    if ((position + case_.block) * channels > input_.size()) {
        position = 0;
    }
    const int16_t *block = input_.data() + position * channels;
    position += case_.block;
    return block;
}

void Workload::provider_block() {
    Voice &voice = *voices_[static_cast<size_t>(provider_calls_ % case_.voices)];
    provider_.fn().sample_process(voice.state(), next(provider_at_), provider_out_.data(),
                                  case_.block, rate(provider_calls_), case_.stereo ? 1 : 0);
    ++provider_calls_;
}

void Workload::plain_block() {
    plain::process(plain_[static_cast<size_t>(plain_calls_ % case_.voices)], next(plain_at_),
                   plain_out_.data(), case_.block, rate(plain_calls_), case_.stereo ? 1 : 0);
    ++plain_calls_;
}

void Workload::copy_block() {
    std::memcpy(provider_out_.data(), next(copy_at_), provider_out_.size() * sizeof(int16_t));
}

const EqSampleState &Workload::provider_state(int voice) const {
    return *static_cast<const EqSampleState *>(voices_[static_cast<size_t>(voice)]->state());
}

Recursion::Recursion() : output_(BLOCK) {
    for (int16_t x : music(1)) {
        input_.push_back(0.0625 * x);  // feed-forward terms of a quiet band
    }
}

void Recursion::block() {
    // A resonance near 1 kHz at 48 kHz, its poles at radius 0.99.
    const double a1 = static_cast<float>(-1.9602), a2 = static_cast<float>(0.9801);
    if (at_ + BLOCK > input_.size()) {
        at_ = 0;
    }
    const double *in = input_.data() + at_;
    at_ += BLOCK;
    double y1 = y1_, y2 = y2_;
    for (int n = 0; n < BLOCK; ++n) {
        double acc = in[n];
        acc -= a1 * y1;
        acc -= a2 * y2;
        const float y = static_cast<float>(acc);
        output_[n] = y;
        y2 = y1;
        y1 = y;
    }
    y1_ = y1;
    y2_ = y2;
}

std::string check_identical(const tolvane::host::Provider &provider, const Case &c) {
    Workload w(provider, c);
    const size_t values = static_cast<size_t>(c.block) * (c.stereo ? 2 : 1);
    const int blocks = 2 * RATE / c.block;
    for (int i = 0; i < blocks; ++i) {
        w.provider_block();
        w.plain_block();
        if (std::memcmp(w.provider_output(), w.plain_output(), values * sizeof(int16_t)) != 0) {
            return "output of block " + std::to_string(i) + " differs";
        }
    }
    for (int v = 0; v < w.voice_count(); ++v) {
        if (std::memcmp(&w.provider_state(v), &w.plain_state(v), sizeof(EqSampleState)) != 0) {
            return "final state of voice " + std::to_string(v) + " differs";
        }
    }
    return "";
}

void print_row(const char *build, const Case &c, double plain_ns, double provider_ns,
               double copy_ns, bool identical) {
    std::printf("row\t%s\t%s\t%s\t%.3f\t%.3f\t%.3f\t%s\n", build, c.id.c_str(), c.what.c_str(), plain_ns,
                provider_ns, copy_ns, identical ? "identical" : "different");
    std::fflush(stdout);
}

void FpSwitch::block() {
    for (int i = 0; i < CALLS; ++i) {
        EqFpScope fp(EQ_FP_EXACT);
        __asm__ volatile("" : : : "memory");
        fp.enter(EQ_FP_PROCESS);
        __asm__ volatile("" : : : "memory");
    }
}

PropertyChange::PropertyChange(const tolvane::host::Provider &provider) : voice_(provider, RATE) {
    one_preset(voice_);
}

void PropertyChange::block() {
    for (int i = 0; i < CALLS; ++i) {
        voice_.set_float(TOKEN_BAND(0, 0, PARAM_FREQ), i % 2 ? 1000.0f : 1001.0f);
    }
}

void print_property_change(const char *build, double ns_per_change) {
    std::printf("property\t%s\t%.3f\n", build, ns_per_change);
    std::fflush(stdout);
}

void print_fp_switch(const char *build, double ns_per_call) {
    std::printf("fpenv\t%s\t%.3f\n", build, ns_per_call);
    std::fflush(stdout);
}

void print_floor(const char *build, double ns_per_sample) {
    std::printf("floor\t%s\t%.3f\n", build, ns_per_sample);
    std::fflush(stdout);
}

}  // namespace bench
