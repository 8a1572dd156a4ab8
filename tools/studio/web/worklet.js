// The audio worklet that plays the file through the equaliser: one voice of
// the engine, the file's 16-bit samples, and a render quantum of 128 frames
// per call of the block entry, at the file's own rate. Every change the page
// sends is made through the property entry between two quanta, as a game
// makes it between two blocks, and logged with the index of the block it
// came before: the log is what was heard (`tolvane render --automation`).
//
// Output 0 is what is heard (the equaliser's 16-bit result / 32768, or the
// input under Bypass); output 1 is the input, for the input analyser.
import { Voice } from './engine.js';
import { floatText, LERP, slotValue, token } from './properties.js';

const QUANTUM = 128;
const METER_EVERY = 8; // quanta between meter messages: about 21 ms at 48 kHz

class VoiceProcessor extends AudioWorkletProcessor {
  constructor() {
    super();
    this.voice = null;
    this.pcm = null;
    this.playing = false;
    this.port.onmessage = (event) => this.receive(event.data);
  }

  receive(m) {
    switch (m.type) {
      case 'start': return this.start(m);
      case 'change': return this.change(m.name, m.value, m.id);
      case 'play': this.playing = m.playing; return this.meter();
      case 'seek': this.position = this.inFile(m.frame); return this.event('seek', this.position);
      case 'loop': return this.setLoop(m.from, m.to);
      case 'bypass':
        if (this.bypass !== m.on) this.event('bypass', m.on ? 'on' : 'off');
        this.bypass = m.on;
        return undefined;
      case 'sweep': this.sweep = m.on ? { from: m.from, to: m.to } : null; return undefined;
      case 'solo': return this.setSolo(m.setting);
      case 'log': return this.port.postMessage({ type: 'log', id: m.id, text: this.logText() });
      // For the tests: keep what is heard from now on, and hand it over.
      case 'record':
        this.recording = m.on ? [] : null;
        this.recordFrom = this.blocks;
        return undefined;
      case 'recorded':
        return this.port.postMessage({ type: 'recorded', id: m.id, chunks: { from: this.recordFrom, blocks: this.recording } });
      default: return undefined;
    }
  }

  // A new session on a file: a fresh voice at its rate, the whole setting
  // given before the first block.
  start(m) {
    this.voice ??= new Voice(m.module);
    this.moduleOf = m.module;
    this.soloVoice = null;
    this.voice.open(m.rate);
    this.eq = this.voice.eq;
    this.rate = m.rate;
    this.channels = m.channels;
    this.pcm = m.pcm;
    this.frames = m.pcm.length / m.channels;
    this.name = m.name;
    this.blocks = 0;
    this.events = [];
    this.bypass = Boolean(m.bypass);
    this.sweep = null;
    this.position = this.inFile(m.position ?? 0);
    this.startFrame = this.position;
    this.loopFrom = 0;
    this.loopTo = this.frames;
    this.setLoop(m.loop?.[0] ?? 0, m.loop?.[1] ?? this.frames);
    if (this.bypass) this.event('bypass', 'on');
    for (const [name, value] of Object.entries(m.setting)) this.change(name, value);
    this.peak = 0;
    this.clipped = 0;
    this.quanta = 0;
    // The module's memory never grows (the engine allocates nothing), so
    // these views of its buffers stay valid.
    this.input = new Int16Array(this.eq.memory.buffer, this.eq.voice_input(), QUANTUM * this.channels);
    this.output = new Int16Array(this.eq.memory.buffer, this.eq.voice_output(), QUANTUM * this.channels);
  }

  // A listening aid: a second voice with a setting of the page's making (one
  // band alone, or a band-pass around it) is heard instead of the voice,
  // which runs on. The log marks the stretch: it is not what a game plays.
  setSolo(setting) {
    if (!setting) {
      if (this.soloVoice) this.event('solo', 'off');
      this.soloVoice = null;
      return;
    }
    if (!this.soloVoice) {
      // Opened once a stretch; later settings of it (the band edited while
      // heard alone) are changes that keep its histories.
      this.event('solo', 'on');
      this.soloVoice = this.soloSpare ??= new Voice(this.moduleOf);
      this.soloVoice.open(this.rate);
      const eq = this.soloVoice.eq;
      this.soloInput = new Int16Array(eq.memory.buffer, eq.voice_input(), QUANTUM * this.channels);
      this.soloOutput = new Int16Array(eq.memory.buffer, eq.voice_output(), QUANTUM * this.channels);
    }
    for (const [name, value] of Object.entries(setting)) this.soloVoice.set(name, value);
  }

