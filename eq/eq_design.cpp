// Band design: the five cookbook biquads, with every rounding point explicit.
//
// Each named value is computed in double from its operands and rounded to
// float once, where it is formed; the output of every build depends on these
// exact rounding points, so none of them is left to the compiler.
#include <cmath>

#include "eq/eq_band.h"

namespace {

// Rounded to float here: everything downstream sees this value.
inline float to_float(double x) { return static_cast<float>(x); }

// The float value of 2*pi, widened: the design has always used it.
constexpr double TWO_PI = 6.2831854820251465;

void clear_history(EqBand *band) {
    for (int c = 0; c < 2; ++c) {
        band->x1[c] = 0.0f;
        band->x2[c] = 0.0f;
        band->y1[c] = 0.0f;
        band->y2[c] = 0.0f;
    }
}

void set_coefficients(EqBand *band, float b0, float b1, float b2, float a1, float a2) {
    band->b0 = b0;
    band->b1 = b1;
    band->b2 = b2;
    band->a1 = a1;
    band->a2 = a2;
}

// A = 10^(gain/40), the amplitude of the shelves and peaking.
float shelf_amplitude(float gain) {
    const float g = to_float(static_cast<double>(gain) / 40.0);
    return to_float(std::pow(10.0, static_cast<double>(g)));
}

// With the corner at 0 Hz every frequency lies above it, and with the corner
// at or past Nyquist every frequency lies below it: the shape reduces to a
// plain gain, H(z) = b0, which has no feedback that could grow or drift.
float limit_gain(const EqBand &band, bool at_nyquist) {
    switch (band.type) {
    case EQ_LOWPASS:
        return at_nyquist ? 1.0f : 0.0f;
    case EQ_HIGHPASS:
        return at_nyquist ? 0.0f : 1.0f;
    case EQ_LOWSHELF:
    case EQ_HIGHSHELF: {
        const bool boosted_end = (band.type == EQ_LOWSHELF) == at_nyquist;
        if (!boosted_end) {
            return 1.0f;
        }
        // The shelf's plateau, A^2 = 10^(gain/20).
        const double a = shelf_amplitude(band.gain);
        return to_float(a * a);
    }
    default:  // peaking: unity away from its centre
        return 1.0f;
    }
}

}  // namespace

void eq_design_band(EqBand *band, float rate) {
    // Every design restarts the band from silence.
    clear_history(band);

    const int32_t type = band->type;
    if (!(std::isfinite(rate) && rate > 0.0f) || type < EQ_TYPE_MIN || type > EQ_TYPE_MAX) {
        set_coefficients(band, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f);  // pass-through
        return;
    }
    // At frequency 0 the formulas put a double pole on the unit circle, and at
    // or above Nyquist poles outside it: use the shape's limit response.
    const double freq = band->freq;
    if (freq <= 0.0 || 2.0 * freq >= static_cast<double>(rate)) {
        set_coefficients(band, limit_gain(*band, freq > 0.0), 0.0f, 0.0f, 0.0f, 0.0f);
        return;
    }

    const float w0 = to_float(freq * TWO_PI / static_cast<double>(rate));
    const float c = to_float(std::cos(static_cast<double>(w0)));
    const float s = to_float(std::sin(static_cast<double>(w0)));
    const float alpha = to_float(static_cast<double>(s) / (2.0 * static_cast<double>(band->q)));
    const double dc = c;
    const double dalpha = alpha;

    float b0r, b1r, b2r, a0r, a1r, a2r;
    switch (type) {
    case EQ_LOWPASS:  // H(s) = 1 / (s^2 + s/Q + 1)
        b1r = to_float(1.0 - dc);
        b0r = to_float(static_cast<double>(b1r) * 0.5);
        b2r = b0r;
        a0r = to_float(1.0 + dalpha);
        a1r = to_float(-2.0 * dc);
        a2r = to_float(1.0 - dalpha);
        break;
    case EQ_HIGHPASS:  // H(s) = s^2 / (s^2 + s/Q + 1)
        b0r = to_float((1.0 + dc) * 0.5);
        b1r = to_float(-1.0 - dc);
        b2r = b0r;
        a0r = to_float(1.0 + dalpha);
        a1r = to_float(-2.0 * dc);
        a2r = to_float(1.0 - dalpha);
        break;
    case EQ_PEAKING: {  // H(s) = (s^2 + s*(A/Q) + 1) / (s^2 + s/(A*Q) + 1)
        const double a = shelf_amplitude(band->gain);
        b0r = to_float(1.0 + dalpha * a);
        b1r = to_float(-2.0 * dc);
        b2r = to_float(1.0 - dalpha * a);
        a0r = to_float(1.0 + dalpha / a);
        a1r = b1r;
        a2r = to_float(1.0 - dalpha / a);
        break;
    }
    default: {  // the shelves
        const float amp = shelf_amplitude(band->gain);
        const float root = to_float(std::sqrt(static_cast<double>(amp)));
        const float beta = to_float(2.0 * dalpha * static_cast<double>(root));
        const double a = amp;
        const double db = beta;
        // P and M and their products with c stay in double, shared unrounded.
        const double p = a + 1.0;
        const double m = a - 1.0;
        if (type == EQ_LOWSHELF) {  // H(s) = A * (s^2 + s*sqrt(A)/Q + A) / (A*s^2 + s*sqrt(A)/Q + 1)
            b0r = to_float(a * ((p - m * dc) + db));
            b1r = to_float((m - p * dc) * (2.0 * a));
            b2r = to_float(a * ((p - m * dc) - db));
            a0r = to_float((p + m * dc) + db);
            a1r = to_float((m + p * dc) * -2.0);
            a2r = to_float((p + m * dc) - db);
        } else {  // H(s) = A * (A*s^2 + s*sqrt(A)/Q + 1) / (s^2 + s*sqrt(A)/Q + A)
            b0r = to_float(a * ((p + m * dc) + db));
            b1r = to_float((m + p * dc) * (-2.0 * a));
            b2r = to_float(a * ((p + m * dc) - db));
            a0r = to_float((p - m * dc) + db);
            a1r = to_float((m - p * dc) * 2.0);
            a2r = to_float((p - m * dc) - db);
        }
        break;
    }
    }

    // Normalised by a0 once, here; processing never divides.
    const double a0 = a0r;
    const float a1 = to_float(a1r / a0);
    const float a2 = to_float(a2r / a0);
    // Within a hair of 0 Hz or of Nyquist, c rounds to +1 or -1 and a pole
    // lands on the unit circle, where rounding errors would be integrated and
    // drift: such a band is its limit response too.
    if (!(std::fabs(static_cast<double>(a2)) < 1.0 &&
          std::fabs(static_cast<double>(a1)) < 1.0 + static_cast<double>(a2))) {
        set_coefficients(band, limit_gain(*band, 4.0 * freq >= static_cast<double>(rate)), 0.0f,
                         0.0f, 0.0f, 0.0f);
        return;
    }
    set_coefficients(band, to_float(b0r / a0), to_float(b1r / a0), to_float(b2r / a0), a1, a2);
}
