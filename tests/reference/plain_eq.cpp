#include "tests/reference/plain_eq.h"

#include <cmath>
#include <cstddef>
#include <cstring>

namespace plain {

namespace {

float f(double x) { return (float)x; }

void no_feedback(EqBand &band, float b0) {
    band.b0 = b0;
    band.b1 = band.b2 = band.a1 = band.a2 = 0.0f;
}

}  // namespace

void design(EqBand &band, float rate) {
    band.x1[0] = band.x1[1] = band.x2[0] = band.x2[1] = 0.0f;
    band.y1[0] = band.y1[1] = band.y2[0] = band.y2[1] = 0.0f;

    if (std::isnan(rate) || std::isinf(rate) || rate <= 0.0f || band.type < 0 || band.type > 4) {
        no_feedback(band, 1.0f);
        return;
    }
    float A = f(pow(10.0, (double)f((double)band.gain / 40.0)));
    float G = f((double)A * (double)A);
    if ((double)band.freq <= 0.0) {
        const float at_zero[5] = {0.0f, 1.0f, 1.0f, G, 1.0f};
        no_feedback(band, at_zero[band.type]);
        return;
    }
    if (2.0 * (double)band.freq >= (double)rate) {
        const float at_nyquist[5] = {1.0f, 0.0f, G, 1.0f, 1.0f};
        no_feedback(band, at_nyquist[band.type]);
        return;
    }

    float w0 = f((double)band.freq * 6.2831854820251465 / (double)rate);
    float c = f(cos((double)w0));
    float s = f(sin((double)w0));
    float alpha = f((double)s / (2.0 * (double)band.q));
    float b0r = 0, b1r = 0, b2r = 0, a0r = 0, a1r = 0, a2r = 0;

    if (band.type == 0) {
        b1r = f(1.0 - c);
        b0r = f(b1r * 0.5);
        b2r = b0r;
        a0r = f(1.0 + alpha);
        a1r = f(-2.0 * c);
        a2r = f(1.0 - alpha);
    } else if (band.type == 1) {
        b0r = f((1.0 + c) * 0.5);
        b1r = f(-1.0 - c);
        b2r = b0r;
        a0r = f(1.0 + alpha);
        a1r = f(-2.0 * c);
        a2r = f(1.0 - alpha);
    } else if (band.type == 4) {
        b0r = f(1.0 + (double)alpha * A);
        b1r = f(-2.0 * c);
        b2r = f(1.0 - (double)alpha * A);
        a0r = f(1.0 + (double)alpha / A);
        a1r = b1r;
        a2r = f(1.0 - (double)alpha / A);
    } else {
        float sA = f(sqrt((double)A));
        float beta = f(2.0 * alpha * sA);
        double P = (double)A + 1.0;
        double M = (double)A - 1.0;
        if (band.type == 2) {
            b0r = f(A * ((P - M * c) + beta));
            b1r = f((M - P * c) * 2.0 * A);
            b2r = f(A * ((P - M * c) - beta));
            a0r = f((P + M * c) + beta);
            a1r = f((M + P * c) * -2.0);
            a2r = f((P + M * c) - beta);
        } else {
            b0r = f(A * ((P + M * c) + beta));
            b1r = f((M + P * c) * -2.0 * A);
            b2r = f(A * ((P + M * c) - beta));
            a0r = f((P - M * c) + beta);
            a1r = f((M - P * c) * 2.0);
            a2r = f((P - M * c) - beta);
        }
    }
    band.b0 = f((double)b0r / a0r);
    band.b1 = f((double)b1r / a0r);
    band.b2 = f((double)b2r / a0r);
    band.a1 = f((double)a1r / a0r);
    band.a2 = f((double)a2r / a0r);
    // A pole on or outside the unit circle (c rounded to +-1): the nearer end's limit.
    double p = band.a2, q = band.a1;
    if (!(p > -1.0 && p < 1.0 && q < 1.0 + p && -q < 1.0 + p)) {
        if (4.0 * (double)band.freq < (double)rate) {
            const float at_zero[5] = {0.0f, 1.0f, 1.0f, G, 1.0f};
            no_feedback(band, at_zero[band.type]);
        } else {
            const float at_nyquist[5] = {1.0f, 0.0f, G, 1.0f, 1.0f};
            no_feedback(band, at_nyquist[band.type]);
        }
    }
}

void open(EqSampleState &state, EqDriverState *driver, uintptr_t sample) {
    std::memset(&state, 0, sizeof state);
    state.sample = sample;
    state.driver = driver;
    int32_t rate = 0;
    if (driver && driver->host_driver) {
        std::memcpy(&rate, (const char *)driver->host_driver + 20, 4);
    }
    state.rate = (float)rate;
    state.lerp = 1.0f;
    for (EqBand &band : state.bands) {
        band.freq = 20000.0f;
        band.q = 1.0f;
        band.gain = 1.0f;
        band.type = 0;
        band.enabled = 0;
        design(band, state.rate);
    }
}

int32_t property(EqSampleState &state, int32_t token, void *before, const void *new_value,
                 void *after) {
    if (token < 3 || token > 33) {
        return 0;
    }
    if (token == 3) {
        if (before) std::memcpy(before, &state.lerp, 4);
        if (new_value) {
            float v;
            std::memcpy(&v, new_value, 4);
            if (!std::isnan(v)) {
                if (v > 1.0f) v = 1.0f;
                else if (v < 0.0f) v = 0.0f;
                state.lerp = v;
            }
        }
        if (after) std::memcpy(after, &state.lerp, 4);
        return 1;
    }
    EqBand &band = state.bands[(token - 4) / 5];
    int which = (token - 4) % 5;
    void *field = which == 0 ? (void *)&band.freq
                : which == 1 ? (void *)&band.q
                : which == 2 ? (void *)&band.gain
                : which == 3 ? (void *)&band.type
                             : (void *)&band.enabled;
    if (before) std::memcpy(before, field, 4);
    if (new_value) {
        if (which <= 2) {
            const float lo[3] = {0.0f, 0.01f, -30.0f};
            const float hi[3] = {20000.0f, 100.0f, 30.0f};
            float v;
            std::memcpy(&v, new_value, 4);
            if (!std::isnan(v)) {
                if (v > hi[which]) v = hi[which];
                else if (v < lo[which]) v = lo[which];
                float *target = (float *)field;
                if (v != *target) {
                    *target = v;
                    design(band, state.rate);
                }
            }
        } else if (which == 3) {
            int32_t t;
            std::memcpy(&t, new_value, 4);
            if (t > 4) t = 4;
            else if (t < 0) t = 0;
            if (t != band.type) {
                band.type = t;
                design(band, state.rate);
            }
        } else {
            int32_t e;
            std::memcpy(&e, new_value, 4);
            band.enabled = e ? 1 : 0;
        }
    }
    if (after) std::memcpy(after, field, 4);
    return 1;
}

namespace {

float run_preset(EqBand *bands, int ch, float weight, float input) {
    if (weight < 0.001f) return 0.0f;
    float v = f((double)weight * (double)input);
    for (int k = 0; k < 3; k++) {
        EqBand &b = bands[k];
        if (!b.enabled) continue;
        double acc = (double)b.b0 * (double)v + (double)b.b1 * (double)b.x1[ch];
        acc += (double)b.b2 * (double)b.x2[ch];
        acc -= (double)b.a1 * (double)b.y1[ch];
        acc -= (double)b.a2 * (double)b.y2[ch];
        float y = f(acc);
        b.x2[ch] = b.x1[ch];
        b.x1[ch] = v;
        b.y2[ch] = b.y1[ch];
        b.y1[ch] = y;
        v = y;
    }
    return v;
}

int16_t mono_rule(float r) {
    if (r > 32767.0f) return 32767;
    if (r < -32768.0f) return -32768;
    if (std::isnan(r)) return 0;
    return (int16_t)(int32_t)std::trunc(r);
}

int16_t stereo_rule(float r) {
    if (std::isnan(r)) return 0;
    float n = std::nearbyint(r);  // ties to even in the default mode
    if (n > 32767.0f) return 32767;
    if (n < -32768.0f) return -32768;
    return (int16_t)n;
}

}  // namespace

void process(EqSampleState &state, const int16_t *source, int16_t *destination, int32_t frames,
             int32_t rate, int32_t stereo) {
    EqSampleState w = state;
    float r = (float)rate;
    if (w.rate != r) {
        w.rate = r;
        for (int i = 0; i < 6; i++) design(w.bands[i], r);
    }
    float lerp = w.lerp;
    float inv = f(1.0 - (double)lerp);
    int channels = stereo ? 2 : 1;
    for (int32_t i = 0; i < frames; i++) {
        int16_t in[2] = {0, 0};
        for (int ch = 0; ch < channels; ch++) in[ch] = source[i * channels + ch];
        float out[2] = {0, 0};
        for (int ch = 0; ch < channels; ch++) {
            float x = (float)in[ch];
            float p1 = run_preset(&w.bands[3], ch, inv, x);
            float p0 = run_preset(&w.bands[0], ch, lerp, x);
            out[ch] = f((double)p0 + (double)p1);
        }
        for (int ch = 0; ch < channels; ch++) {
            destination[i * channels + ch] = stereo ? stereo_rule(out[ch]) : mono_rule(out[ch]);
        }
    }
    state = w;
}

int32_t silence_period(EqSampleState state, int32_t stereo, int32_t limit) {
    struct Histories {
        float values[EQ_BANDS][8];
    };
    auto take = [&state] {
        Histories h;
        for (int b = 0; b < EQ_BANDS; ++b) {
            // The band's bytes from x1 on: the eight values lie together.
            std::memcpy(h.values[b],
                        reinterpret_cast<const unsigned char *>(&state.bands[b]) +
                            offsetof(EqBand, x1),
                        sizeof h.values[b]);
        }
        return h;
    };
    const int16_t zeros[2] = {};
    int16_t out[2];
    Histories tortoise = take();
    int32_t power = 1, steps = 0;
    for (int32_t n = 0; n < limit; ++n) {
        process(state, zeros, out, 1, static_cast<int32_t>(state.rate), stereo);
        ++steps;
        const Histories now = take();
        if (std::memcmp(&now, &tortoise, sizeof now) == 0) {
            return steps;
        }
        if (steps == power) {
            tortoise = now;
            power *= 2;
            steps = 0;
        }
    }
    return 0;
}

}  // namespace plain
