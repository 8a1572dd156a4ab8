// The studio page: every edit goes to the provider through the server, and
// what the page shows (values, curve, sound) is what the provider stored and
// computed.
import { api, ApiError } from './api.js';
import { Plot } from './plot.js';

const TYPES = ['lowpass', 'highpass', 'lowshelf', 'highshelf', 'peaking'];
const SHAPES_GAIN = new Set(['lowshelf', 'highshelf', 'peaking']);
const SEMITONE = Math.pow(2, 1 / 12);
const $ = (id) => document.getElementById(id);
const name = (p, word, b) => `${p} ${word} ${b}`;

// What tests read; nothing here changes how the page behaves.
const hooks = {
  ready: false,
  redraws: 0, // curves drawn
  lastRedrawAt: 0, // performance.now() of the last
  changeAt: 0, // when the last edit was sent
  renders: 0, // renders that started to play
  render: null, // the last of them: its URL, peak and saturated count
  renderPlayingAt: 0, // when it started to play
};
window.studio = hooks;
Object.defineProperties(hooks, {
  busy: { get: () => Boolean(pumping || player.rendering) },
  response: { get: () => view.response },
});
// Where the plot draws a level at a frequency, in CSS pixels of the canvas.
hooks.toScreen = (hz, db) => ({ x: view.plot.x(hz), y: view.plot.y(db) });

const view = {
  state: null, // /api/state
  stored: {}, // property name -> the value the provider stores
  response: null,
  file: 0,
  plot: new Plot($('curve')),
  saved: true,
};

// ---------------------------------------------------------------- status

function say(text, error = false) {
  const status = $('status');
  status.textContent = text;
  status.classList.toggle('error', error);
}

function fail(error) {
  say(error instanceof ApiError ? error.message : String(error.message ?? error), true);
}

function notice(text, actions = []) {
  $('notice-text').textContent = text;
  const box = $('notice-actions');
  box.replaceChildren();
  for (const [label, act] of actions) {
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = label;
    button.addEventListener('click', () => {
      $('notice').hidden = true;
      act();
    });
    box.append(button);
  }
  $('notice').hidden = false;
  box.querySelector('button')?.focus();
}

// ------------------------------------------------------ property changes

// Edits go out in batches, each property's latest value once: a drag makes
// many, and only where it is now matters. idle() resolves once the server
// has them all.
const wanted = new Map();
const asked = new Map(); // the value last asked for, until the server answers it
let pumping = null;

function want(property, value) {
  wanted.set(property, value);
  asked.set(property, value);
  hooks.changeAt = performance.now();
  if (!pumping) pumping = pump();
  return pumping;
}

async function pump() {
  try {
    // The rest of this event's edits join the batch: a drag's move sends its
    // Freq and Gain together, then asks for one curve.
    await null;
    while (wanted.size) {
      const batch = [...wanted];
      wanted.clear();
      // Different properties: sent side by side. Once the server has stored
      // them all, the curve is asked for while their answers are read.
      const sent = await Promise.all(batch.map(([property, value]) =>
        api.putProperty(property, value).catch((error) => ({ read: () => Promise.reject(error) }))));
      const curve = fetchCurve();
      renderSoon();
      await Promise.all(sent.map(async (put, i) => {
        const [property, value] = batch[i];
        try {
          const answer = await put.read();
          view.stored[answer.name] = answer.stored;
          showNote(answer);
        } catch (error) {
          fail(error);
        }
        if (asked.get(property) === value) asked.delete(property);
      }));
      markUnsaved();
      refreshPanel();
      await showCurve(curve);
    }
  } finally {
    pumping = null;
  }
}

const idle = () => pumping || Promise.resolve();

// A property's value as the edits so far leave it: a key held down or a
// wheel turned fast builds on the last step asked for, not yet answered.
const current = (property) => (asked.has(property) ? asked.get(property) : view.stored[property]);

// The provider stores floats: only a value it changed beyond that is noted.
function showNote(answer) {
  const note = document.querySelector(`.note[data-name="${answer.name}"]`);
  if (!note) return;
  const clamped = typeof answer.stored === 'number' &&
    Math.fround(Number(answer.given)) !== Math.fround(answer.stored);
  note.textContent = clamped ? `given ${answer.given}` : '';
  note.title = clamped ? `given ${answer.given}, the provider stored ${answer.stored}` : '';
}

