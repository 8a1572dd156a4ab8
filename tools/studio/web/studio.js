// The studio page. The setting lives in the provider's engine, running in the
// page (engine.js): every edit is stored by its property entry, the curve is
// drawn from the coefficients it designs and the sound comes from the same
// engine in an audio worklet; the studio's server stores every edit too and
// saves the setting. Without WebAssembly or AudioWorklet the page asks the
// server for stored values, curves and renders instead, and says so.
import { api, ApiError } from './api.js';
import { engineModule, Voice } from './engine.js';
import { defaultBand, Handles } from './handles.js';
import { Panel } from './panel.js';
import { liveSupported, LivePlayer, RenderPlayer } from './player.js';
import { Plot } from './plot.js';
import { bandName as name, NAMES, WORDS } from './properties.js';
import { computeResponse } from './response.js';
import { History, Setting } from './setting.js';
import { Transport } from './transport.js';
import { Watch } from './watch.js';

const $ = (id) => document.getElementById(id);

// What tests read; nothing here changes how the page behaves.
const hooks = {
  ready: false,
  live: false, // the engine plays in the page
  redraws: 0, // curves drawn
  lastRedrawAt: 0, // performance.now() when the last was drawn
  drawnFor: 0, // the input event's timeStamp the last curve was drawn for
  exported: null, // the text of the last export
};
window.studio = hooks;

const view = {
  state: null, // /api/state
  file: 0,
  rate: 48000,
  response: null,
  saved: true,
  fetching: 0, // curves or a reload asked of the server and not yet here
  listen: 'mix', // what is heard: the mix, a preset alone, or the saved setting
  soloed: null, // [preset, band] heard alone, or null
  sweepLerp: null, // the Lerp a running sweep has reached
  plot: new Plot($('curve'), $('spectrum')),
  savedVoice: null, // the saved setting, for its curve
};

// ---------------------------------------------------------------- status

function say(text, error = false) {
  const status = $('status');
  status.textContent = text;
  status.classList.toggle('error', error);
}

function fail(error) {
  say(error instanceof ApiError ? error.message : String(error?.message ?? error), true);
}

// A banner with its ways out; `kind` names it, so that one kind can take its
// own banner away. The status line under it is cleared: the banner speaks.
function notice(text, actions = [], kind = 'question') {
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
  $('notice').dataset.kind = kind;
  say('');
  box.querySelector('button')?.focus();
}

function unnotice(kind) {
  if ($('notice').dataset.kind === kind) $('notice').hidden = true;
}

// ------------------------------------------------------------- the parts

let setting, history, handles, panel, player, transport;

// The server's word on whether the setting differs from the file: the
// "(changed)" mark and the leave-page guard follow it, a reload of the page
// included.
function showUnsaved(unsaved) {
  view.saved = !unsaved;
  $('settings-name').classList.toggle('dirty', unsaved);
}

// When the input event being handled happened (for the figures the tests
// print): its own time stamp.
const eventTime = () => window.event?.timeStamp || performance.now();

// Stored values changed: the panel, the curve and the handles follow, drawn
// once for all the changes of one event.
let redrawing = false;
function changed() {
  showUnsaved(true);
  if (!hooks.live) transport.staleLevel();
  if (view.soloed) player.solo(soloSetting(...view.soloed));
  if (redrawing) return;
  redrawing = true;
  const inputAt = eventTime();
  queueMicrotask(async () => {
    redrawing = false;
    panel.refresh();
    await refreshCurve();
    hooks.drawnFor = inputAt;
  });
}

// Undo steps are taken in the order they were asked for: an undo pressed
// while an edit is still on its way undoes that edit.
let turn = Promise.resolve();
const inTurn = (task) => (turn = turn.then(task, task));
const record = (before, label) => inTurn(() => history.record(before, label));

function updateHistoryButtons() {
  $('undo').disabled = !history.done.length;
  $('redo').disabled = !history.undone.length;
  $('undo').title = history.undoName ? `Undo ${history.undoName} (Ctrl+Z)` : 'Undo (Ctrl+Z)';
  $('redo').title = history.redoName ? `Redo ${history.redoName} (Ctrl+Shift+Z)` : 'Redo (Ctrl+Shift+Z)';
}

// A turn of a wheel, notch after notch, is one undo step: it ends when the
// wheel rests, or when anything else is undone or redone.
let wheel = null;
function wheelTurn(property) {
  if (wheel && wheel.property !== property) endTurn();
  if (!wheel) wheel = { property, before: history.snapshot([property]) };
  clearTimeout(wheel.timer);
  wheel.timer = setTimeout(endTurn, 400);
}

