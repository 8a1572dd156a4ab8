// The equaliser in the page: the provider's engine compiled to WebAssembly
// (tolvane-eq.wasm), one voice per instance, reached through the provider's
// own property and block entries. The page keeps one to know at once what
// the provider stores for an edit and to draw its curve from the designed
// coefficients; the audio worklet keeps another to play.
import { NAMES, slotValue, shownValue, token } from './properties.js';

// EqSampleState in this 32-bit build: two addresses, rate, lerp, then six
// bands of eighteen 32-bit fields.
export const LAYOUT = {
  rate: 8,
  lerp: 12,
  bands: 16,
  band: 72,
  fields: { freq: 0, q: 4, gain: 8, type: 12, enabled: 16, b0: 20, b1: 24, b2: 28, a1: 32, a2: 36 },
};

let compiled = null;

// The module, compiled once; null where the browser has no WebAssembly.
export function engineModule() {
  if (typeof WebAssembly !== 'object') return Promise.resolve(null);
  compiled ??= fetch('tolvane-eq.wasm').then(async (res) => {
    if (!res.ok) throw new Error(`the engine could not be loaded: ${res.status} ${res.statusText}`);
    return WebAssembly.compile(await res.arrayBuffer());
  });
  return compiled;
}

export class Voice {
  constructor(module) {
    this.eq = new WebAssembly.Instance(module, {}).exports;
    this.state = 0;
    this.rate = 0;
  }

  // A fresh sample state, opened as a host opens one at `rate`.
  open(rate) {
    this.state = this.eq.voice_open(rate);
    this.rate = rate;
  }

  view() {
    return new DataView(this.eq.memory.buffer);
  }

  // The property entry with a new value; answers what the provider stores,
  // in the page's form (types as words, switches as booleans).
  set(name, value) {
    const slot = slotValue(name, value);
    const slots = this.eq.voice_slots();
    const v = this.view();
    if (slot.int) v.setInt32(slots + 4, slot.value, true);
    else v.setFloat32(slots + 4, slot.value, true);
    this.eq.FLTSMP_sample_property(this.state, token(name), 0, slots + 4, slots + 8);
    return this.read(name, slots + 8, slot.int);
  }

  get(name) {
    const slots = this.eq.voice_slots();
    this.eq.FLTSMP_sample_property(this.state, token(name), slots + 8, 0, 0);
    return this.read(name, slots + 8, slotValue(name, 0).int);
  }

  read(name, at, int) {
    const v = this.view();
    return shownValue(name, int ? v.getInt32(at, true) : v.getFloat32(at, true));
  }

  values() {
    return Object.fromEntries(NAMES.map((name) => [name, this.get(name)]));
  }

  // Band i (preset p's band b is 3 p + b) as designed: its coefficients.
  band(i) {
    const v = this.view();
    const at = this.state + LAYOUT.bands + i * LAYOUT.band;
    const f = LAYOUT.fields;
    return {
      enabled: v.getInt32(at + f.enabled, true) !== 0,
      b0: v.getFloat32(at + f.b0, true),
      b1: v.getFloat32(at + f.b1, true),
      b2: v.getFloat32(at + f.b2, true),
      a1: v.getFloat32(at + f.a1, true),
      a2: v.getFloat32(at + f.a2, true),
    };
  }

  lerp() {
    return this.view().getFloat32(this.state + LAYOUT.lerp, true);
  }
}