  inFile(frame) {
    return Math.max(0, Math.min(this.frames - 1, Math.floor(frame)));
  }

  setLoop(from, to) {
    const a = this.inFile(from);
    const b = Math.max(a + 1, Math.min(this.frames, Math.floor(to)));
    if (a === this.loopFrom && b === this.loopTo && this.events.length) return;
    this.loopFrom = a;
    this.loopTo = b;
    this.event('loop', `${a} ${b}`);
    if (this.position < a || this.position >= b) {
      this.position = a;
      this.event('seek', a);
    }
  }

  event(kind, text) {
    if (this.events) this.events.push(`${this.blocks} ${kind} ${text}`);
  }

  // The property entry, now: between the quantum just played and the next.
  change(name, value, id) {
    if (!this.voice) return;
    const slot = slotValue(name, value);
    const slots = this.eq.voice_slots();
    const view = new DataView(this.eq.memory.buffer);
    if (slot.int) view.setInt32(slots, slot.value, true);
    else view.setFloat32(slots, slot.value, true);
    this.eq.FLTSMP_sample_property(this.voice.state, token(name), 0, slots, 0);
    this.events.push(`${this.blocks} "${name}" ${slot.int ? slot.value : floatText(slot.value)}`);
    // Stamped with the wall clock, the one clock the page shares with it.
    if (id !== undefined) this.port.postMessage({ type: 'applied', id, block: this.blocks, at: Date.now() });
  }

  process(inputs, outputs) {
    const heard = outputs[0];
    const tap = outputs[1];
    if (!this.playing || !this.pcm) {
      for (const out of [heard, tap]) for (const channel of out) channel.fill(0);
      return true;
    }
    if (this.sweep) {
      // Lerp across the loop, block by block, through the property entry.
      const t = (this.position - this.loopFrom) / (this.loopTo - this.loopFrom);
      const lerp = Math.fround(this.sweep.from + (this.sweep.to - this.sweep.from) * t);
      if (lerp !== this.voice.lerp()) this.change(LERP, lerp);
    }
    const eq = this.eq;
    const channels = this.channels;
    const input = this.input;
    for (let i = 0; i < QUANTUM; ++i) {
      if (this.position >= this.loopTo) this.position = this.loopFrom;
      for (let c = 0; c < channels; ++c) input[i * channels + c] = this.pcm[this.position * channels + c];
      ++this.position;
    }
    eq.FLTSMP_sample_process(this.voice.state, eq.voice_input(), eq.voice_output(), QUANTUM,
      this.rate, channels === 2 ? 1 : 0);
    let output = this.output;
    if (this.soloVoice) {
      const solo = this.soloVoice.eq;
      this.soloInput.set(input);
      solo.FLTSMP_sample_process(this.soloVoice.state, solo.voice_input(), solo.voice_output(), QUANTUM,
        this.rate, channels === 2 ? 1 : 0);
      output = this.soloOutput;
    }
    const played = this.bypass ? input : output;
    this.recording?.push(played.slice());
    for (let c = 0; c < channels; ++c) {
      const out = heard[c];
      const inTap = tap[c];
      for (let i = 0; i < QUANTUM; ++i) {
        const v = played[i * channels + c];
        out[i] = v / 32768;
        inTap[i] = input[i * channels + c] / 32768;
        const magnitude = v < 0 ? -v : v;
        if (magnitude > this.peak) this.peak = magnitude;
        if (v === 32767 || v === -32768) ++this.clipped;
      }
    }
    ++this.blocks;
    if (++this.quanta % METER_EVERY === 0) this.meter();
    return true;
  }

  // The level since the last message, and where playback is.
  meter() {
    if (!this.pcm) return;
    this.port.postMessage({
      type: 'meter',
      position: this.position,
      blocks: this.blocks,
      peak: this.peak,
      clipped: this.clipped,
      lerp: this.voice.lerp(),
      playing: this.playing,
    });
    this.peak = 0;
    this.clipped = 0;
  }

  logText() {
    if (!this.pcm) return '';
    return [
      '# tolvane automation: what the studio played, block by block',
      `# ${this.name}: ${this.rate} Hz ${this.channels === 2 ? 'stereo' : 'mono'}, ${this.frames} frames`,
      `rate ${this.rate}`,
      `block ${QUANTUM}`,
      `start ${this.startFrame}`,
      `blocks ${this.blocks}`,
      ...this.events,
      '',
    ].join('\n');
  }
}

registerProcessor('tolvane-voice', VoiceProcessor);