function endTurn() {
  if (!wheel) return;
  clearTimeout(wheel.timer);
  record(wheel.before);
  wheel = null;
}

// ------------------------------------------------------------ band tools

const bandNames = (p, b) => WORDS.map((word) => name(p, word, b));

function copyPreset(from, to) {
  const names = [0, 1, 2].flatMap((b) => bandNames(to, b));
  const before = history.snapshot(names);
  for (let b = 0; b < 3; ++b) {
    for (const word of WORDS) setting.want(name(to, word, b), setting.stored[name(from, word, b)]);
  }
  record(before, `copy preset ${from} to preset ${to}`);
  say(`preset ${to} is now a copy of preset ${from} (Ctrl+Z undoes it)`);
}

function resetBand(p, b) {
  const before = history.snapshot(bandNames(p, b));
  for (const [word, value] of Object.entries(defaultBand(p, b))) setting.want(name(p, word, b), value);
  record(before, `reset preset ${p} band ${b}`);
}

// What the listening aid plays for a band: a peaking band as a band-pass
// over the octaves it acts on (two pass filters), any other band alone; in
// preset 0 at full weight, everything else off.
function soloSetting(p, b) {
  const v = Object.fromEntries(WORDS.map((word) => [word, setting.stored[name(p, word, b)]]));
  const solo = { Lerp: 1 };
  for (const n of NAMES) if (n.includes('Enable')) solo[n] = false;
  if (v.Type === 'peaking') {
    const octaves = (2 / Math.LN2) * Math.asinh(1 / (2 * v.Q));
    const edges = [v.Freq / Math.pow(2, octaves / 2), v.Freq * Math.pow(2, octaves / 2)];
    Object.assign(solo, {
      '0 Type 0': 'highpass', '0 Freq 0': edges[0], '0 Q 0': 0.7071, '0 Enable 0': true,
      '0 Type 1': 'lowpass', '0 Freq 1': Math.min(20000, edges[1]), '0 Q 1': 0.7071, '0 Enable 1': true,
    });
  } else {
    for (const word of WORDS) solo[name(0, word, 0)] = word === 'Enable' ? true : v[word];
  }
  return solo;
}

function solo(p, b) {
  if (!hooks.live) {
    say('listening to a band alone needs the engine in the page (AudioWorklet and WebAssembly)', true);
    return;
  }
  const same = view.soloed && view.soloed[0] === p && view.soloed[1] === b;
  view.soloed = same ? null : [p, b];
  player.solo(view.soloed ? soloSetting(p, b) : null);
  for (const button of document.querySelectorAll('.solo')) {
    button.setAttribute('aria-pressed', String(button.id === `solo-${p}-${b}` && !same));
  }
  showMode();
  say(view.soloed ? `listening to preset ${p} band ${b} alone: a listening aid, not what the game plays (S or "listen" again ends it)` : 'listening to the setting again');
}

// ---------------------------------------------------------------- listen

const LISTEN = ['mix', 'p0', 'p1', 'saved'];

// What is heard: the setting, one preset alone (Lerp 1 or 0), or the saved
// setting. Made on the playing voice through the property entry, so the log
// of what was heard holds it too; edits wait while something else is heard.
function listen(mode) {
  view.listen = mode;
  for (const radio of document.querySelectorAll('input[name="listen"]')) radio.checked = radio.value === mode;
  const values = mode === 'saved' ? setting.saved
    : mode === 'mix' ? setting.stored
      : { ...setting.stored, Lerp: mode === 'p0' ? 1 : 0 };
  for (const [property, value] of Object.entries(values)) player.change(property, value);
  showMode();
  refreshCurve();
}

function showMode() {
  const names = { p0: 'preset 0 alone', p1: 'preset 1 alone', saved: 'the saved setting' };
  const bypass = $('bypass').checked;
  view.plot.dim = bypass;
  view.plot.badge = bypass ? 'Bypass: the file is heard untouched'
    : view.soloed ? `listening aid: preset ${view.soloed[0]} band ${view.soloed[1]} alone`
      : view.listen !== 'mix' ? `listening to ${names[view.listen]}`
        : view.sweepLerp !== null ? `sweeping: Lerp ${view.sweepLerp.toFixed(3)}` : '';
  draw();
}

