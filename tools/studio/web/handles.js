// The bands' handles on the plot, one per band, where the band's stored
// values put it (at the plot's edge, marked, when they lie outside it): drag
// sideways for Freq and up and down for Gain, the wheel or Alt-drag for Q,
// double-click to switch a band off or on (a switched-off band is a hollow
// handle). From the keyboard: the arrows (Shift: Q), Enter switches, S
// listens to the band alone, R resets it. Handles at one place take turns:
// each click on the spot takes the next.
import { Plot } from './plot.js';
import { bandName as name } from './properties.js';

const SHAPES_GAIN = new Set(['lowshelf', 'highshelf', 'peaking']);
const SEMITONE = Math.pow(2, 1 / 12);
const LOW_HZ = 10;
const $ = (id) => document.getElementById(id);

export const hasGain = (type) => SHAPES_GAIN.has(type);

// Significant digits that read well and that a float holds.
export function round(value, digits) {
  return Number(value.toPrecision(digits));
}

// Where a band starts out, and where a switched-off band that was never
// touched (the provider's defaults) is shown: a flat peaking band, low, middle
// or high by its index, preset 1's a little above preset 0's so that no two
// handles start at one place.
export const DEFAULT_PLACE = [[100, 1000, 8000], [160, 1600, 12500]];
export function defaultBand(p, b) {
  return { Type: 'peaking', Freq: DEFAULT_PLACE[p][b], Q: 0.7071, Gain: 0 };
}
const PROVIDER_DEFAULTS = { Type: 'lowpass', Freq: 20000, Q: 1, Gain: 1 };

export class Handles {
  // ui: { setting, history, plot, response(), record(before, name), say(),
  //       solo(p, b), resetBand(p, b), wheelTurn(property) }
  constructor(ui) {
    this.ui = ui;
    this.turn = null;
    this.hovered = null;
  }

  stored(p, word, b) {
    return this.ui.setting.stored[name(p, word, b)];
  }

  // A switched-off band still at the provider's defaults: never placed.
  untouched(p, b) {
    return !this.stored(p, 'Enable', b) &&
      Object.entries(PROVIDER_DEFAULTS).every(([word, value]) => this.stored(p, word, b) === value);
  }

  // The values a handle stands for: the stored ones, or for an untouched
  // band the place switching it on will give it.
  values(p, b) {
    if (this.untouched(p, b)) return defaultBand(p, b);
    const v = {};
    for (const word of ['Type', 'Freq', 'Q', 'Gain']) v[word] = this.stored(p, word, b);
    return v;
  }

  label(p, b) {
    const v = this.values(p, b);
    const hz = v.Freq >= 1000 ? `${+(v.Freq / 1000).toFixed(3)} kHz` : `${+v.Freq.toFixed(1)} Hz`;
    const db = hasGain(v.Type) ? `, ${v.Gain > 0 ? '+' : ''}${v.Gain.toFixed(1)} dB` : '';
    const off = this.stored(p, 'Enable', b) ? '' : ' (off: double-click or Enter switches it on)';
    return `preset ${p} band ${b}, ${v.Type}, ${hz}${db}, Q ${+v.Q.toFixed(3)}${off}`;
  }

  level(p, b) {
    const v = this.values(p, b);
    if (hasGain(v.Type)) return v.Gain;
    // A pass filter has no gain: its handle rides on its preset's curve (0 dB
    // when it is off and so not on the curve).
    if (!this.stored(p, 'Enable', b)) return 0;
    const response = this.ui.response();
    const values = p === 0 ? response.preset0_db : response.preset1_db;
    return Plot.levelAt(response, values, Math.max(LOW_HZ, v.Freq));
  }

