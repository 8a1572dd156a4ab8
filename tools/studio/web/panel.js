// The side panel: Lerp and every band's five properties, as the provider
// stores them, each with a note when it stored something other than given.
import { hasGain } from './handles.js';
import { bandName as name, TYPES } from './properties.js';

const $ = (id) => document.getElementById(id);

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
    top.append(label, type);

    const values = document.createElement('div');
    values.className = 'row values';
    for (const [word, step] of [['Freq', 'any'], ['Q', 'any'], ['Gain', '0.1']]) {
      const field = document.createElement('label');
      field.className = 'num';
      const input = document.createElement('input');
      input.type = 'number';
      input.step = step;
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
      else if (!control.dataset.typing) control.value = value;
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
        value = Number(control.value);
        if (control.value.trim() === '' || !Number.isFinite(value)) {
          control.value = setting.stored[property];
          return;
        }
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
      if (event.target.type === 'number') event.target.dataset.typing = '1';
    });
    panel.addEventListener('focusout', (event) => {
      const field = event.target;
      if (field.type !== 'number' || !field.dataset.typing) return;
      delete field.dataset.typing;
      field.value = setting.stored[field.dataset.name];
    });
    panel.addEventListener('keydown', (event) => {
      const field = event.target;
      if (field.type !== 'number') return;
      if (event.key === 'Enter') this.commitTyped();
      if (event.key === 'Escape' && field.dataset.typing) {
        delete field.dataset.typing;
        field.value = setting.stored[field.dataset.name];
      }
    });

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

  // Commits a number typed but not yet committed: Enter, and Ctrl+S from
  // inside its field, which saves it too.
  commitTyped() {
    const field = document.activeElement;
    if (field?.type === 'number' && field.dataset.typing) {
      field.dispatchEvent(new Event('change', { bubbles: true }));
    }
  }
}