// ------------------------------------------------------------------ curve

function points() {
  view.plot.resize();
  return Math.max(64, Math.min(4096, Math.round(view.plot.right - view.plot.left)));
}

// From the engine in the page, at once; from the server without it.
async function refreshCurve() {
  if (setting.voice) {
    const count = points();
    if (view.listen === 'saved' && view.savedVoice) {
      view.response = computeResponse(view.savedVoice, view.rate, count);
    } else {
      const lerp = view.listen === 'p0' ? 1 : view.listen === 'p1' ? 0 : view.sweepLerp ?? setting.voice.lerp();
      view.response = computeResponse(setting.voice, view.rate, count, lerp);
    }
  } else {
    view.fetching += 1;
    try {
      await setting.idle();
      view.response = await api.response(points(), view.file);
    } catch (error) {
      fail(error);
      return;
    } finally {
      view.fetching -= 1;
    }
  }
  draw();
}

function bandGains() {
  const gains = [];
  for (let p = 0; p < 2; ++p) {
    for (let b = 0; b < 3; ++b) {
      const stored = setting.stored;
      if (stored[name(p, 'Enable', b)] && ['lowshelf', 'highshelf', 'peaking'].includes(stored[name(p, 'Type', b)])) {
        gains.push(stored[name(p, 'Gain', b)]);
      }
    }
  }
  return gains;
}

function draw() {
  if (!view.response) return;
  const resized = view.plot.resize();
  view.plot.nyquist = view.response.rate / 2;
  view.plot.fit(view.response, bandGains());
  view.plot.draw(view.response);
  handles.place();
  hooks.redraws += 1;
  hooks.lastRedrawAt = performance.now();
  // A new size has more or fewer pixel columns: a point for each.
  if (resized && view.response.frequency.length !== points()) refreshCurve();
}

// The spectrum behind the curve, redrawn every frame while the audio runs.
function animateSpectrum() {
  const frame = () => {
    const on = $('analyser').checked && player.analysers && player.playing;
    if (on) {
      view.plot.drawSpectrum(player.analysers, view.rate);
      hooks.spectrumFrames = (hooks.spectrumFrames ?? 0) + 1;
    } else if (hooks.spectrumShown) {
      view.plot.drawSpectrum({}, view.rate);
    }
    hooks.spectrumShown = on;
    requestAnimationFrame(frame);
  };
  requestAnimationFrame(frame);
}

// Frequency and level under the pointer.
function wireCursor() {
  const plot = $('plot');
  plot.addEventListener('pointermove', (event) => {
    const box = $('curve').getBoundingClientRect();
    const x = event.clientX - box.left;
    const y = event.clientY - box.top;
    const p = view.plot;
    const inside = x >= p.left && x <= p.right && y >= p.top && y <= p.bottom;
    const hz = p.hzAt(x);
    const db = p.dbAt(y);
    $('cursor').textContent = inside
      ? `${hz >= 1000 ? `${(hz / 1000).toFixed(2)} kHz` : `${hz.toFixed(hz < 100 ? 1 : 0)} Hz`}, ${db > 0 ? '+' : ''}${db.toFixed(1)} dB`
      : '';
  });
  plot.addEventListener('pointerleave', () => { $('cursor').textContent = ''; });
  for (const key of ['p0', 'p1', 'mix']) {
    $(`show-${key}`).addEventListener('change', () => {
      view.plot.shown[key] = $(`show-${key}`).checked;
      draw();
    });
  }
  $('zoom').addEventListener('change', () => {
    view.plot.zoom = $('zoom').value === 'auto' ? 'auto' : Number($('zoom').value);
    draw();
  });
}

// ------------------------------------------------------------------- files

async function chooseFile(index) {
  view.file = index;
  view.rate = view.state.file_rates[index];
  setting.reopen(view.rate);
  view.savedVoice?.open(view.rate);
  if (view.savedVoice) for (const [n, v] of Object.entries(setting.saved)) view.savedVoice.set(n, v);
  transport.resetFile(view.state.file_seconds[index]);
  try {
    await player.load(index, view.state.files[index], view.state.file_seconds[index]);
  } catch (error) {
    fail(error);
  }
  await refreshCurve();
}

// ------------------------------------------------------------------- save

function showState(state) {
  view.state = state;
  $('settings-name').textContent = state.settings ?? 'not saved yet';
  showUnsaved(Boolean(state.changed));
}

