// The side panel: Lerp and every band's five properties, as the provider
// stores them, each with a note when it stored something other than given.
// Values are typed as a person writes them (2k, 2 kHz, -3 dB) and stepped by
// the arrow keys or the wheel by amounts that fit each quantity.
import { hasGain, round } from './handles.js';
import { bandName as name, TYPES } from './properties.js';

const $ = (id) => document.getElementById(id);

const UNITS = {
  Freq: 'a frequency in Hz or kHz, as 1200, 1.2k or 1.2 kHz',
  Q: 'a plain number, as 0.707 or 2',
  Gain: 'a level in dB, as -3 or +4.5 dB',
};

// A typed value of Freq, Q or Gain; null when it cannot be read.
export function parseQuantity(word, text) {
  const m = text.trim().toLowerCase().replace(/\s+/g, ' ')
    .match(/^([-+]?(?:\d+\.?\d*|\.\d+)(?:e[-+]?\d+)?) ?([a-z]*)$/);
  if (!m) return null;
  let value = Number(m[1]);
  const unit = m[2];
  if (word === 'Freq') {
    if (unit === 'k' || unit === 'khz') value *= 1000;
    else if (unit !== '' && unit !== 'hz') return null;
  } else if (word === 'Gain') {
    if (unit !== '' && unit !== 'db') return null;
  } else if (unit !== '') {
    return null;
  }
  return Number.isFinite(value) ? value : null;
}

// One step up or down: Freq by a twelfth of an octave (Shift: an octave), Q
// by 10% (Shift: doubled or halved), Gain by 0.1 dB (Shift: 1 dB).
export function stepped(word, value, up, coarse) {
  const sign = up ? 1 : -1;
  if (word === 'Freq') {
    if (!(value > 0)) return up ? 10 : 0;
    return round(value * Math.pow(2, sign * (coarse ? 1 : 1 / 12)), 5);
  }
  if (word === 'Q') return round(value * Math.pow(coarse ? 2 : 1.1, sign), 4);
  return Math.round((value + sign * (coarse ? 1 : 0.1)) * 10) / 10;
}

export class Panel {
  // ui: { setting, history, record(before), commit }
  constructor(ui) {
    this.ui = ui;
    this.build();
    this.wire();
  }

  build() {
    const holder = $('presets');
    holder.replaceChildren();
    for (let p = 0; p < 2; ++p) {
      const section = document.createElement('section');
      section.className = `preset p${p}`;
      section.setAttribute('aria-label', `preset ${p}`);
      const title = document.createElement('h2');
      title.innerHTML = `Preset ${p} <span class="weight" id="weight-${p}"></span>`;
      const copy = document.createElement('button');
      copy.type = 'button';
      copy.className = 'small copy';
      copy.id = `copy-${p}`;
      copy.textContent = `copy to ${1 - p}`;
      copy.title = `preset ${1 - p}'s bands become preset ${p}'s (one undo step)`;
      copy.addEventListener('click', () => this.ui.copyPreset(p, 1 - p));
      title.append(copy);
      section.append(title);
      for (let b = 0; b < 3; ++b) section.append(this.band(p, b));
      holder.append(section);
    }
  }

  band(p, b) {
    const band = document.createElement('div');
    band.className = 'band';
    band.id = `band-${p}-${b}`;
    band.setAttribute('role', 'group');
    band.setAttribute('aria-label', `preset ${p} band ${b}`);

    const enable = document.createElement('label');
    enable.className = 'switch';
    const box = document.createElement('input');
    box.type = 'checkbox';
    box.dataset.name = name(p, 'Enable', b);
    box.setAttribute('aria-label', `preset ${p} band ${b} Enable`);
    box.title = `"${name(p, 'Enable', b)}" in a settings file`;
    enable.append(box);

    const top = document.createElement('div');
    top.className = 'row top';
    const label = document.createElement('span');
    label.className = 'name';
    label.textContent = `band ${b}`;
    const type = document.createElement('select');
    type.dataset.name = name(p, 'Type', b);
    type.setAttribute('aria-label', `preset ${p} band ${b} Type`);
    type.title = `"${name(p, 'Type', b)}" in a settings file`;
    for (const word of TYPES) type.append(new Option(word, word));
    const solo = document.createElement('button');
    solo.type = 'button';
    solo.className = 'small solo';
    solo.id = `solo-${p}-${b}`;
    solo.textContent = 'listen';
    solo.setAttribute('aria-pressed', 'false');
    solo.title = 'hear only what this band changes (a listening aid, not what the game plays); S on its handle';
    solo.addEventListener('click', () => this.ui.solo(p, b));
    const reset = document.createElement('button');
    reset.type = 'button';
    reset.className = 'small reset';
    reset.id = `reset-${p}-${b}`;
    reset.textContent = 'reset';
    reset.title = 'back to a flat peaking band at its default place (one undo step); R on its handle';
    reset.addEventListener('click', () => this.ui.resetBand(p, b));
    top.append(label, type, solo, reset);

    const values = document.createElement('div');
    values.className = 'row values';
    for (const word of ['Freq', 'Q', 'Gain']) {
      const field = document.createElement('label');
      field.className = 'num';
      const input = document.createElement('input');
      input.type = 'text';
      input.inputMode = 'decimal';
      input.autocomplete = 'off';
      input.spellcheck = false;
      input.dataset.word = word;
      input.dataset.name = name(p, word, b);
      input.setAttribute('aria-label', `preset ${p} band ${b} ${word}`);
      input.title = `"${name(p, word, b)}" in a settings file`;
      const note = document.createElement('span');
      note.className = 'note';
      note.dataset.name = name(p, word, b);
      field.append(`${word}${word === 'Freq' ? ' Hz' : word === 'Gain' ? ' dB' : ''}`, input, note);
      values.append(field);
    }
    band.append(enable, top, values);
    return band;
  }

