// The setting being edited: what the provider stores for each of the 31
// properties. An edit is made on the engine in the page at once, so the
// stored value, the curve and the sound follow within a frame; it also goes
// to the studio's server, which keeps the setting for Save and must store
// exactly the same. Without WebAssembly the server's answers are the stored
// values, a round trip later.
import { api } from './api.js';

export class Setting {
  // voice: an engine Voice, or null; changed(names) hears of every change
  // to the stored values; failed(error) of every refusal.
  constructor({ voice, changed, failed }) {
    this.voice = voice;
    this.changed = changed;
    this.failed = failed;
    this.stored = {};
    this.saved = {}; // as last read or saved
    this.version = 0; // of the server's setting, as this page last knew it
    this.unsaved = false;
    this.wanted = new Map(); // not yet sent to the server
    this.asked = new Map(); // sent or to be sent, until answered (no voice)
    this.pumping = null;
    this.listeners = [];
  }

  // The whole setting, as the server has it, onto the voice (at `rate`).
  load(state, rate) {
    this.stored = { ...state.properties };
    this.take(state);
    if (this.voice) this.reopen(rate);
  }

  // What the server says of its setting as a whole.
  take(state) {
    if (state.saved_properties) this.saved = { ...state.saved_properties };
    if (state.version !== undefined) this.version = state.version;
    if (state.changed !== undefined) this.unsaved = state.changed;
  }

  // Another page changed the setting: its values, made here as edits are
  // (the voice and the sound follow) but not sent back. Answers the names.
  adopt(state) {
    const names = Object.keys(state.properties).filter((name) => state.properties[name] !== this.stored[name]);
    for (const name of names) {
      for (const listener of this.listeners) listener(name, state.properties[name]);
      this.stored[name] = this.voice ? this.voice.set(name, state.properties[name]) : state.properties[name];
    }
    this.take(state);
    if (names.length) this.changed(names);
    return names;
  }

  reopen(rate) {
    if (!this.voice) return;
    this.voice.open(rate);
    for (const [name, value] of Object.entries(this.stored)) this.voice.set(name, value);
  }

  // Hears of each edit as it is made (the player sends it to the worklet).
  onEdit(listener) {
    this.listeners.push(listener);
  }

  // A property's value as the edits so far leave it.
  current(name) {
    return this.asked.has(name) ? this.asked.get(name) : this.stored[name];
  }

  want(name, value) {
    this.wanted.set(name, value);
    for (const listener of this.listeners) listener(name, value);
    if (this.voice) {
      const stored = this.voice.set(name, value);
      if (stored !== this.stored[name]) {
        this.stored[name] = stored;
        this.changed([name]);
      }
    } else {
      this.asked.set(name, value);
    }
    this.pumping ??= this.pump();
  }

  // Edits go out in batches, each property's latest value once: a drag makes
  // many, and only where it is now matters.
  async pump() {
    try {
      await null; // the rest of this event's edits join the batch
      while (this.wanted.size) {
        const batch = [...this.wanted];
        this.wanted.clear();
        const answers = await Promise.all(batch.map(async ([name, value]) => {
          try {
            return await (await api.putProperty(name, value)).read();
          } catch (error) {
            this.failed(error);
            return null;
          } finally {
            if (this.asked.get(name) === value) this.asked.delete(name);
          }
        }));
        const names = [];
        for (const answer of answers) {
          if (!answer) continue;
          if (this.voice) {
            // The same provider, the same clamping: a difference is a fault.
            const mine = this.stored[answer.name];
            const same = typeof mine === 'number'
              ? Math.fround(mine) === Math.fround(answer.stored) : mine === answer.stored;
            if (!same && !this.wanted.has(answer.name)) {
              this.failed(new Error(`the page stores ${mine} for "${answer.name}", the server ${answer.stored}`));
            }
          } else if (!this.asked.has(answer.name)) {
            this.stored[answer.name] = answer.stored;
            names.push(answer.name);
          }
          this.version = Math.max(this.version, answer.version ?? 0);
          this.unsaved = answer.changed ?? this.unsaved;
          this.answered?.(answer);
        }
        if (names.length) this.changed(names);
      }
    } finally {
      this.pumping = null;
    }
  }

  // Resolves once the server has every edit.
  idle() {
    return this.pumping ?? Promise.resolve();
  }

  get busy() {
    return Boolean(this.pumping);
  }
}

const UNITS = { Freq: ' Hz', Gain: ' dB', Q: '' };

function shown(name, value) {
  const word = name.split(' ')[1] ?? name;
  if (typeof value === 'boolean') return value ? 'on' : 'off';
  if (typeof value !== 'number') return String(value);
  return `${word === 'Gain' && value > 0 ? '+' : ''}${+value.toPrecision(5)}${UNITS[word] ?? ''}`;
}

// An undo step's name, as Undo and Redo show it: "preset 0 band 1 Freq 1000
// → 1234 Hz", or the step's own name (a copy, a reset, a reload).
export function stepName(changes) {
  const parts = changes.map(({ name, before, after }) => {
    const [p, word, b] = name.split(' ');
    const what = word ? `preset ${p} band ${b} ${word}` : name;
    return `${what} ${shown(name, before)} → ${shown(name, after)}`;
  });
  return parts.length <= 2 ? parts.join(', ') : `${parts[0]} and ${parts.length - 1} more`;
}

// Undo and redo: each step the values before an edit and after it.
export class History {
  constructor(setting, changed) {
    this.setting = setting;
    this.changed = changed;
    this.done = [];
    this.undone = [];
  }

  snapshot(names) {
    return Object.fromEntries(names.map((n) => [n, this.setting.current(n)]));
  }

  // One step, from the values `before` to what is stored now; `name` names
  // it when the values alone would not say what it was.
  async record(before, name = null) {
    await this.setting.idle();
    const changes = Object.keys(before)
      .filter((key) => before[key] !== this.setting.stored[key])
      .map((key) => ({ name: key, before: before[key], after: this.setting.stored[key] }));
    if (!changes.length) return;
    changes.label = name ?? stepName(changes);
    this.done.push(changes);
    this.undone = [];
    this.changed();
  }

  get undoName() {
    return this.done.at(-1)?.label ?? null;
  }

  get redoName() {
    return this.undone.at(-1)?.label ?? null;
  }

  async travel(from, to, side) {
    const changes = from.pop();
    if (!changes) return;
    for (const change of changes) this.setting.want(change.name, change[side]);
    await this.setting.idle();
    to.push(changes);
    this.changed();
  }

  undo() {
    return this.travel(this.done, this.undone, 'before');
  }

  redo() {
    return this.travel(this.undone, this.done, 'after');
  }

  clear() {
    this.done = [];
    this.undone = [];
    this.changed();
  }
}