// The saved setting changed (a save, a reload, another tab): its curve too.
function takeSaved() {
  if (!view.savedVoice) return;
  for (const [n, v] of Object.entries(setting.saved)) view.savedVoice.set(n, v);
  if (view.listen === 'saved') listen('saved');
}

function askName(given) {
  if (given) $('save-as-name').value = given;
  $('save-as').showModal();
  $('save-as-name').select();
}

async function save(body = {}) {
  panel.commitTyped();
  await setting.idle();
  if (!view.state.settings && !body.name) {
    askName();
    return;
  }
  try {
    const answer = await api.save(body);
    view.state.settings = answer.saved;
    setting.version = answer.version ?? setting.version;
    setting.saved = { ...setting.stored };
    takeSaved();
    $('settings-name').textContent = answer.saved;
    showUnsaved(false);
    say(`saved ${answer.saved}`);
  } catch (error) {
    if (error instanceof ApiError && error.status === 409) {
      const conflict = error.data?.conflict;
      const ways = conflict === 'exists' ? [['Another name', () => askName(body.name)]]
        : conflict === 'removed' ? [['Write it again', () => save({ ...body, overwrite: true })]]
          : [['Reload from disk', reload]];
      if (conflict !== 'removed') ways.push(['Overwrite', () => save({ ...body, overwrite: true })]);
      ways.push(['Cancel', () => {}]);
      notice(error.message, ways);
    } else {
      fail(error);
    }
  }
}

// The file as it is on disk, as one undo step: the edits it replaces are one
// Ctrl+Z away.
async function reload() {
  view.fetching += 1; // busy until the file's values are shown
  await setting.idle();
  const before = history.snapshot(NAMES);
  try {
    const state = await api.reload();
    showState(state);
    setting.load(state, view.rate);
    for (const [property, value] of Object.entries(state.properties)) player.change(property, value);
    takeSaved();
    panel.refresh();
    await refreshCurve();
    await record(before, 'reload from disk');
    say(state.reports?.length ? state.reports.join('; ') : `reloaded ${state.settings}; Ctrl+Z brings your edits back`);
  } catch (error) {
    fail(error);
  } finally {
    view.fetching -= 1;
  }
}

function wireKeys() {
  $('save').addEventListener('click', () => save());
  $('undo').addEventListener('click', () => { endTurn(); inTurn(() => history.undo()); });
  $('redo').addEventListener('click', () => { endTurn(); inTurn(() => history.redo()); });
  $('save-as-form').addEventListener('submit', (event) => {
    const given = $('save-as-name').value.trim();
    if (event.submitter?.value === 'save' && given) save({ name: given });
  });
  $('save-as-cancel').addEventListener('click', () => $('save-as').close());
  for (const radio of document.querySelectorAll('input[name="listen"]')) {
    radio.addEventListener('change', () => listen(radio.value));
  }
  $('bypass').addEventListener('change', showMode);
  document.addEventListener('keydown', (event) => {
    const key = event.key.toLowerCase();
    // Undo in a text field is the field's own, and so are its letters.
    const typing = event.target.matches?.('input[type="text"], input:not([type]), input[type="number"]');
    const control = event.target.matches?.('select, input') ||
      (event.target.matches?.('button') && !event.target.classList.contains('handle'));
    if (key === ' ' && !typing && !control && !event.ctrlKey) {
      event.preventDefault();
      transport.toggle();
      return;
    }
    if (key === 'a' && !typing && !event.ctrlKey && !event.metaKey && !event.altKey) {
      event.preventDefault();
      listen(LISTEN[(LISTEN.indexOf(view.listen) + 1) % LISTEN.length]);
      say(`listening to ${{ mix: 'the mix', p0: 'preset 0 alone', p1: 'preset 1 alone', saved: 'the saved setting' }[view.listen]} (A for the next)`);
      return;
    }
    if (!(event.ctrlKey || event.metaKey)) return;
    if (key === 's') {
      event.preventDefault();
      save();
    } else if (key === 'z' && !typing) {
      event.preventDefault();
      $(event.shiftKey ? 'redo' : 'undo').click();
    } else if (key === 'y' && !typing) {
      event.preventDefault();
      $('redo').click();
    }
  });
  window.addEventListener('beforeunload', (event) => {
    if (!view.saved) event.preventDefault();
  });
}

