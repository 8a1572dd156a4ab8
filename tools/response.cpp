#include "tools/response.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <string>

#include "eq/eq_band.h"

namespace tolvane::tools {

namespace {

using Complex = std::complex<double>;

// The weight below which processing skips a preset altogether.
constexpr float GATE = 0.001f;

// H(z) = (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2), with the
// coefficients exactly as the design rounded them.
Complex band_response(const EqBand &band, double omega) {
    const Complex z1 = std::polar(1.0, -omega), z2 = z1 * z1;
    return (double{band.b0} + double{band.b1} * z1 + double{band.b2} * z2) /
           (1.0 + double{band.a1} * z1 + double{band.a2} * z2);
}

double to_db(Complex h) { return std::max(RESPONSE_FLOOR_DB, 20.0 * std::log10(std::abs(h))); }

std::string band_name(int preset, const char *word, int band) {
    return std::to_string(preset) + " " + word + " " + std::to_string(band);
}

}  // namespace

StoredValues read_stored(host::Voice &voice, const host::Provider &provider) {
    StoredValues values{};
    values.lerp = voice.get_float(provider.sample_token("Lerp"));
    for (int p = 0; p < 2; ++p) {
        for (int b = 0; b < 3; ++b) {
            BandValues &band = values.bands[p][b];
            band.freq = voice.get_float(provider.sample_token(band_name(p, "Freq", b)));
            band.q = voice.get_float(provider.sample_token(band_name(p, "Q", b)));
            band.gain = voice.get_float(provider.sample_token(band_name(p, "Gain", b)));
            band.type = voice.get_int(provider.sample_token(band_name(p, "Type", b)));
            band.enabled = voice.get_int(provider.sample_token(band_name(p, "Enable", b))) != 0;
        }
    }
    return values;
}

Response compute_response(const StoredValues &values, double rate, int points) {
    Response response{rate, values.lerp, {}, {}, {}, {}};
    // Preset 0 is weighted by Lerp, preset 1 by 1 - Lerp rounded to float, and
    // a preset under the gate contributes nothing.
    const float weights[2] = {values.lerp, 1.0f - values.lerp};
    for (int p = 0; p < 2; ++p) {
        response.weight[p] = weights[p] < GATE ? 0.0f : weights[p];
    }
    EqBand designed[2][3] = {};
    for (int p = 0; p < 2; ++p) {
        for (int b = 0; b < 3; ++b) {
            const BandValues &v = values.bands[p][b];
            EqBand &band = designed[p][b];
            band.freq = v.freq;
            band.q = v.q;
            band.gain = v.gain;
            band.type = v.type;
            band.enabled = v.enabled;
            eq_design_band(&band, static_cast<float>(rate));
        }
    }
    const double low = 10.0, high = rate / 2.0;
    for (int i = 0; i < points; ++i) {
        const double hz =
            i == points - 1 ? high : low * std::pow(high / low, static_cast<double>(i) / (points - 1));
        const double omega = 2.0 * M_PI * hz / rate;
        Complex preset[2] = {1.0, 1.0};
        for (int p = 0; p < 2; ++p) {
            for (const EqBand &band : designed[p]) {
                if (band.enabled) {
                    preset[p] *= band_response(band, omega);
                }
            }
        }
        response.hz.push_back(hz);
        response.preset_db[0].push_back(to_db(preset[0]));
        response.preset_db[1].push_back(to_db(preset[1]));
        response.mix_db.push_back(to_db(double{response.weight[0]} * preset[0] +
                                        double{response.weight[1]} * preset[1]));
    }
    return response;
}

void write_csv(const Response &response, std::ostream &out) {
    out << "frequency_hz,preset0_db,preset1_db,mix_db\n";
    char line[128];
    for (size_t i = 0; i < response.hz.size(); ++i) {
        std::snprintf(line, sizeof line, "%.6f,%.6f,%.6f,%.6f\n", response.hz[i],
                      response.preset_db[0][i], response.preset_db[1][i], response.mix_db[i]);
        out << line;
    }
}

}  // namespace tolvane::tools