function markUnsaved() {
  view.saved = false;
  $('settings-name').classList.add('dirty');
}

// -------------------------------------------------------------- undo/redo

const edits = { done: [], undone: [] };

// Recording and undoing take turns, in the order they were asked for: an
// undo pressed while an edit is still on its way undoes that edit.
let history = Promise.resolve();
const inTurn = (task) => (history = history.then(task, task));

// One undo step: the values before an edit and after it.
function record(before) {
  return inTurn(async () => {
    await idle();
    const changes = Object.keys(before)
      .filter((key) => before[key] !== view.stored[key])
      .map((key) => ({ name: key, before: before[key], after: view.stored[key] }));
    if (!changes.length) return;
    edits.done.push(changes);
    edits.undone = [];
    updateHistoryButtons();
  });
}

function snapshot(names) {
  return Object.fromEntries(names.map((n) => [n, current(n)]));
}

async function travel(from, to, side) {
  const changes = from.pop();
  if (!changes) return;
  for (const change of changes) want(change.name, change[side]);
  await idle();
  to.push(changes);
  updateHistoryButtons();
}

function undo() {
  endTurn();
  return inTurn(() => travel(edits.done, edits.undone, 'before'));
}

function redo() {
  endTurn();
  return inTurn(() => travel(edits.undone, edits.done, 'after'));
}

function updateHistoryButtons() {
  $('undo').disabled = !edits.done.length;
  $('redo').disabled = !edits.undone.length;
}

// ------------------------------------------------------------------ curve

// One point for every pixel column of the plot.
function fetchCurve() {
  const points = Math.max(64, Math.min(2048, Math.round(view.plot.right - view.plot.left) || 800));
  return api.response(points, view.file);
}

async function showCurve(request) {
  try {
    view.response = await request;
  } catch (error) {
    fail(error);
    return;
  }
  draw();
}

const refreshCurve = () => showCurve(fetchCurve());

function bandGains() {
  const gains = [];
  for (let p = 0; p < 2; ++p) {
    for (let b = 0; b < 3; ++b) {
      if (view.stored[name(p, 'Enable', b)] && SHAPES_GAIN.has(view.stored[name(p, 'Type', b)])) {
        gains.push(view.stored[name(p, 'Gain', b)]);
      }
    }
  }
  return gains;
}

function draw() {
  if (!view.response) return;
  view.plot.resize();
  view.plot.nyquist = view.response.rate / 2;
  view.plot.fit(view.response, bandGains());
  view.plot.draw(view.response);
  placeHandles();
  hooks.redraws += 1;
  hooks.lastRedrawAt = performance.now();
}

// -------------------------------------------------------------- handles

function bandLabel(p, b) {
  const type = view.stored[name(p, 'Type', b)];
  const freq = view.stored[name(p, 'Freq', b)];
  const gain = view.stored[name(p, 'Gain', b)];
  const q = view.stored[name(p, 'Q', b)];
  const hz = freq >= 1000 ? `${+(freq / 1000).toFixed(3)} kHz` : `${+freq.toFixed(1)} Hz`;
  const db = SHAPES_GAIN.has(type) ? `, ${gain > 0 ? '+' : ''}${gain.toFixed(1)} dB` : '';
  return `preset ${p} band ${b}, ${type}, ${hz}${db}, Q ${+q.toFixed(3)}`;
}

function handleLevel(p, b) {
  const type = view.stored[name(p, 'Type', b)];
  if (SHAPES_GAIN.has(type)) return view.stored[name(p, 'Gain', b)];
  // A pass filter has no gain: its handle rides on its preset's curve.
  const values = p === 0 ? view.response.preset0_db : view.response.preset1_db;
  return Plot.levelAt(view.response, values, view.stored[name(p, 'Freq', b)]);
}

