// Replays a trace that wasm_trace wrote from the native provider (its format
// is described there) on the studio's WebAssembly module, calling the
// module's own FLTSMP_sample_property and FLTSMP_sample_process: every
// result, slot, output and state must be the native build's, bit for bit.
//
// WebAssembly may give a NaN another sign or payload than x86 does; a state
// that differs only there is counted, not failed, and the replay goes on from
// the module's own state, so any later output it would change still fails.
//
// Usage: node replay.mjs MODULE.wasm TRACE
import { readFileSync } from 'node:fs';

const [modulePath, tracePath] = process.argv.slice(2);
if (!tracePath) {
  console.error('usage: node replay.mjs MODULE.wasm TRACE');
  process.exit(2);
}

const { instance } = await WebAssembly.instantiate(readFileSync(modulePath), {});
const eq = instance.exports;
const memory = () => new DataView(eq.memory.buffer);
const VALUES_AT = 8; // sample and driver: two 32-bit addresses in this build
const VALUES_SIZE = 440;
const CAPACITY = eq.voice_capacity();

function fnv(bytes) {
  let h = 0x811c9dc5;
  for (let i = 0; i < bytes.length; ++i) h = Math.imul(h ^ bytes[i], 0x01000193) >>> 0;
  return h >>> 0;
}

const trace = readFileSync(tracePath);
const view = new DataView(trace.buffer, trace.byteOffset, trace.byteLength);
let at = 0;
const u8 = () => view.getUint8(at++);
const i32 = () => { const v = view.getInt32(at, true); at += 4; return v; };
const u32 = () => { const v = view.getUint32(at, true); at += 4; return v; };
const take = (n) => { const b = trace.subarray(at, at + n); at += n; return b; };

let state = 0;
const counts = { opens: 0, properties: 0, blocks: 0, values: 0, states: 0, nanOnly: 0 };
let operation = 0;

function fail(what) {
  console.error(`replay: operation ${operation} (byte ${at} of the trace): ${what}`);
  process.exit(1);
}

const stateValues = () => new Uint8Array(eq.memory.buffer, state + VALUES_AT, VALUES_SIZE);

// Both NaN at every place the two differ.
function differsOnlyInNaNs(ours, expected) {
  const a = new DataView(ours.buffer, ours.byteOffset, VALUES_SIZE);
  const b = new DataView(expected.buffer, expected.byteOffset, VALUES_SIZE);
  for (let i = 0; i < VALUES_SIZE; i += 4) {
    const x = a.getUint32(i, true);
    const y = b.getUint32(i, true);
    if (x !== y && !(Number.isNaN(a.getFloat32(i, true)) && Number.isNaN(b.getFloat32(i, true)))) {
      return false;
    }
  }
  return true;
}

while (at < trace.length) {
  const kind = String.fromCharCode(u8());
  ++operation;
  if (kind === 'O') {
    state = eq.voice_open(i32());
    ++counts.opens;
  } else if (kind === 'P') {
    const token = i32();
    const shape = u8();
    const value = u32();
    const result = i32();
    const want = [u32(), u32(), u32()];
    const slots = eq.voice_slots();
    const m = memory();
    m.setUint32(slots, 0xdeadbeef, true);
    m.setUint32(slots + 4, value, true);
    m.setUint32(slots + 8, 0xdeadbeef, true);
    // As the scenario gives them: a slot missing, or before and new shared.
    if (shape === 3) m.setUint32(slots, value, true);
    const before = shape === 1 ? 0 : slots;
    const next = shape === 2 ? 0 : shape === 3 ? slots : slots + 4;
    const after = shape === 4 ? 0 : slots + 8;
    const got = eq.FLTSMP_sample_property(state, token, before, next, after);
    const m2 = memory();
    const slotsNow = [0, 4, 8].map((k) => m2.getUint32(slots + k, true));
    if (got !== result || slotsNow.some((v, k) => v !== want[k])) {
      fail(`property ${token} value 0x${value.toString(16)}: result ${got} slots ${slotsNow.map((v) => v.toString(16))},` +
           ` native ${result} ${want.map((v) => v.toString(16))}`);
    }
    ++counts.properties;
  } else if (kind === 'B') {
    const frames = i32();
    const rate = i32();
    const stereo = u8();
    const inPlace = u8();
    const zeros = u8();
    const n = frames > 0 ? frames * (stereo ? 2 : 1) : 0;
    if (frames > CAPACITY) fail(`a block of ${frames} frames is more than the module's ${CAPACITY}`);
    const input = zeros ? new Int16Array(n) : new Int16Array(new Uint8Array(take(2 * n)).buffer);
    const expected = u32();
    const inAt = eq.voice_input();
    const outAt = eq.voice_output();
    const out = new Int16Array(eq.memory.buffer, outAt, n + 1);
    out.fill(0x7777);
    if (inPlace) {
      out.set(input);
      eq.FLTSMP_sample_process(state, outAt, outAt, frames, rate, stereo);
    } else {
      new Int16Array(eq.memory.buffer, inAt, n).set(input);
      eq.FLTSMP_sample_process(state, inAt, outAt, frames, rate, stereo);
    }
    const result = new Int16Array(eq.memory.buffer, outAt, n + 1);
    if (result[n] !== 0x7777) fail(`a block of ${frames} frames wrote past its end`);
    const got = fnv(new Uint8Array(eq.memory.buffer, outAt, 2 * n));
    if (got !== expected) {
      fail(`block of ${frames} ${stereo ? 'stereo' : 'mono'} frames at ${rate} Hz` +
           `${inPlace ? ' in place' : ''}: the output differs from the native build's`);
    }
    ++counts.blocks;
    counts.values += n;
  } else if (kind === 'W') {
    stateValues().set(take(VALUES_SIZE));
  } else if (kind === 'S') {
    const expected = u32();
    const full = u8() ? take(VALUES_SIZE) : null;
    const ours = stateValues();
    if (fnv(ours) !== expected) {
      if (full && differsOnlyInNaNs(ours, full)) ++counts.nanOnly;
      else fail('the state differs from the native build\'s');
    }
    ++counts.states;
  } else {
    fail(`unknown record '${kind}'`);
  }
}

console.log(`replayed ${counts.opens} voices: ${counts.properties} property calls, ${counts.blocks} blocks ` +
            `(${counts.values} output values), ${counts.states} states compared; ` +
            `${counts.nanOnly} states differed only in a NaN's sign or payload`);