  place() {
    const { plot, setting } = this.ui;
    const layer = $('handles');
    const lerp = setting.stored.Lerp;
    const weights = [lerp, Math.fround(1 - lerp)];
    for (let p = 0; p < 2; ++p) {
      for (let b = 0; b < 3; ++b) {
        const id = `handle-${p}-${b}`;
        let handle = $(id);
        if (!handle) {
          handle = this.make(p, b, id);
          // Keep the focus order preset by preset, band by band.
          const next = [...layer.children].find((h) => h.id > id);
          layer.insertBefore(handle, next || null);
        }
        const v = this.values(p, b);
        const level = this.level(p, b);
        // Outside the plot: at its edge, with a mark on that side.
        let edge = '';
        let x = plot.x(Math.max(LOW_HZ, Math.min(v.Freq, plot.nyquist)));
        if (!(v.Freq >= LOW_HZ)) edge = 'left';
        else if (v.Freq > plot.nyquist) edge = 'right';
        if (!Number.isFinite(x)) x = plot.left;
        let y = plot.y(Math.max(-plot.extent, Math.min(plot.extent, level)));
        if (level > plot.extent) edge ||= 'top';
        else if (level < -plot.extent) edge ||= 'bottom';
        handle.style.left = `${x}px`;
        handle.style.top = `${y}px`;
        handle.dataset.edge = edge;
        handle.classList.toggle('off', !this.stored(p, 'Enable', b));
        handle.setAttribute('aria-label', this.label(p, b));
        handle.title = this.label(p, b);
        handle.classList.toggle('gated', weights[p] < 0.001);
      }
    }
    this.readout();
  }

  // The hovered band's values, else the focused band's.
  readout() {
    const focused = document.activeElement?.classList.contains('handle') ? document.activeElement : null;
    const shown = this.hovered ?? focused;
    $('readout').textContent = shown ? this.label(+shown.dataset.preset, +shown.dataset.band) : '';
  }

  make(p, b, id) {
    const handle = document.createElement('button');
    handle.type = 'button';
    handle.id = id;
    handle.className = `handle p${p}`;
    handle.dataset.preset = p;
    handle.dataset.band = b;
    handle.textContent = b;
    handle.addEventListener('pointerdown', (event) => this.drag(event, p, b, handle));
    handle.addEventListener('dblclick', () => this.toggle(p, b));
    handle.addEventListener('wheel', (event) => {
      event.preventDefault();
      // The band turned is the band shown.
      if (document.activeElement !== handle) handle.focus();
      const q = name(p, 'Q', b);
      this.ui.wheelTurn(q);
      this.ui.setting.want(q, round(this.ui.setting.current(q) * (event.deltaY < 0 ? 1.1 : 1 / 1.1), 3));
    }, { passive: false });
    handle.addEventListener('keydown', (event) => this.key(event, p, b));
    handle.addEventListener('focus', () => this.readout());
    handle.addEventListener('blur', () => this.readout());
    handle.addEventListener('pointerenter', () => { this.hovered = handle; this.readout(); });
    handle.addEventListener('pointerleave', () => { this.hovered = null; this.readout(); });
    return handle;
  }

  // Switched off, or on; an untouched band goes on where it is shown.
  toggle(p, b) {
    const { setting, history } = this.ui;
    const words = ['Enable', 'Type', 'Freq', 'Q', 'Gain'];
    const before = history.snapshot(words.map((w) => name(p, w, b)));
    const on = !this.stored(p, 'Enable', b);
    if (on && this.untouched(p, b)) {
      for (const [word, value] of Object.entries(defaultBand(p, b))) setting.want(name(p, word, b), value);
    }
    setting.want(name(p, 'Enable', b), on);
    this.ui.record(before);
  }

  // Every handle whose centre lies under the pointer, in focus order.
  under(event) {
    return [...document.querySelectorAll('.handle')].filter((h) => {
      const box = h.getBoundingClientRect();
      return Math.hypot(event.clientX - (box.left + box.width / 2), event.clientY - (box.top + box.height / 2)) <= box.width / 2;
    });
  }

