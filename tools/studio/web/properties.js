// The provider's 31 sample properties as the page and its audio worklet name
// them, and the bits their value slots carry. One module for both, so that
// what the worklet applies and logs is what the page asked for.

export const TYPES = ['lowpass', 'highpass', 'lowshelf', 'highshelf', 'peaking'];
export const WORDS = ['Freq', 'Q', 'Gain', 'Type', 'Enable'];
export const LERP = 'Lerp';

export const bandName = (preset, word, band) => `${preset} ${word} ${band}`;

// "Lerp" is token 3; "P Word B" is 4 + 15 P + 5 B + the word's place.
const TOKENS = new Map([[LERP, 3]]);
for (let p = 0; p < 2; ++p) {
  for (let b = 0; b < 3; ++b) {
    WORDS.forEach((word, k) => TOKENS.set(bandName(p, word, b), 4 + 15 * p + 5 * b + k));
  }
}
export const NAMES = [...TOKENS.keys()];
export const token = (name) => TOKENS.get(name);
export const wordOf = (name) => (name === LERP ? LERP : name.split(' ')[1]);

// How a value reaches its slot: Type and Enable are 32-bit integers, the
// rest 32-bit floats. Types may be given as words, switches as booleans.
export function slotValue(name, value) {
  const word = wordOf(name);
  if (word === 'Type') {
    const index = typeof value === 'string' ? TYPES.indexOf(value) : Math.trunc(Number(value));
    return { int: true, value: index };
  }
  if (word === 'Enable') return { int: true, value: value === true || Number(value) !== 0 ? 1 : 0 };
  return { int: false, value: Math.fround(Number(value)) };
}

// The page's own form of a stored slot: words for types, booleans for
// switches, and for a float the shortest decimal that is that float (as the
// server states it too).
export function shownValue(name, stored) {
  const word = wordOf(name);
  if (word === 'Type') return TYPES[stored] ?? stored;
  if (word === 'Enable') return stored !== 0;
  return Number(floatText(stored));
}

// The shortest decimal that reads back as the same 32-bit float: what a host
// would write to give exactly this value.
export function floatText(value) {
  const f = Math.fround(value);
  if (!Number.isFinite(f)) return String(f);
  for (let digits = 1; digits <= 9; ++digits) {
    const text = String(Number(f.toPrecision(digits)));
    if (Math.fround(Number(text)) === f) return text;
  }
  return String(f);
}
