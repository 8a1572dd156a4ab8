#include "bench/cases.h"

#include "eq/eq_fp.h"

#include <algorithm>
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

}  // namespace

const Case CASES[] = {
    {"a", "stereo, 3 bands, Lerp 1", true, 1024, false, false, one_preset},
    {"b", "stereo, 3 + 3 bands, Lerp 0.5", true, 1024, false, false, two_presets},
    {"c", "mono, 3 bands", false, 1024, false, false, one_preset},
    {"d", "pass-through (defaults)", true, 1024, false, true, defaults},
    {"e", "(a) in 64-frame blocks", true, 64, false, false, one_preset},
    {"f", "(a) on silence after a loud second", true, 1024, true, false, one_preset},
};
const int CASE_COUNT = sizeof CASES / sizeof CASES[0];

Workload::Workload(const tolvane::host::Provider &provider, const Case &c)
    : provider_(provider),
      case_(c),
      voice_(std::make_unique<Voice>(provider, RATE)),
      input_(music(c.stereo ? 2 : 1)) {
    const size_t values = static_cast<size_t>(c.block) * (c.stereo ? 2 : 1);
    provider_out_.resize(values);
    plain_out_.resize(values);
    c.settings(*voice_);
    if (c.silence_after_loud) {
        // A loud second first: the histories then decay toward subnormal
        // values on the silence that follows, and stay there.
        std::vector<int16_t> loud(input_.size()), out(input_.size());
        for (size_t i = 0; i < loud.size(); ++i) {
            loud[i] = static_cast<int16_t>(input_[i] > 0 ? 32767 : -32768);
        }
        voice_->process(loud.data(), out.data(), RATE, RATE, c.stereo);
        std::fill(input_.begin(), input_.end(), 0);
    }
    std::memcpy(&plain_, voice_->state(), sizeof plain_);
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
    provider_.fn().sample_process(voice_->state(), next(provider_at_), provider_out_.data(),
                                  case_.block, RATE, case_.stereo ? 1 : 0);
}

void Workload::plain_block() {
    plain::process(plain_, next(plain_at_), plain_out_.data(), case_.block, RATE,
                   case_.stereo ? 1 : 0);
}

void Workload::copy_block() {
    std::memcpy(provider_out_.data(), next(copy_at_), provider_out_.size() * sizeof(int16_t));
}

const EqSampleState &Workload::provider_state() const {
    return *static_cast<const EqSampleState *>(voice_->state());
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
    if (std::memcmp(&w.provider_state(), &w.plain_state(), sizeof(EqSampleState)) != 0) {
        return "final state differs";
    }
    return "";
}

void print_row(const char *build, const Case &c, double plain_ns, double provider_ns,
               double copy_ns, bool identical) {
    std::printf("row\t%s\t%s\t%s\t%.3f\t%.3f\t%.3f\t%s\n", build, c.id, c.what, plain_ns,
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

void print_fp_switch(const char *build, double ns_per_call) {
    std::printf("fpenv\t%s\t%.3f\n", build, ns_per_call);
    std::fflush(stdout);
}

void print_floor(const char *build, double ns_per_sample) {
    std::printf("floor\t%s\t%.3f\n", build, ns_per_sample);
    std::fflush(stdout);
}

}  // namespace bench