  drag(event, p, b, handle) {
    if (event.button !== 0) return;
    // Handles at one place take turns: a click on the one in focus takes the
    // next one there.
    const stack = this.under(event);
    if (stack.length > 1 && stack.includes(document.activeElement)) {
      const next = stack[(stack.indexOf(document.activeElement) + 1) % stack.length];
      if (next !== handle) {
        this.drag(event, +next.dataset.preset, +next.dataset.band, next);
        return;
      }
    }
    const { setting, history, plot } = this.ui;
    event.preventDefault();
    handle.focus();
    handle.setPointerCapture(event.pointerId);
    handle.classList.add('dragging');
    plot.hold = true;
    const names = [name(p, 'Freq', b), name(p, 'Gain', b), name(p, 'Q', b)];
    const before = history.snapshot([...names, name(p, 'Type', b)]);
    // An untouched band is moved from where it is shown.
    if (this.untouched(p, b)) {
      for (const [word, value] of Object.entries(defaultBand(p, b))) setting.want(name(p, word, b), value);
    }
    // Where on the handle it was grabbed: the handle does not jump to the pointer.
    const box = $('curve').getBoundingClientRect();
    const grab = handle.getBoundingClientRect();
    const offsetX = event.clientX - (grab.left + grab.width / 2);
    const offsetY = event.clientY - (grab.top + grab.height / 2);
    const startY = event.clientY;
    const shapesGain = hasGain(this.values(p, b).Type);
    const move = (e) => {
      const x = e.clientX - offsetX - box.left;
      const y = e.clientY - offsetY - box.top;
      if (e.altKey) {
        // Alt-drag: up narrows (higher Q), down widens.
        const q = before[names[2]] * Math.pow(2, (startY - e.clientY) / 60);
        setting.want(names[2], round(Math.min(100, Math.max(0.01, q)), 3));
        return;
      }
      setting.want(names[0], round(plot.hzAt(x), 4));
      if (shapesGain) {
        const gain = Math.round(plot.dbAt(y) * 10) / 10;
        setting.want(names[1], Math.max(-plot.extent, Math.min(plot.extent, gain)));
      }
    };
    const end = () => {
      handle.removeEventListener('pointermove', move);
      handle.removeEventListener('pointerup', end);
      handle.removeEventListener('pointercancel', end);
      handle.classList.remove('dragging');
      plot.hold = false;
      this.ui.record(before);
      this.ui.redraw();
    };
    handle.addEventListener('pointermove', move);
    handle.addEventListener('pointerup', end);
    handle.addEventListener('pointercancel', end);
  }

  key(event, p, b) {
    const { setting, history, plot } = this.ui;
    const freq = name(p, 'Freq', b);
    const gain = name(p, 'Gain', b);
    const q = name(p, 'Q', b);
    let property = null;
    let value = null;
    const key = event.key.toLowerCase();
    if (key === 'enter') {
      event.preventDefault();
      this.toggle(p, b);
      return;
    }
    if (key === 's' && !event.ctrlKey && !event.metaKey) {
      event.preventDefault();
      this.ui.solo(p, b);
      return;
    }
    if (key === 'r' && !event.ctrlKey && !event.metaKey) {
      event.preventDefault();
      this.ui.resetBand(p, b);
      return;
    }
    if (event.key === 'ArrowLeft' || event.key === 'ArrowRight') {
      property = freq;
      const factor = event.key === 'ArrowRight' ? SEMITONE : 1 / SEMITONE;
      const from = setting.current(freq) > 0 ? setting.current(freq) : LOW_HZ;
      value = round(Math.min(plot.nyquist, from * factor), 5);
    } else if ((event.key === 'ArrowUp' || event.key === 'ArrowDown') && event.shiftKey) {
      property = q;
      value = round(setting.current(q) * (event.key === 'ArrowUp' ? 1.1 : 1 / 1.1), 4);
    } else if (event.key === 'ArrowUp' || event.key === 'ArrowDown') {
      event.preventDefault();
      // A pass filter has no gain to nudge.
      if (!hasGain(this.stored(p, 'Type', b))) return;
      property = gain;
      value = Math.round((setting.current(gain) + (event.key === 'ArrowUp' ? 0.5 : -0.5)) * 10) / 10;
    } else {
      return;
    }
    event.preventDefault();
    const before = history.snapshot([property]);
    setting.want(property, value);
    this.ui.record(before);
  }
}
