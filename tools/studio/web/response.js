// The magnitude response of preset 0, preset 1 and their mix, from the
// coefficients the engine designed, as `tolvane response` computes it:
// H(z) = (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2) per enabled
// band, the preset the product of its bands, the mix their weighted sum.

const FLOOR_DB = -200; // as the tool's: a true zero of the response
const GATE = 0.001; // a preset weighted below this is not processed at all
const LOW_HZ = 10;

function toDb(re, im) {
  return Math.max(FLOOR_DB, 20 * Math.log10(Math.hypot(re, im)));
}

// `voice` is an engine Voice whose bands are designed at `rate`; `lerp`,
// when given, weighs the mix instead of the voice's own (a sweep, a preset
// listened to alone).
export function computeResponse(voice, rate, points, lerp = voice.lerp()) {
  const weights = [lerp, Math.fround(1 - lerp)].map((w) => (w < GATE ? 0 : w));
  const bands = [];
  for (let i = 0; i < 6; ++i) {
    const band = voice.band(i);
    if (band.enabled) bands.push({ ...band, preset: i < 3 ? 0 : 1 });
  }
  const high = rate / 2;
  const response = { rate, lerp, frequency: [], preset0_db: [], preset1_db: [], mix_db: [] };
  for (let i = 0; i < points; ++i) {
    const hz = i === points - 1 ? high : LOW_HZ * Math.pow(high / LOW_HZ, i / (points - 1));
    const omega = (2 * Math.PI * hz) / rate;
    // z^-1 and z^-2 on the unit circle.
    const c1 = Math.cos(omega), s1 = -Math.sin(omega);
    const c2 = c1 * c1 - s1 * s1, s2 = 2 * c1 * s1;
    const preset = [[1, 0], [1, 0]];
    for (const b of bands) {
      const nr = b.b0 + b.b1 * c1 + b.b2 * c2, ni = b.b1 * s1 + b.b2 * s2;
      const dr = 1 + b.a1 * c1 + b.a2 * c2, di = b.a1 * s1 + b.a2 * s2;
      const d = dr * dr + di * di;
      const hr = (nr * dr + ni * di) / d, hi = (ni * dr - nr * di) / d;
      const [pr, pi] = preset[b.preset];
      preset[b.preset] = [pr * hr - pi * hi, pr * hi + pi * hr];
    }
    response.frequency.push(hz);
    response.preset0_db.push(toDb(...preset[0]));
    response.preset1_db.push(toDb(...preset[1]));
    response.mix_db.push(toDb(weights[0] * preset[0][0] + weights[1] * preset[1][0],
                              weights[0] * preset[0][1] + weights[1] * preset[1][1]));
  }
  return response;
}
