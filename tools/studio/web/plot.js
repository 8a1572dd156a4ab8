// The response plot: a log frequency axis from 10 Hz to Nyquist, dB upwards,
// drawn on a canvas at the screen's own pixel density; behind it, on a canvas
// of its own, the live spectrum of the input and of what is heard.

export const COLOURS = { p0: '#ff9a3c', p1: '#37c8e6', mix: '#ffffff' };
const SPECTRUM = { input: 'rgba(141, 148, 166, 0.28)', output: 'rgba(122, 162, 255, 0.38)' };
// The spectrum's own scale: -100 dBFS at the bottom of the grid, 0 at its top.
const SPECTRUM_FLOOR_DB = -100;
// The strip above the grid holds the legend and the focused band's values.
const MARGIN = { left: 44, right: 14, top: 30, bottom: 24 };
const LOW_HZ = 10;
const GATE = 0.001; // a preset weighted below this is not processed at all

function hzLabel(hz) {
  return hz >= 1000 ? `${hz / 1000}k` : `${hz}`;
}

export class Plot {
  constructor(canvas, spectrumCanvas) {
    this.canvas = canvas;
    this.context = canvas.getContext('2d');
    this.spectrumCanvas = spectrumCanvas;
    this.spectrumContext = spectrumCanvas.getContext('2d');
    this.bins = null;
    this.nyquist = 24000;
    this.extent = 24;
    this.zoom = 'auto'; // or a fixed extent in dB: 6, 12, 24 or 30
    this.shown = { p0: true, p1: true, mix: true };
    this.badge = ''; // what the plot is showing besides the setting, if anything
    this.dim = false; // the curves are not what is heard
    this.width = 0;
    this.height = 0;
  }