function placeHandles() {
  const layer = $('handles');
  const lerp = view.stored.Lerp;
  const weights = [lerp, Math.fround(1 - lerp)];
  for (let p = 0; p < 2; ++p) {
    for (let b = 0; b < 3; ++b) {
      const id = `handle-${p}-${b}`;
      let handle = $(id);
      if (!view.stored[name(p, 'Enable', b)]) {
        handle?.remove();
        continue;
      }
      if (!handle) {
        handle = makeHandle(p, b, id);
        // Keep the focus order preset by preset, band by band.
        const next = [...layer.children].find((h) => h.id > id);
        layer.insertBefore(handle, next || null);
      }
      const freq = view.stored[name(p, 'Freq', b)];
      const level = Math.max(-view.plot.extent, Math.min(view.plot.extent, handleLevel(p, b)));
      handle.style.left = `${view.plot.x(Math.min(freq, view.plot.nyquist))}px`;
      handle.style.top = `${view.plot.y(level)}px`;
      handle.setAttribute('aria-label', bandLabel(p, b));
      handle.title = bandLabel(p, b);
      handle.classList.toggle('gated', weights[p] < 0.001);
    }
  }
  const focused = document.activeElement;
  if (focused?.classList.contains('handle')) showReadout(+focused.dataset.preset, +focused.dataset.band);
}

function showReadout(p, b) {
  $('readout').textContent = bandLabel(p, b);
}

function makeHandle(p, b, id) {
  const handle = document.createElement('button');
  handle.type = 'button';
  handle.id = id;
  handle.className = `handle p${p}`;
  handle.dataset.preset = p;
  handle.dataset.band = b;
  handle.textContent = b;
  handle.addEventListener('pointerdown', (event) => startDrag(event, p, b, handle));
  handle.addEventListener('dblclick', async () => {
    const before = snapshot([name(p, 'Enable', b)]);
    want(name(p, 'Enable', b), false);
    await record(before);
  });
  handle.addEventListener('wheel', (event) => {
    event.preventDefault();
    const q = name(p, 'Q', b);
    wheelTurn(q);
    want(q, round(current(q) * (event.deltaY < 0 ? 1.1 : 1 / 1.1), 3));
  }, { passive: false });
  handle.addEventListener('keydown', (event) => nudge(event, p, b));
  handle.addEventListener('focus', () => showReadout(p, b));
  handle.addEventListener('blur', () => { $('readout').textContent = ''; });
  return handle;
}

// A turn of the wheel, notch after notch, is one undo step: it ends when the
// wheel rests, or when anything else is undone or redone.
let turn = null;

function wheelTurn(property) {
  if (turn && turn.property !== property) endTurn();
  if (!turn) turn = { property, before: snapshot([property]) };
  clearTimeout(turn.timer);
  turn.timer = setTimeout(endTurn, 400);
}

function endTurn() {
  if (!turn) return;
  clearTimeout(turn.timer);
  record(turn.before);
  turn = null;
}

// Significant digits that read well and that a float holds.
function round(value, digits) {
  return Number(value.toPrecision(digits));
}

function startDrag(event, p, b, handle) {
  if (event.button !== 0) return;
  event.preventDefault();
  handle.focus();
  handle.setPointerCapture(event.pointerId);
  handle.classList.add('dragging');
  const names = [name(p, 'Freq', b), name(p, 'Gain', b), name(p, 'Q', b)];
  const before = snapshot(names);
  // Where on the handle it was grabbed: the handle does not jump to the pointer.
  const box = $('curve').getBoundingClientRect();
  const grab = handle.getBoundingClientRect();
  const offsetX = event.clientX - (grab.left + grab.width / 2);
  const offsetY = event.clientY - (grab.top + grab.height / 2);
  const startY = event.clientY;
  const shapesGain = SHAPES_GAIN.has(view.stored[name(p, 'Type', b)]);
  const move = (e) => {
    const x = e.clientX - offsetX - box.left;
    const y = e.clientY - offsetY - box.top;
    if (e.altKey) {
      // Alt-drag: up narrows (higher Q), down widens.
      const q = before[names[2]] * Math.pow(2, (startY - e.clientY) / 60);
      want(names[2], round(Math.min(100, Math.max(0.01, q)), 3));
      return;
    }
    want(names[0], round(view.plot.hzAt(x), 4));
    if (shapesGain) {
      const gain = Math.round(view.plot.dbAt(y) * 10) / 10;
      want(names[1], Math.max(-view.plot.extent, Math.min(view.plot.extent, gain)));
    }
  };
  const end = () => {
    handle.removeEventListener('pointermove', move);
    handle.removeEventListener('pointerup', end);
    handle.removeEventListener('pointercancel', end);
    handle.classList.remove('dragging');
    record(before);
  };
  handle.addEventListener('pointermove', move);
  handle.addEventListener('pointerup', end);
  handle.addEventListener('pointercancel', end);
}

