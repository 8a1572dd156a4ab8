// Playback. LivePlayer plays the file through the engine in an audio worklet
// (worklet.js) at the file's own rate: every edit is heard from the next
// render quantum on, and nothing restarts. RenderPlayer, for a browser
// without AudioWorklet or WebAssembly, plays the server's renders of the
// whole file in an audio element, rendered again after every change.
//
// Both: load(file), play(), stop(), seek(seconds), loop(from, to) in
// seconds (null: the whole file), bypass(on), sweep(on), change(name,
// value), and they report through `report({position, duration, playing,
// peak, clipped, lerp})`.
import { api } from './api.js';
import { engineModule } from './engine.js';

export function liveSupported() {
  return typeof AudioWorkletNode === 'function' && typeof WebAssembly === 'object';
}

export class LivePlayer {
  constructor({ setting, report, failed }) {
    this.setting = setting;
    this.report = report;
    this.failed = failed;
    this.context = null;
    this.node = null;
    this.file = null; // {index, name, rate, channels, samples}
    this.playing = false;
    this.bypassed = false;
    this.swept = null;
    this.soloing = null;
    this.region = null;
    this.position = 0;
    this.pcm = new Map(); // file index -> its samples, fetched once
    this.replies = new Map();
    this.sent = new Map();
    this.next = 1;
    this.stats = { quanta: 0, applied: [], underruns: 0 };
    this.analysers = null;
  }

  // Fetches the file's samples (once); the audio starts on the first Play.
  async load(index, name) {
    if (!this.pcm.has(index)) this.pcm.set(index, api.pcm(index));
    const pcm = await this.pcm.get(index);
    this.file = { index, name, ...pcm, frames: pcm.samples.length / pcm.channels };
    this.position = 0;
    this.region = null;
    this.started = false;
    if (this.node) await this.startSession();
    this.tell();
  }

  get duration() {
    return this.file ? this.file.frames / this.file.rate : 0;
  }

  // The context runs at the file's rate: a new rate needs a new context.
  async ensureContext() {
    if (this.context && this.context.sampleRate === this.file.rate) return;
    if (this.context) await this.context.close();
    await this.attach(new AudioContext({ sampleRate: this.file.rate, latencyHint: 'interactive' }));
  }

  // The worklet and the analysers on `context` (an OfflineAudioContext in
  // the tests, which render through exactly this).
  async attach(context) {
    this.context = context;
    await this.context.audioWorklet.addModule('worklet.js');
    this.node = new AudioWorkletNode(this.context, 'tolvane-voice', {
      numberOfInputs: 0,
      numberOfOutputs: 2,
      outputChannelCount: [this.file.channels, this.file.channels],
    });
    this.node.port.onmessage = (event) => this.receive(event.data);
    const analyser = () => {
      const a = this.context.createAnalyser();
      a.fftSize = 8192;
      a.smoothingTimeConstant = 0.75;
      return a;
    };
    this.analysers = { input: analyser(), output: analyser() };
    this.node.connect(this.analysers.output, 0);
    this.node.connect(this.analysers.input, 1);
    this.node.connect(this.context.destination, 0);
    this.started = false;
  }

  async startSession() {
    await this.ensureContext();
    const module = await engineModule();
    const frames = this.file.frames;
    this.node.port.postMessage({
      type: 'start',
      module,
      name: this.file.name,
      rate: this.file.rate,
      channels: this.file.channels,
      pcm: this.file.samples,
      position: Math.round(this.position * this.file.rate),
      loop: this.region
        ? [Math.round(this.region[0] * this.file.rate), Math.round(this.region[1] * this.file.rate)]
        : [0, frames],
      bypass: this.bypassed,
      setting: this.setting.stored,
    });
    if (this.swept) this.node.port.postMessage({ type: 'sweep', on: true, from: this.swept[0], to: this.swept[1] });
    if (this.soloing) this.node.port.postMessage({ type: 'solo', setting: this.soloing });
    this.started = true;
  }