  // Matches the canvas to its box; true when the size changed.
  resize() {
    const box = this.canvas.getBoundingClientRect();
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(box.width));
    const height = Math.max(1, Math.round(box.height));
    if (width === this.width && height === this.height && this.ratio === ratio) return false;
    this.width = width;
    this.height = height;
    this.ratio = ratio;
    for (const canvas of [this.canvas, this.spectrumCanvas]) {
      canvas.width = Math.round(width * ratio);
      canvas.height = Math.round(height * ratio);
    }
    return true;
  }

  get left() { return MARGIN.left; }
  get right() { return this.width - MARGIN.right; }
  get top() { return MARGIN.top; }
  get bottom() { return this.height - MARGIN.bottom; }

  x(hz) {
    const t = Math.log(hz / LOW_HZ) / Math.log(this.nyquist / LOW_HZ);
    return this.left + t * (this.right - this.left);
  }

  hzAt(x) {
    const t = (x - this.left) / (this.right - this.left);
    return LOW_HZ * Math.pow(this.nyquist / LOW_HZ, Math.min(1, Math.max(0, t)));
  }

  y(db) {
    return this.top + ((this.extent - db) / (2 * this.extent)) * (this.bottom - this.top);
  }

  dbAt(y) {
    return this.extent - ((y - this.top) / (this.bottom - this.top)) * 2 * this.extent;
  }

  // Automatic: the smallest of ±6, ±12, ±24 dB (or wider, in steps of 6 dB)
  // that holds every gain and the curves shown, with room to see their tops.
  // Otherwise the extent chosen.
  fit(response, gains) {
    // A drag keeps the scale it started on: the handle stays under the pointer.
    if (this.hold) return;
    if (this.zoom !== 'auto') {
      this.extent = this.zoom;
      return;
    }
    let need = 0;
    for (const key of ['p0', 'p1', 'mix']) {
      if (!this.shown[key]) continue;
      const values = response[key === 'mix' ? 'mix_db' : `preset${key[1]}_db`];
      for (const db of values) if (db > -60) need = Math.max(need, Math.abs(db));
    }
    for (const g of gains) need = Math.max(need, Math.abs(g));
    need += 1;
    this.extent = need <= 6 ? 6 : need <= 12 ? 12 : need <= 24 ? 24 : Math.min(96, Math.ceil((need + 1) / 6) * 6);
  }

  draw(response) {
    const c = this.context;
    c.setTransform(this.ratio, 0, 0, this.ratio, 0, 0);
    c.clearRect(0, 0, this.width, this.height);
    this.drawGrid(c);
    c.save();
    c.beginPath();
    c.rect(this.left, this.top, this.right - this.left, this.bottom - this.top);
    c.clip();
    const lerp = response.lerp;
    const weights = [lerp, Math.fround(1 - lerp)];
    c.globalAlpha = this.dim ? 0.35 : 1;
    if (this.shown.p0) this.curve(c, response, response.preset0_db, COLOURS.p0, 1.5, weights[0] < GATE);
    if (this.shown.p1) this.curve(c, response, response.preset1_db, COLOURS.p1, 1.5, weights[1] < GATE);
    if (this.shown.mix) this.curve(c, response, response.mix_db, COLOURS.mix, 2.25, false);
    c.restore();
    if (this.badge) {
      c.font = '600 12px system-ui, "DejaVu Sans", sans-serif';
      c.textAlign = 'right';
      c.textBaseline = 'bottom';
      c.fillStyle = '#ffd166';
      c.fillText(this.badge, this.right - 6, this.bottom - 6);
    }
  }

  drawGrid(c) {
    c.font = '11px system-ui, "DejaVu Sans", sans-serif';
    c.lineWidth = 1;
    // Frequencies: every 1..9 of each decade, labelled at 1, 2 and 5.
    c.textAlign = 'center';
    c.textBaseline = 'top';
    for (let decade = LOW_HZ; decade < this.nyquist; decade *= 10) {
      for (let k = 1; k < 10; ++k) {
        const hz = decade * k;
        if (hz > this.nyquist) break;
        const x = Math.round(this.x(hz)) + 0.5;
        c.strokeStyle = k === 1 ? '#343a48' : '#22262f';
        c.beginPath();
        c.moveTo(x, this.top);
        c.lineTo(x, this.bottom);
        c.stroke();
        if (k === 1 || k === 2 || k === 5) {
          c.fillStyle = '#8d94a6';
          c.fillText(hzLabel(hz), x, this.bottom + 6);
        }
      }
    }
    // dB: every 6, 0 dB brighter.
    c.textAlign = 'right';
    c.textBaseline = 'middle';
    const step = this.extent > 48 ? 12 : this.extent <= 6 ? 1 : this.extent <= 12 ? 3 : 6;
    for (let db = -this.extent; db <= this.extent; db += step) {
      const y = Math.round(this.y(db)) + 0.5;
      c.strokeStyle = db === 0 ? '#5a6275' : '#22262f';
      c.beginPath();
      c.moveTo(this.left, y);
      c.lineTo(this.right, y);
      c.stroke();
      c.fillStyle = db === 0 ? '#e3e6ee' : '#8d94a6';
      c.fillText(`${db > 0 ? '+' : ''}${db}`, this.left - 6, y);
    }
    c.save();
    c.translate(11, (this.top + this.bottom) / 2);
    c.rotate(-Math.PI / 2);
    c.textAlign = 'center';
    c.fillStyle = '#5d6475';
    c.fillText('dB', 0, 0);
    c.restore();
  }

  curve(c, response, values, colour, width, gated) {
    const alpha = c.globalAlpha;
    c.strokeStyle = colour;
    c.globalAlpha = alpha * (gated ? 0.3 : 0.95);
    c.lineWidth = width;
    c.setLineDash(gated ? [4, 4] : []);
    c.beginPath();
    response.frequency.forEach((hz, i) => {
      // The -200 dB floor of a true zero sits just below the plot.
      const y = this.y(Math.max(values[i], -this.extent - 12));
      if (i === 0) c.moveTo(this.x(hz), y);
      else c.lineTo(this.x(hz), y);
    });
    c.stroke();
    c.setLineDash([]);
    c.globalAlpha = alpha;
  }

  // The analysers' spectra, each the loudest bin under every pixel column,
  // filled from the bottom; `analysers` maps 'input'/'output' to an
  // AnalyserNode, or is empty to clear.
  drawSpectrum(analysers, rate) {
    const c = this.spectrumContext;
    c.setTransform(this.ratio, 0, 0, this.ratio, 0, 0);
    c.clearRect(0, 0, this.width, this.height);
    const span = this.bottom - this.top;
    for (const [which, analyser] of Object.entries(analysers)) {
      const count = analyser.frequencyBinCount;
      if (!this.bins || this.bins.length !== count) this.bins = new Float32Array(count);
      analyser.getFloatFrequencyData(this.bins);
      const binHz = rate / 2 / count;
      c.fillStyle = SPECTRUM[which];
      c.beginPath();
      c.moveTo(this.left, this.bottom);
      let bin = Math.max(1, Math.floor(this.hzAt(this.left) / binHz));
      for (let x = this.left; x <= this.right; ++x) {
        const last = Math.min(count - 1, Math.max(bin, Math.floor(this.hzAt(x + 1) / binHz)));
        let loudest = -Infinity;
        for (; bin <= last; ++bin) loudest = Math.max(loudest, this.bins[bin]);
        bin = last;
        const level = Math.min(1, Math.max(0, (loudest - SPECTRUM_FLOOR_DB) / -SPECTRUM_FLOOR_DB));
        c.lineTo(x, this.bottom - level * span);
      }
      c.lineTo(this.right, this.bottom);
      c.closePath();
      c.fill();
    }
  }

  // A curve's level at `hz`, between the computed points (on the log axis).
  static levelAt(response, values, hz) {
    const f = response.frequency;
    if (hz <= f[0]) return values[0];
    for (let i = 1; i < f.length; ++i) {
      if (f[i] >= hz) {
        const t = Math.log(hz / f[i - 1]) / Math.log(f[i] / f[i - 1]);
        return values[i - 1] + t * (values[i] - values[i - 1]);
      }
    }
    return values[values.length - 1];
  }
}