function nudge(event, p, b) {
  const freq = name(p, 'Freq', b);
  const gain = name(p, 'Gain', b);
  const q = name(p, 'Q', b);
  let property = null;
  let value = null;
  if (event.key === 'ArrowLeft' || event.key === 'ArrowRight') {
    property = freq;
    const factor = event.key === 'ArrowRight' ? SEMITONE : 1 / SEMITONE;
    value = round(Math.min(view.plot.nyquist, current(freq) * factor), 5);
  } else if ((event.key === 'ArrowUp' || event.key === 'ArrowDown') && event.shiftKey) {
    property = q;
    value = round(current(q) * (event.key === 'ArrowUp' ? 1.1 : 1 / 1.1), 4);
  } else if (event.key === 'ArrowUp' || event.key === 'ArrowDown') {
    event.preventDefault();
    // A pass filter has no gain to nudge.
    if (!SHAPES_GAIN.has(view.stored[name(p, 'Type', b)])) return;
    property = gain;
    value = Math.round((current(gain) + (event.key === 'ArrowUp' ? 0.5 : -0.5)) * 10) / 10;
  } else {
    return;
  }
  event.preventDefault();
  const before = snapshot([property]);
  want(property, value);
  record(before);
}

// ------------------------------------------------------------------ panel

function buildPanel() {
  const holder = $('presets');
  holder.replaceChildren();
  for (let p = 0; p < 2; ++p) {
    const section = document.createElement('section');
    section.className = `preset p${p}`;
    section.setAttribute('aria-label', `preset ${p}`);
    const title = document.createElement('h2');
    title.innerHTML = `Preset ${p} <span class="weight" id="weight-${p}"></span>`;
    section.append(title);
    for (let b = 0; b < 3; ++b) section.append(buildBand(p, b));
    holder.append(section);
  }
}

function buildBand(p, b) {
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

function refreshPanel() {
  for (const control of document.querySelectorAll('[data-name]')) {
    if (control.classList.contains('note')) continue;
    const value = view.stored[control.dataset.name];
    if (value === undefined) continue;
    if (control.type === 'checkbox') control.checked = value;
    else if (!control.dataset.typing) control.value = value;
  }
  $('lerp-value').textContent = Number(view.stored.Lerp).toFixed(3);
  const lerp = view.stored.Lerp;
  $('weight-0').textContent = `weight ${lerp.toFixed(3)}`;
  $('weight-1').textContent = `weight ${Math.fround(1 - lerp).toFixed(3)}`;
  for (let p = 0; p < 2; ++p) {
    for (let b = 0; b < 3; ++b) {
      const type = view.stored[name(p, 'Type', b)];
      $(`band-${p}-${b}`).classList.toggle('off', !view.stored[name(p, 'Enable', b)]);
      const gainField = document.querySelector(`input[data-name="${name(p, 'Gain', b)}"]`);
      gainField.disabled = !SHAPES_GAIN.has(type);
      gainField.title = gainField.disabled ? `a ${type} has no gain`
        : `"${name(p, 'Gain', b)}" in a settings file`;
    }
  }
}

function wirePanel() {
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
        control.value = view.stored[property];
        return;
      }
    }
    // Enter commits a field, and the browser may report the same change
    // again (on Enter, or on leaving it): sent once.
    if (value === current(property)) return;
    const before = snapshot([property]);
    want(property, value);
    record(before);
  });
  // A field being typed in keeps what is typed until it is committed: Enter
  // or leaving it. Escape gives back the stored value.
  panel.addEventListener('input', (event) => {
    if (event.target.type === 'number') event.target.dataset.typing = '1';
  });
  // Left with nothing committed (typed back to what it was): shows the
  // stored value again and follows it from now on.
  panel.addEventListener('focusout', (event) => {
    const field = event.target;
    if (field.type !== 'number' || !field.dataset.typing) return;
    delete field.dataset.typing;
    field.value = view.stored[field.dataset.name];
  });
  panel.addEventListener('keydown', (event) => {
    const field = event.target;
    if (field.type !== 'number') return;
    if (event.key === 'Enter') commitTyped();
    if (event.key === 'Escape' && field.dataset.typing) {
      delete field.dataset.typing;
      field.value = view.stored[field.dataset.name];
    }
  });

  const lerp = $('lerp');
  let before = null;
  lerp.addEventListener('input', () => {
    before ??= snapshot(['Lerp']);
    want('Lerp', Number(lerp.value));
  });
  lerp.addEventListener('change', () => {
    if (before) record(before);
    before = null;
  });
}