// What the server's absence or return means for this page.
function serverDown(kind) {
  if (kind === 'stopped') {
    notice('The studio is not answering: it has stopped. Start it again (the same command); ' +
      'its new address, printed in its terminal, opens this setting again. Edits made now are not kept.', [], 'server');
  } else if (kind === 'restarted') {
    notice('The studio is running again, with a new session: open the new address printed in its ' +
      'terminal (this page\'s token is no longer the studio\'s).', [], 'server');
  } else {
    unnotice('server');
    say('the studio answers again');
  }
  hooks.server = kind;
}

// ------------------------------------------------------------------- start

async function start() {
  // The token has set its cookie; keep it out of the address bar and history.
  if (location.search.includes('token=')) window.history.replaceState(null, '', '/');
  let voice = null;
  let module = null;
  try {
    module = await engineModule();
    voice = module ? new Voice(module) : null;
  } catch (error) {
    fail(error);
  }
  setting = new Setting({ voice, changed: (names) => changed(names), failed: fail });
  history = new History(setting, updateHistoryButtons);
  const ui = {
    setting, history, plot: view.plot, response: () => view.response, record, say, wheelTurn,
    copyPreset, resetBand, solo, redraw: () => draw(),
  };
  handles = new Handles(ui);
  panel = new Panel(ui);
  setting.answered = (answer) => {
    panel.note(answer.name, answer.given, answer.stored);
    showUnsaved(answer.changed);
  };

  const live = Boolean(voice) && liveSupported();
  hooks.live = live;
  if (live) view.savedVoice = new Voice(module);
  const report = (r) => {
    transport?.show(r);
    // A sweep moves Lerp in the worklet: the curve and the slider follow.
    if (player.swept && r.lerp !== undefined && r.lerp !== view.sweepLerp) {
      view.sweepLerp = r.lerp;
      $('lerp').value = r.lerp;
      $('lerp-value').textContent = r.lerp.toFixed(3);
      showMode();
      refreshCurve();
    } else if (!player.swept && view.sweepLerp !== null) {
      view.sweepLerp = null;
      panel.refresh();
      showMode();
      refreshCurve();
    }
  };
  player = live
    ? new LivePlayer({ setting, report, failed: fail })
    : new RenderPlayer({ setting, report, failed: fail, audio: $('audio') });
  hooks.player = player;
  // Every edit to the sound, but while something else is listened to.
  setting.onEdit((property, value) => {
    if (view.listen === 'mix') player.change(property, value, eventTime());
  });
  transport = new Transport({ player, exported: (text) => { hooks.exported = text; } });
  $('export').hidden = !live;
  $('analyser-toggle').hidden = !live;
  document.querySelector('.listen').hidden = !live;
  wireKeys();
  wireCursor();

  try {
    const state = await api.state();
    showState(state);
    view.rate = state.file_rates[0];
    setting.load(state, view.rate);
  } catch (error) {
    fail(error);
    return;
  }
  const files = $('file');
  view.state.files.forEach((file, i) => {
    files.append(new Option(`${file} (${view.state.file_rates[i] / 1000} kHz)`, i));
  });
  files.addEventListener('change', () => chooseFile(Number(files.value)));
  panel.refresh();
  updateHistoryButtons();
  await chooseFile(0);
  new ResizeObserver(() => draw()).observe($('plot'));
  if (live) animateSpectrum();
  new Watch({
    setting,
    took: (state, names) => {
      takeSaved();
      if (names.length) say(`changed in another tab: ${names.join(', ')}`);
    },
    unsaved: showUnsaved,
    down: serverDown,
  }).start();
  const anyOn = NAMES.some((n) => n.includes('Enable') && setting.stored[n]);
  say(!live ? 'this browser cannot run the equaliser itself (no AudioWorklet or WebAssembly): '
      + 'Play streams the server\'s renders, made again after each change'
    : anyOn ? 'drag a handle, or edit a value; Play (Space) to hear it as you go'
      : 'every band is off: double-click a hollow handle (or Enter on it) to switch its band on');
  hooks.ready = true;
}

Object.defineProperties(hooks, {
  busy: { get: () => Boolean(setting?.busy || player?.rendering || view.fetching) },
  response: { get: () => view.response },
  stored: { get: () => setting?.stored },
  extent: { get: () => view.plot.extent },
  badge: { get: () => view.plot.badge },
  dim: { get: () => view.plot.dim },
  listening: { get: () => view.listen },
});
// Where the plot draws a level at a frequency, in CSS pixels of the canvas.
hooks.toScreen = (hz, db) => ({ x: view.plot.x(hz), y: view.plot.y(db) });

start();