  refresh() {
    const stored = this.ui.setting.stored;
    for (const control of document.querySelectorAll('.panel [data-name]')) {
      if (control.classList.contains('note')) continue;
      const value = stored[control.dataset.name];
      if (value === undefined) continue;
      if (control.type === 'checkbox') control.checked = value;
      else if (!control.dataset.typing) {
        control.value = value;
        this.valid(control, true);
      }
    }
    const lerp = stored.Lerp;
    $('lerp-value').textContent = Number(lerp).toFixed(3);
    $('weight-0').textContent = `weight ${lerp.toFixed(3)}`;
    $('weight-1').textContent = `weight ${Math.fround(1 - lerp).toFixed(3)}`;
    for (let p = 0; p < 2; ++p) {
      for (let b = 0; b < 3; ++b) {
        const type = stored[name(p, 'Type', b)];
        $(`band-${p}-${b}`).classList.toggle('off', !stored[name(p, 'Enable', b)]);
        const gainField = document.querySelector(`input[data-name="${name(p, 'Gain', b)}"]`);
        gainField.disabled = !hasGain(type);
        gainField.title = gainField.disabled ? `a ${type} has no gain`
          : `"${name(p, 'Gain', b)}" in a settings file`;
      }
    }
  }

  // The provider stores floats: only a value it changed beyond that is noted.
  note(property, given, stored) {
    const note = document.querySelector(`.note[data-name="${property}"]`);
    if (!note) return;
    const clamped = typeof stored === 'number' && Math.fround(Number(given)) !== Math.fround(stored);
    note.textContent = clamped ? `given ${given}` : '';
    note.title = clamped ? `given ${given}, the provider stored ${stored}` : '';
  }

  wire() {
    const { setting, history } = this.ui;
    const panel = document.querySelector('.panel');
    panel.addEventListener('change', (event) => {
      const control = event.target;
      const property = control.dataset.name;
      if (!property || property === 'Lerp') return;
      delete control.dataset.typing;
      let value;
      if (control.type === 'checkbox') value = control.checked;
      else if (control.tagName === 'SELECT') value = control.value;
      else {
        value = parseQuantity(control.dataset.word, control.value);
        if (value === null) {
          // Refused where it was typed, and kept there to be mended.
          control.dataset.typing = '1';
          this.valid(control, false);
          this.ui.say(`"${control.value}" is not ${UNITS[control.dataset.word]}; Escape gives back ${setting.stored[property]}`, true);
          return;
        }
        this.valid(control, true);
      }
      // Enter commits a field, and the browser may report the same change
      // again (on Enter, or on leaving it): sent once.
      if (value === setting.current(property)) return;
      const before = history.snapshot([property]);
      setting.want(property, value);
      this.ui.record(before);
    });
    // A field being typed in keeps what is typed until it is committed: Enter
    // or leaving it. Escape gives back the stored value.
    panel.addEventListener('input', (event) => {
      if (event.target.dataset.word) event.target.dataset.typing = '1';
    });
    panel.addEventListener('keydown', (event) => {
      const field = event.target;
      if (!field.dataset.word) return;
      if (event.key === 'Enter') this.commitTyped();
      if (event.key === 'Escape' && field.dataset.typing) {
        delete field.dataset.typing;
        field.value = setting.stored[field.dataset.name];
        this.valid(field, true);
      }
      if (event.key === 'ArrowUp' || event.key === 'ArrowDown') {
        event.preventDefault();
        this.step(field, event.key === 'ArrowUp', event.shiftKey);
      }
    });
    // The wheel steps a field that has the focus, a step a notch, one undo
    // step a turn.
    panel.addEventListener('wheel', (event) => {
      const field = event.target;
      if (!field.dataset?.word || document.activeElement !== field || field.disabled) return;
      event.preventDefault();
      this.ui.wheelTurn(field.dataset.name);
      this.step(field, event.deltaY < 0, event.shiftKey, false);
    }, { passive: false });

    const lerp = $('lerp');
    let before = null;
    lerp.addEventListener('input', () => {
      before ??= history.snapshot(['Lerp']);
      setting.want('Lerp', Number(lerp.value));
    });
    lerp.addEventListener('change', () => {
      if (before) this.ui.record(before);
      before = null;
    });
  }

  step(field, up, coarse, record = true) {
    const { setting, history } = this.ui;
    const property = field.dataset.name;
    delete field.dataset.typing;
    const before = history.snapshot([property]);
    setting.want(property, stepped(field.dataset.word, setting.current(property), up, coarse));
    if (record) this.ui.record(before);
  }

  valid(field, ok) {
    field.classList.toggle('invalid', !ok);
    if (ok) field.removeAttribute('aria-invalid');
    else field.setAttribute('aria-invalid', 'true');
  }

  // Commits a value typed but not yet committed: Enter, and Ctrl+S from
  // inside its field, which saves it too.
  commitTyped() {
    const field = document.activeElement;
    if (field?.dataset?.word && field.dataset.typing) {
      field.dispatchEvent(new Event('change', { bubbles: true }));
    }
  }
}