// ------------------------------------------------------------------ audio

const audio = $('audio');
const player = {
  playing: false, // what the listener asked for with Play and Stop
  url: null,
  stale: true, // the loaded render is not of the current setting
  rendering: null,
  again: false,
  swapping: false,
};

function renderOptions() {
  return { bypass: $('bypass').checked, sweep: $('sweep').checked ? [1, 0] : null };
}

// After a change: a playing render is replaced, at the same position; a
// stopped one is rendered again when Play is pressed.
function renderSoon() {
  player.stale = true;
  if (player.playing) loadRender();
}

// The newest setting wins: a change made while a render is on its way has
// the next one fetched as soon as that one is back.
async function loadRender() {
  if (player.rendering) {
    player.again = true;
    return player.rendering;
  }
  player.rendering = (async () => {
    let failures = 0;
    do {
      player.again = false;
      player.stale = false;
      let rendered;
      try {
        rendered = await api.render(view.file, renderOptions());
      } catch (error) {
        fail(error);
        return;
      }
      if (player.again) continue;
      try {
        await swapIn(rendered);
      } catch (error) {
        // Dropped by the server before it was loaded (it keeps the newest
        // few): made again, a few times at most.
        if (++failures < 3) player.again = true;
        else fail(error);
      }
    } while (player.again);
  })();
  try {
    await player.rendering;
  } finally {
    player.rendering = null;
  }
}

// The audio element streams the kept render from the server, so it plays as
// soon as the part at the current position has arrived; the position rides
// on the address, so loading and seeking are one step.
async function swapIn(rendered) {
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
  player.swapping = true;
  audio.src = `${rendered.url}#t=${position.toFixed(3)}`;
  player.url = rendered.url;
  const level = $('level');
  level.textContent = `peak ${rendered.peak}, ${rendered.saturated} saturated`;
  level.classList.toggle('saturated', rendered.saturated > 0);
  let started = null;
  if (player.playing) {
    audio.addEventListener('playing', () => {
      hooks.renders += 1;
      hooks.render = rendered;
      hooks.renderPlayingAt = performance.now();
    }, { once: true });
    // A newer render replacing this one interrupts its start: not a fault.
    started = audio.play().catch((error) => {
      if (error.name !== 'AbortError' && !audio.error) fail(error);
    });
  }
  try {
    await loaded;
  } finally {
    player.swapping = false;
  }
  await started;
}

function showPlaying() {
  $('play').textContent = player.playing ? 'Stop' : 'Play';
  $('play').classList.toggle('playing', player.playing);
}

function formatTime(seconds) {
  const s = Math.floor(seconds || 0);
  return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
}

function showPosition() {
  if (player.swapping) return; // the next render is taking over at this position
  const duration = audio.duration || view.state.file_seconds[view.file] || 0;
  $('position').max = duration;
  if (!$('position').matches(':active')) $('position').value = audio.currentTime;
  $('time').textContent = `${formatTime(audio.currentTime)} / ${formatTime(duration)}`;
}

function wireAudio() {
  $('play').addEventListener('click', async () => {
    player.playing = !player.playing;
    showPlaying();
    if (!player.playing) {
      audio.pause();
    } else if (player.stale || !player.url) {
      await loadRender();
    } else {
      await audio.play().catch(fail);
    }
  });
  audio.addEventListener('ended', () => {
    player.playing = false;
    showPlaying();
  });
  // A render the server no longer keeps, while it plays: made again, and
  // played on from where it was.
  audio.addEventListener('error', () => {
    if (player.rendering) return; // the swap in progress sees to it
    player.url = null;
    player.stale = true;
    if (player.playing) loadRender();
  });
  audio.addEventListener('timeupdate', showPosition);
  audio.addEventListener('durationchange', showPosition);
  $('position').addEventListener('input', () => {
    audio.currentTime = Number($('position').value);
    showPosition();
  });
  for (const id of ['bypass', 'sweep']) $(id).addEventListener('change', renderSoon);
  $('file').addEventListener('change', async () => {
    view.file = Number($('file').value);
    audio.currentTime = 0;
    player.stale = true;
    await refreshCurve();
    if (player.playing) loadRender();
    showPosition();
  });
}