  receive(m) {
    if (m.type === 'meter') {
      this.position = m.position / this.file.rate;
      this.stats.quanta = m.blocks;
      this.tell({ peak: m.peak, clipped: m.clipped, lerp: m.lerp });
    } else if (m.type === 'applied') {
      const sent = this.sent.get(m.id);
      if (sent) {
        // From the edit's event to the worklet making it (a clock of
        // milliseconds in the worklet).
        this.stats.applied.push(Math.max(0, m.at - (performance.timeOrigin + sent.at)));
        sent.resolve(m.block);
        this.sent.delete(m.id);
      }
    } else if (m.type === 'log' || m.type === 'recorded') {
      this.replies.get(m.id)?.(m.text ?? m.chunks);
      this.replies.delete(m.id);
    }
  }

  tell(extra = {}) {
    this.report({ position: this.position, duration: this.duration, playing: this.playing, ...extra });
  }

  post(message) {
    if (this.started) this.node.port.postMessage(message);
  }

  async play() {
    this.playing = true;
    try {
      if (!this.started) await this.startSession();
      await this.context.resume();
      this.post({ type: 'play', playing: true });
    } catch (error) {
      this.playing = false;
      this.failed(error);
    }
    this.tell();
  }

  stop() {
    this.playing = false;
    this.post({ type: 'play', playing: false });
    this.tell();
  }

  seek(seconds) {
    this.position = Math.max(0, Math.min(seconds, this.duration));
    this.post({ type: 'seek', frame: Math.round(this.position * (this.file?.rate ?? 0)) });
    this.tell();
  }

  loop(from, to) {
    this.region = from === null ? null : [from, to];
    const rate = this.file?.rate ?? 0;
    const [a, b] = this.region ?? [0, this.duration];
    this.post({ type: 'loop', from: Math.round(a * rate), to: Math.round(b * rate) });
  }

  bypass(on) {
    this.bypassed = on;
    this.post({ type: 'bypass', on });
  }

  // Lerp moved from `from` to `to` across what loops, block by block.
  sweep(on, from = 1, to = 0) {
    this.swept = on ? [from, to] : null;
    this.post({ type: 'sweep', on, from, to });
  }

  // A listening aid heard instead of the setting (null: the setting again).
  solo(setting) {
    this.soloing = setting;
    this.post({ type: 'solo', setting });
  }

  // An edit, applied by the worklet before its next quantum; resolves with
  // the index of that quantum. `at` is when the edit was asked for.
  change(name, value, at = performance.now()) {
    if (!this.started) return Promise.resolve(null);
    const id = this.next++;
    const applied = new Promise((resolve) => this.sent.set(id, { at, resolve }));
    this.node.port.postMessage({ type: 'change', name, value, id });
    return applied;
  }

  // What was heard since the file was opened, as an automation file.
  log() {
    return this.ask('log');
  }

  // For the tests: the samples heard between record(true) and now.
  record(on) {
    this.post({ type: 'record', on });
  }

  recorded() {
    return this.ask('recorded');
  }

  ask(type) {
    if (!this.started) return Promise.resolve(type === 'log' ? '' : null);
    const id = this.next++;
    return new Promise((resolve) => {
      this.replies.set(id, resolve);
      this.node.port.postMessage({ type, id });
    });
  }
}

// The server's renders in an audio element, for a browser that cannot run
// the engine itself.
export class RenderPlayer {
  constructor({ setting, report, failed, audio }) {
    this.setting = setting;
    this.report = report;
    this.failed = failed;
    this.audio = audio;
    this.file = null;
    this.playing = false;
    this.stale = true;
    this.rendering = null;
    this.again = false;
    this.options = { bypass: false, sweep: null };
    this.renders = 0;
    this.region = null;
    audio.addEventListener('timeupdate', () => this.tick());
    audio.addEventListener('durationchange', () => this.tell());
    audio.addEventListener('ended', () => {
      if (this.playing) this.seek(this.region?.[0] ?? 0);
    });
    audio.addEventListener('error', () => {
      if (this.rendering) return; // the swap in progress sees to it
      this.stale = true;
      if (this.playing) this.load_render();
    });
  }

