#include "tools/synth.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "tools/audio_file.h"
#include "tools/output_file.h"

namespace fs = std::filesystem;

namespace tolvane::tools {

namespace {

constexpr double TAU = 2.0 * M_PI;
constexpr double BEAT = 0.5;  // seconds: 120 beats a minute
constexpr double BAR = 4 * BEAT;

double note_hz(int midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12.0); }

// A fixed generator: the signal is the same on every machine and every run.
class Noise {
public:
    double next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<double>(state_) / 2147483648.0 - 1.0;
    }

private:
    uint32_t state_ = 0x9e3779b9u;
};

class Mix {
public:
    Mix(double seconds, int rate)
        : rate_(rate), left_(static_cast<size_t>(seconds * rate)), right_(left_.size()) {}

    // Adds voice(t), t in seconds from `start`, for `length` seconds, panned
    // from -1 (left) to 1 (right).
    void add(double start, double length, double pan, const std::function<double(double)> &voice) {
        const size_t first = static_cast<size_t>(start * rate_);
        const size_t count = static_cast<size_t>(length * rate_);
        const double gain_left = std::sqrt(0.5 * (1.0 - pan)), gain_right = std::sqrt(0.5 * (1.0 + pan));
        for (size_t i = 0; i < count && first + i < left_.size(); ++i) {
            const double value = voice(static_cast<double>(i) / rate_);
            left_[first + i] += gain_left * value;
            right_[first + i] += gain_right * value;
        }
    }

    // Interleaved 16-bit frames, scaled so the loudest sample sits at -6 dBFS.
    std::vector<int16_t> frames() const {
        double peak = 1e-9;
        for (size_t i = 0; i < left_.size(); ++i) {
            peak = std::max({peak, std::abs(left_[i]), std::abs(right_[i])});
        }
        const double scale = 0.5 * 32767.0 / peak;
        std::vector<int16_t> out;
        out.reserve(2 * left_.size());
        for (size_t i = 0; i < left_.size(); ++i) {
            out.push_back(static_cast<int16_t>(std::lround(left_[i] * scale)));
            out.push_back(static_cast<int16_t>(std::lround(right_[i] * scale)));
        }
        return out;
    }

private:
    int rate_;
    std::vector<double> left_, right_;
};

// A bright tone: harmonics falling as 1/k, the higher ones dying faster.
double pluck(double hz, double t, double decay) {
    double sum = 0.0;
    for (int k = 1; k <= 8; ++k) {
        sum += std::sin(TAU * hz * k * t) * std::exp(-t * k / decay) / k;
    }
    return sum;
}

}  // namespace

std::vector<int16_t> demo_signal(double seconds, int rate) {
    Mix mix(seconds, rate);
    Noise noise;
    // A minor, F, C, G: one chord a bar, voiced around middle C, with the root
    // two octaves down in the bass.
    const int chords[4][3] = {{57, 60, 64}, {57, 60, 65}, {55, 60, 64}, {55, 59, 62}};
    const int roots[4] = {33, 29, 36, 31};
    const int bars = static_cast<int>(std::ceil(seconds / BAR));
    for (int bar = 0; bar < bars; ++bar) {
        const double at = bar * BAR;
        const int *chord = chords[bar % 4];
        // Pads: sawtooth-like, slow attack, slightly detuned left and right.
        for (int n = 0; n < 3; ++n) {
            const double hz = note_hz(chord[n]);
            for (double detune : {-0.6, 0.6}) {
                mix.add(at, BAR, detune, [=](double t) {
                    const double envelope = std::min({1.0, t / 0.08, (BAR - t) / 0.1});
                    double sum = 0.0;
                    for (int k = 1; k <= 6; ++k) {
                        sum += std::sin(TAU * (hz + detune) * k * t) / k;
                    }
                    return 0.05 * envelope * sum;
                });
            }
        }
        for (int beat = 0; beat < 4; ++beat) {
            const double b = at + beat * BEAT;
            // Bass on every beat.
            const double root = note_hz(roots[bar % 4]);
            mix.add(b, BEAT, 0.0, [=](double t) { return 0.35 * pluck(root, t, 0.3); });
            // Kick on 1 and 3: a falling sine; snare on 2 and 4: noise and a tone.
            if (beat % 2 == 0) {
                mix.add(b, 0.4, 0.0, [](double t) {
                    const double phase = TAU * (50.0 * t + 100.0 * 0.03 * (1.0 - std::exp(-t / 0.03)));
                    return 0.7 * std::sin(phase) * std::exp(-t / 0.12);
                });
            } else {
                mix.add(b, 0.3, 0.1, [&noise](double t) {
                    return 0.3 * (noise.next() * std::exp(-t / 0.07) +
                                  std::sin(TAU * 180.0 * t) * std::exp(-t / 0.04));
                });
            }
            // Arpeggio and hi-hat on every eighth.
            for (int half = 0; half < 2; ++half) {
                const double e = b + half * BEAT / 2;
                const double hz = note_hz(chord[(2 * beat + half) % 3] + 12);
                mix.add(e, BEAT / 2, 0.4, [=](double t) { return 0.12 * pluck(hz, t, 0.15); });
                mix.add(e, 0.08, -0.4, [&noise, last = 0.0](double t) mutable {
                    const double white = noise.next(), hiss = white - last;  // tilted up
                    last = white;
                    return 0.1 * hiss * std::exp(-t / 0.015);
                });
            }
        }
        // A rising noise burst over the last beat of every second bar.
        if (bar % 2 == 1) {
            mix.add(at + 3 * BEAT, BEAT, 0.0, [&noise](double t) {
                return 0.25 * noise.next() * (t / BEAT) * (t / BEAT);
            });
        }
    }

    return mix.frames();
}

void write_demo_signal(const fs::path &path, double seconds, int rate, bool force) {
    const std::vector<int16_t> frames = demo_signal(seconds, rate);
    PendingOutput pending(path, force);
    SoundFile file = SoundFile::open_write(pending.temp_path(), SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                           rate, 2, path.string());
    file.write(frames.data(), static_cast<int64_t>(frames.size() / 2));
    file.close();
    pending.commit();
}

}  // namespace tolvane::tools
