// The studio page. The setting lives in the provider's engine, running in the
// page (engine.js): every edit is stored by its property entry, the curve is
// drawn from the coefficients it designs and the sound comes from the same
// engine in an audio worklet; the studio's server stores every edit too and
// saves the setting. Without WebAssembly or AudioWorklet the page asks the
// server for stored values, curves and renders instead, and says so.
import { api, ApiError } from './api.js';
import { engineModule, Voice } from './engine.js';
import { Handles } from './handles.js';
import { Panel } from './panel.js';
import { liveSupported, LivePlayer, RenderPlayer } from './player.js';
import { Plot } from './plot.js';
import { bandName as name } from './properties.js';
import { computeResponse } from './response.js';
import { History, Setting } from './setting.js';
import { Transport } from './transport.js';

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
  fetching: 0, // curves asked of the server and not yet here
  plot: new Plot($('curve'), $('spectrum')),
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

// ------------------------------------------------------------- the parts

let setting, history, handles, panel, player, transport;

function markUnsaved() {
  view.saved = false;
  $('settings-name').classList.add('dirty');
}

// When the input event being handled happened (for the figures the tests
// print): its own time stamp.
const eventTime = () => window.event?.timeStamp || performance.now();

// Stored values changed: the panel, the curve and the handles follow, drawn
// once for all the changes of one event.
let redrawing = false;
function changed() {
  markUnsaved();
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
const record = (before) => inTurn(() => history.record(before));

function updateHistoryButtons() {
  $('undo').disabled = !history.done.length;
  $('redo').disabled = !history.undone.length;
}

// ------------------------------------------------------------------ curve

function points() {
  return Math.max(64, Math.min(2048, Math.round(view.plot.right - view.plot.left) || 800));
}

// From the engine in the page, at once; from the server without it.
async function refreshCurve() {
  if (setting.voice) {
    view.response = computeResponse(setting.voice, view.rate, points());
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
  view.plot.resize();
  view.plot.nyquist = view.response.rate / 2;
  view.plot.fit(view.response, bandGains());
  view.plot.draw(view.response);
  handles.place();
  hooks.redraws += 1;
  hooks.lastRedrawAt = performance.now();
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

// ------------------------------------------------------------------- files

async function chooseFile(index) {
  view.file = index;
  view.rate = view.state.file_rates[index];
  setting.reopen(view.rate);
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
  $('settings-name').classList.remove('dirty');
  view.saved = true;
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
  await setting.idle();
  try {
    const state = await api.reload();
    showState(state);
    setting.load(state.properties, view.rate);
    for (const [property, value] of Object.entries(state.properties)) player.change(property, value);
    history.clear();
    panel.refresh();
    await refreshCurve();
    say(state.reports?.length ? state.reports.join('; ') : `reloaded ${state.settings}`);
  } catch (error) {
    fail(error);
  }
}

function wireKeys() {
  $('save').addEventListener('click', () => save());
  $('undo').addEventListener('click', () => { handles.endTurn(); inTurn(() => history.undo()); });
  $('redo').addEventListener('click', () => { handles.endTurn(); inTurn(() => history.redo()); });
  $('save-as-form').addEventListener('submit', (event) => {
    const given = $('save-as-name').value.trim();
    if (event.submitter?.value === 'save' && given) save({ name: given });
  });
  $('save-as-cancel').addEventListener('click', () => $('save-as').close());
  document.addEventListener('keydown', (event) => {
    const key = event.key.toLowerCase();
    // Undo in a text field is the field's own.
    const typing = event.target.matches?.('input[type="number"], input:not([type]), input[type="text"]');
    if (key === ' ' && !typing && !event.target.matches?.('button, select, input')) {
      event.preventDefault();
      transport.toggle();
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

// ------------------------------------------------------------------- start

async function start() {
  // The token has set its cookie; keep it out of the address bar and history.
  if (location.search.includes('token=')) window.history.replaceState(null, '', '/');
  let voice = null;
  try {
    const module = await engineModule();
    voice = module ? new Voice(module) : null;
  } catch (error) {
    fail(error);
  }
  setting = new Setting({ voice, changed: (names) => changed(names), failed: fail });
  history = new History(setting, updateHistoryButtons);
  const ui = { setting, history, plot: view.plot, response: () => view.response, record };
  handles = new Handles(ui);
  panel = new Panel(ui);
  setting.answered = (answer) => panel.note(answer.name, answer.given, answer.stored);

  const live = Boolean(voice) && liveSupported();
  hooks.live = live;
  const report = (r) => transport?.show(r);
  player = live
    ? new LivePlayer({ setting, report, failed: fail })
    : new RenderPlayer({ setting, report, failed: fail, audio: $('audio') });
  hooks.player = player;
  setting.onEdit((property, value) => player.change(property, value, eventTime()));
  transport = new Transport({ player, exported: (text) => { hooks.exported = text; } });
  $('export').hidden = !live;
  $('analyser-toggle').hidden = !live;
  wireKeys();

  try {
    const state = await api.state();
    showState(state);
    view.rate = state.file_rates[0];
    setting.load(state.properties, view.rate);
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
  say(live ? 'drag a handle, or edit a value; Play (Space) to hear it as you go'
    : 'this browser cannot run the equaliser itself (no AudioWorklet or WebAssembly): '
      + 'Play streams the server\'s renders, made again after each change');
  hooks.ready = true;
}

Object.defineProperties(hooks, {
  busy: { get: () => Boolean(setting?.busy || player?.rendering || view.fetching) },
  response: { get: () => view.response },
  stored: { get: () => setting?.stored },
});
// Where the plot draws a level at a frequency, in CSS pixels of the canvas.
hooks.toScreen = (hz, db) => ({ x: view.plot.x(hz), y: view.plot.y(db) });

start();