// ------------------------------------------------------------------- save

function showState(state) {
  view.state = state;
  view.stored = { ...state.properties };
  $('settings-name').textContent = state.settings ?? 'not saved yet';
  $('settings-name').classList.remove('dirty');
  view.saved = true;
  refreshPanel();
}

function askName(given) {
  if (given) $('save-as-name').value = given;
  $('save-as').showModal();
  $('save-as-name').select();
}

// Commits a number typed but not yet committed: Enter, and Ctrl+S from
// inside its field, which saves it too.
function commitTyped() {
  const field = document.activeElement;
  if (field?.type === 'number' && field.dataset.typing) {
    field.dispatchEvent(new Event('change', { bubbles: true }));
  }
}

async function save(body = {}) {
  commitTyped();
  await idle();
  if (!view.state.settings && !body.name) {
    askName();
    return;
  }
  try {
    const answer = await api.save(body);
    view.state.settings = answer.saved;
    $('settings-name').textContent = answer.saved;
    $('settings-name').classList.remove('dirty');
    view.saved = true;
    say(`saved ${answer.saved}`);
  } catch (error) {
    if (error instanceof ApiError && error.status === 409) {
      // A new name already taken: another name, not a reload, is the way out.
      const other = body.name ? ['Another name', () => askName(body.name)] : ['Reload from disk', reload];
      notice(error.message, [
        other,
        ['Overwrite', () => save({ ...body, overwrite: true })],
        ['Cancel', () => {}],
      ]);
    } else {
      fail(error);
    }
  }
}

async function reload() {
  await idle();
  try {
    const state = await api.reload();
    showState(state);
    edits.done = [];
    edits.undone = [];
    updateHistoryButtons();
    await refreshCurve();
    renderSoon();
    say(state.reports?.length ? state.reports.join('; ') : `reloaded ${state.settings}`);
  } catch (error) {
    fail(error);
  }
}

function wireSave() {
  $('save').addEventListener('click', () => save());
  $('undo').addEventListener('click', undo);
  $('redo').addEventListener('click', redo);
  $('save-as-form').addEventListener('submit', (event) => {
    const name = $('save-as-name').value.trim();
    if (event.submitter?.value === 'save' && name) save({ name });
  });
  $('save-as-cancel').addEventListener('click', () => $('save-as').close());
  document.addEventListener('keydown', (event) => {
    const key = event.key.toLowerCase();
    if (!(event.ctrlKey || event.metaKey)) return;
    // Undo in a text field is the field's own.
    const typing = event.target.matches?.('input[type="number"], input:not([type])');
    if (key === 's') {
      event.preventDefault();
      save();
    } else if (key === 'z' && !typing) {
      event.preventDefault();
      if (event.shiftKey) redo();
      else undo();
    } else if (key === 'y' && !typing) {
      event.preventDefault();
      redo();
    }
  });
  window.addEventListener('beforeunload', (event) => {
    if (!view.saved) event.preventDefault();
  });
}

// ------------------------------------------------------------------- start

async function start() {
  // The token has set its cookie; keep it out of the address bar and history.
  if (location.search.includes('token=')) window.history.replaceState(null, '', '/');
  buildPanel();
  wirePanel();
  wireAudio();
  wireSave();
  try {
    showState(await api.state());
  } catch (error) {
    fail(error);
    return;
  }
  const files = $('file');
  view.state.files.forEach((file, i) => {
    const rate = view.state.file_rates[i];
    files.append(new Option(`${file} (${rate / 1000} kHz)`, i));
  });
  showPosition();
  await refreshCurve();
  new ResizeObserver(() => draw()).observe($('plot'));
  updateHistoryButtons();
  say('drag a handle, or edit a value; Play to hear it');
  hooks.ready = true;
}

start();