  async load(index, name, seconds) {
    this.file = { index, name, seconds };
    this.audio.currentTime = 0;
    this.stale = true;
    if (this.playing) await this.load_render();
    this.tell();
  }

  get duration() {
    return this.audio.duration || this.file?.seconds || 0;
  }

  tell(extra = {}) {
    this.report({ position: this.audio.currentTime || 0, duration: this.duration, playing: this.playing, ...extra });
  }

  // Plays on in the region chosen, from its start again at its end.
  tick() {
    if (this.region && this.audio.currentTime >= this.region[1]) this.audio.currentTime = this.region[0];
    if (!this.swapping) this.tell();
  }

  async play() {
    this.playing = true;
    this.tell();
    if (this.stale) await this.load_render();
    else await this.audio.play().catch((e) => this.failed(e));
  }

  stop() {
    this.playing = false;
    this.audio.pause();
    this.tell();
  }

  seek(seconds) {
    this.audio.currentTime = seconds;
    this.tell();
  }

  loop(from, to) {
    this.region = from === null ? null : [from, to];
  }

  bypass(on) {
    this.options.bypass = on;
    this.changedSoon();
  }

  sweep(on, from = 1, to = 0) {
    this.options.sweep = on ? [from, to] : null;
    this.changedSoon();
  }

  solo() {}

  // Under Bypass the render is the file itself: an edit changes nothing heard.
  change() {
    if (this.options.bypass) {
      this.stale = true;
      return;
    }
    this.changedSoon();
  }

  // After a change: a playing render is replaced, at the same position; a
  // stopped one is rendered again when Play is pressed.
  changedSoon() {
    this.stale = true;
    if (this.playing) this.setting.idle().then(() => this.load_render());
  }

  // The newest setting wins: a change made while a render is on its way has
  // the next one fetched as soon as that one is back.
  async load_render() {
    if (this.rendering) {
      this.again = true;
      return this.rendering;
    }
    this.rendering = (async () => {
      let failures = 0;
      do {
        this.again = false;
        this.stale = false;
        let rendered;
        try {
          rendered = await api.render(this.file.index, this.options);
        } catch (error) {
          this.failed(error);
          return;
        }
        if (this.again) continue;
        try {
          await this.swapIn(rendered);
        } catch (error) {
          if (++failures < 3) this.again = true;
          else this.failed(error);
        }
      } while (this.again);
    })();
    try {
      await this.rendering;
    } finally {
      this.rendering = null;
    }
  }

  async swapIn(rendered) {
    const audio = this.audio;
    const position = audio.currentTime || 0;
    const loaded = new Promise((resolve, reject) => {
      const done = () => {
        audio.removeEventListener('loadedmetadata', done);
        audio.removeEventListener('error', done);
        if (audio.error) reject(new Error(`the render could not be played: ${audio.error.message}`));
        else resolve();
      };
      audio.addEventListener('loadedmetadata', done);
      audio.addEventListener('error', done);
    });
    this.swapping = true;
    audio.src = `${rendered.url}#t=${position.toFixed(3)}`;
    this.lastRender = rendered;
    this.tell({ renderPeak: rendered.peak, renderSaturated: rendered.saturated });
    let started = null;
    if (this.playing) {
      audio.addEventListener('playing', () => { this.renders += 1; }, { once: true });
      // A newer render replacing this one interrupts its start: not a fault.
      started = audio.play().catch((error) => {
        if (error.name !== 'AbortError' && !audio.error) this.failed(error);
      });
    }
    try {
      await loaded;
    } finally {
      this.swapping = false;
    }
    await started;
  }

  log() {
    return Promise.resolve('');
  }
}
