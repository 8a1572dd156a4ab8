// The bands' handles on the plot: drag sideways for Freq and up and down for
// Gain, the wheel or Alt-drag for Q, double-click to switch a band off, and
// from the keyboard the arrows (Shift: Q).
import { Plot } from './plot.js';
import { bandName as name } from './properties.js';

const SHAPES_GAIN = new Set(['lowshelf', 'highshelf', 'peaking']);
const SEMITONE = Math.pow(2, 1 / 12);
const $ = (id) => document.getElementById(id);

export const hasGain = (type) => SHAPES_GAIN.has(type);

// Significant digits that read well and that a float holds.
export function round(value, digits) {
  return Number(value.toPrecision(digits));
}

export class Handles {
  // ui: { setting, history, plot, response(), edit(names, before) }
  constructor(ui) {
    this.ui = ui;
    this.turn = null;
  }

  stored(p, word, b) {
    return this.ui.setting.stored[name(p, word, b)];
  }

  label(p, b) {
    const type = this.stored(p, 'Type', b);
    const freq = this.stored(p, 'Freq', b);
    const gain = this.stored(p, 'Gain', b);
    const q = this.stored(p, 'Q', b);
    const hz = freq >= 1000 ? `${+(freq / 1000).toFixed(3)} kHz` : `${+freq.toFixed(1)} Hz`;
    const db = hasGain(type) ? `, ${gain > 0 ? '+' : ''}${gain.toFixed(1)} dB` : '';
    return `preset ${p} band ${b}, ${type}, ${hz}${db}, Q ${+q.toFixed(3)}`;
  }

  level(p, b) {
    const type = this.stored(p, 'Type', b);
    if (hasGain(type)) return this.stored(p, 'Gain', b);
    // A pass filter has no gain: its handle rides on its preset's curve.
    const response = this.ui.response();
    const values = p === 0 ? response.preset0_db : response.preset1_db;
    return Plot.levelAt(response, values, this.stored(p, 'Freq', b));
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
        if (!this.stored(p, 'Enable', b)) {
          handle?.remove();
          continue;
        }
        if (!handle) {
          handle = this.make(p, b, id);
          // Keep the focus order preset by preset, band by band.
          const next = [...layer.children].find((h) => h.id > id);
          layer.insertBefore(handle, next || null);
        }
        const freq = this.stored(p, 'Freq', b);
        const level = Math.max(-plot.extent, Math.min(plot.extent, this.level(p, b)));
        handle.style.left = `${plot.x(Math.min(freq, plot.nyquist))}px`;
        handle.style.top = `${plot.y(level)}px`;
        handle.setAttribute('aria-label', this.label(p, b));
        handle.title = this.label(p, b);
        handle.classList.toggle('gated', weights[p] < 0.001);
      }
    }
    const focused = document.activeElement;
    if (focused?.classList.contains('handle')) this.readout(+focused.dataset.preset, +focused.dataset.band);
  }

  readout(p, b) {
    $('readout').textContent = this.label(p, b);
  }

  make(p, b, id) {
    const { setting, history } = this.ui;
    const handle = document.createElement('button');
    handle.type = 'button';
    handle.id = id;
    handle.className = `handle p${p}`;
    handle.dataset.preset = p;
    handle.dataset.band = b;
    handle.textContent = b;
    handle.addEventListener('pointerdown', (event) => this.drag(event, p, b, handle));
    handle.addEventListener('dblclick', () => {
      const before = history.snapshot([name(p, 'Enable', b)]);
      setting.want(name(p, 'Enable', b), false);
      this.ui.record(before);
    });
    handle.addEventListener('wheel', (event) => {
      event.preventDefault();
      const q = name(p, 'Q', b);
      this.wheelTurn(q);
      setting.want(q, round(setting.current(q) * (event.deltaY < 0 ? 1.1 : 1 / 1.1), 3));
    }, { passive: false });
    handle.addEventListener('keydown', (event) => this.nudge(event, p, b));
    handle.addEventListener('focus', () => this.readout(p, b));
    handle.addEventListener('blur', () => { $('readout').textContent = ''; });
    return handle;
  }

  // A turn of the wheel, notch after notch, is one undo step: it ends when
  // the wheel rests, or when anything else is undone or redone.
  wheelTurn(property) {
    if (this.turn && this.turn.property !== property) this.endTurn();
    if (!this.turn) this.turn = { property, before: this.ui.history.snapshot([property]) };
    clearTimeout(this.turn.timer);
    this.turn.timer = setTimeout(() => this.endTurn(), 400);
  }

  endTurn() {
    if (!this.turn) return;
    clearTimeout(this.turn.timer);
    this.ui.record(this.turn.before);
    this.turn = null;
  }

  drag(event, p, b, handle) {
    if (event.button !== 0) return;
    const { setting, history, plot } = this.ui;
    event.preventDefault();
    handle.focus();
    handle.setPointerCapture(event.pointerId);
    handle.classList.add('dragging');
    const names = [name(p, 'Freq', b), name(p, 'Gain', b), name(p, 'Q', b)];
    const before = history.snapshot(names);
    // Where on the handle it was grabbed: the handle does not jump to the pointer.
    const box = $('curve').getBoundingClientRect();
    const grab = handle.getBoundingClientRect();
    const offsetX = event.clientX - (grab.left + grab.width / 2);
    const offsetY = event.clientY - (grab.top + grab.height / 2);
    const startY = event.clientY;
    const shapesGain = hasGain(this.stored(p, 'Type', b));
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
      this.ui.record(before);
    };
    handle.addEventListener('pointermove', move);
    handle.addEventListener('pointerup', end);
    handle.addEventListener('pointercancel', end);
  }

  nudge(event, p, b) {
    const { setting, history, plot } = this.ui;
    const freq = name(p, 'Freq', b);
    const gain = name(p, 'Gain', b);
    const q = name(p, 'Q', b);
    let property = null;
    let value = null;
    if (event.key === 'ArrowLeft' || event.key === 'ArrowRight') {
      property = freq;
      const factor = event.key === 'ArrowRight' ? SEMITONE : 1 / SEMITONE;
      value = round(Math.min(plot.nyquist, setting.current(freq) * factor), 5);
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
