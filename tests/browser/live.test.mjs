// The studio playing live: the engine in WebAssembly, in an audio worklet,
// changed between render quanta. What it plays must be, sample for sample,
// what `tolvane render --automation` writes from the log the page exports;
// playing must never restart or fall silent while a handle is dragged. The
// figures it prints are the page's own timings (none is asserted).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { floatText, slotValue } from '../../tools/studio/web/properties.js';
import {
  folder, median, openPage, samples, sameSamples, tool, withStudio, workspace,
} from './helpers.mjs';

// A seeded sequence of what a designer does, block by block: drags (Freq
// and Gain together), Q, Lerp moves, type and enable switches, values the
// provider clamps, and now and then a seek, a new loop or Bypass.
function script(seed, blocks, frames) {
  let x = seed;
  const next = () => {
    x = (Math.imul(x, 1103515245) + 12345) >>> 0;
    return x / 4294967296;
  };
  const band = () => `${Math.floor(next() * 2)} WORD ${Math.floor(next() * 3)}`;
  const named = (word) => band().replace('WORD', word);
  const steps = new Map();
  let changes = 0;
  while (changes < 240) {
    const block = 1 + Math.floor(next() * (blocks - 2));
    const step = steps.get(block) ?? { block, changes: [] };
    steps.set(block, step);
    const what = next();
    if (what < 0.3) {
      const b = band();
      step.changes.push([b.replace('WORD', 'Freq'), Number((20 * Math.pow(1000, next())).toPrecision(5))]);
      step.changes.push([b.replace('WORD', 'Gain'), Math.round((next() * 48 - 24) * 10) / 10]);
      changes += 2;
      continue;
    }
    if (what < 0.45) step.changes.push(['Lerp', Math.round(next() * 1000) / 1000]);
    else if (what < 0.55) step.changes.push([named('Q'), Number((0.1 * Math.pow(200, next())).toPrecision(3))]);
    else if (what < 0.67) step.changes.push([named('Type'), ['lowpass', 'highpass', 'lowshelf', 'highshelf', 'peaking', 9, -2][Math.floor(next() * 7)]]);
    else if (what < 0.8) step.changes.push([named('Enable'), next() < 0.6]);
    else {
      // Out of range: the provider clamps, the log keeps what was given.
      const out = [['Freq', 50000], ['Freq', -10], ['Q', 0], ['Q', 500], ['Gain', 99], ['Gain', -45.5]];
      const [word, value] = out[Math.floor(next() * out.length)];
      step.changes.push(next() < 0.15 ? ['Lerp', 1.7] : [named(word), value]);
    }
    changes += 1;
  }
  const ordered = [...steps.values()].sort((a, b) => a.block - b.block);
  // A few things besides properties, on steps that have changes to wait for.
  ordered[10].seek = Math.floor(frames * 0.6);
  ordered[30].loop = [Math.floor(frames * 0.1), Math.floor(frames * 0.3)];
  ordered[40].bypass = true;
  ordered[50].bypass = false;
  ordered[60].loop = [0, frames];
  return ordered;
}

// Plays `file` of the studio through the page's own player on an
// OfflineAudioContext, with `steps` made between quanta exactly as the live
// page makes them; answers the samples heard, the log and the quanta the
// changes landed before.
async function renderOffline(page, file, seconds, steps) {
  return page.evaluate(async ({ file, seconds, steps }) => {
    const { LivePlayer } = await import('/player.js');
    const player = new LivePlayer({
      setting: { stored: window.studio.stored },
      report: () => {},
      failed: (error) => { throw error; },
    });
    await player.load(file, `file ${file}`);
    const { rate, channels } = player.file;
    const length = Math.round((seconds * rate) / 128) * 128;
    const context = new OfflineAudioContext(channels, length, rate);
    await player.attach(context);
    await player.startSession();
    player.playing = true;
    player.post({ type: 'play', playing: true });
    await player.log(); // answered once the worklet has the file and plays
    const landed = [];
    for (const step of steps) {
      context.suspend((step.block * 128) / rate).then(async () => {
        if (step.seek !== undefined) player.post({ type: 'seek', frame: step.seek });
        if (step.loop) player.post({ type: 'loop', from: step.loop[0], to: step.loop[1] });
        if (step.bypass !== undefined) player.bypass(step.bypass);
        let last = null;
        for (const [name, value] of step.changes) last = player.change(name, value);
        landed.push(await last);
        context.resume();
      });
    }
    const started = performance.now();
    const buffer = await context.startRendering();
    const took = performance.now() - started;
    const log = await player.log();
    const heard = new Int16Array(length * channels);
    for (let c = 0; c < channels; ++c) {
      const data = buffer.getChannelData(c);
      for (let i = 0; i < length; ++i) heard[i * channels + c] = Math.round(data[i] * 32768);
    }
    let text = '';
    const bytes = new Uint8Array(heard.buffer);
    for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return { heard: btoa(text), log, landed, rate, channels, quanta: length / 128, took };
  }, { file, seconds, steps });
}

const fromBase64 = (text) => {
  const bytes = Buffer.from(text, 'base64');
  return new Int16Array(bytes.buffer, bytes.byteOffset, bytes.length / 2);
};

// The events of a log after its first block, as "block name value" lines.
function scriptedLines(steps) {
  const lines = [];
  for (const step of steps) {
    if (step.loop) lines.push(`${step.block} loop ${step.loop[0]} ${step.loop[1]}`);
    for (const [name, value] of step.changes) {
      const slot = slotValue(name, value);
      lines.push(`${step.block} "${name}" ${slot.int ? slot.value : floatText(slot.value)}`);
    }
  }
  return lines;
}

test('the worklet plays what tolvane render --automation writes from the exported log', async () => {
  const dir = workspace({ seconds: 3 });
  await withStudio(['setting.toml', 'music.wav', makeMono(dir)], dir, async (studio) => {
    const { page } = await openPage(studio);
    for (const [file, name, seconds] of [[0, 'music.wav', 4], [1, 'mono-44k.wav', 3]]) {
      const rate = file === 0 ? 48000 : 44100;
      const frames = file === 0 ? 3 * 48000 : 2 * 44100;
      const steps = script(7 + file, Math.floor((seconds * rate) / 128), frames);
      const result = await renderOffline(page, file, seconds, steps);
      assert.equal(result.channels, file === 0 ? 2 : 1);
      // Each change was made before the quantum it was scripted for.
      assert.deepEqual(result.landed, steps.map((s) => s.block));
      // The log is the script: the setting before block 0, then its changes.
      const events = result.log.split('\n').filter((l) => /^\d+ /.test(l) && !l.startsWith('0 '));
      const expected = scriptedLines(steps).filter((l) => !/ (seek|bypass) /.test(l));
      assert.deepEqual(events.filter((l) => !/ (seek|bypass) /.test(l)), expected);
      assert.match(result.log, new RegExp(`^blocks ${result.quanta}$`, 'm'));
      assert.equal((result.log.match(/ bypass /g) ?? []).length, 2);
      assert.ok(result.log.includes(`${steps[10].block} seek ${steps[10].seek}`));
      const changes = expected.filter((l) => l.includes('"')).length;
      assert.ok(changes >= 200, `${changes} changes`);

      const logPath = path.join(dir, `heard-${file}.automation`);
      fs.writeFileSync(logPath, result.log);
      tool(['render', 'setting.toml', name, '--automation', logPath, '-o', `replayed-${file}.wav`], dir);
      const replayed = samples(fs.readFileSync(path.join(dir, `replayed-${file}.wav`)));
      sameSamples(fromBase64(result.heard), replayed, `${name} through the worklet against render --automation`);
      console.log(`${name}: ${changes} changes over ${result.quanta} quanta, the worklet's output ` +
        `equal to render --automation's, sample for sample`);
    }

    // The worklet's cost: a plain offline render of 20 s, six bands, stereo 48 kHz.
    const timed = await renderOffline(page, 0, 20, []);
    const perQuantum = (1000 * timed.took) / timed.quanta;
    console.log(`worklet time per 128-frame quantum, 6 bands stereo 48 kHz: ${perQuantum.toFixed(1)} µs ` +
      `(${((100 * perQuantum) / ((128 / 48000) * 1e6)).toFixed(2)}% of the quantum's 2667 µs; ` +
      'the whole offline graph, analysers included)');
    const size = await page.evaluate(async () => (await (await fetch('/tolvane-eq.wasm')).arrayBuffer()).byteLength);
    console.log(`module size: ${size} bytes`);
    assert.deepEqual(page.problems, []);
  });
});

// A mono 44.1 kHz WAV: the left channel of the synth's stereo.
function makeMono(dir) {
  const name = 'mono-44k.wav';
  tool(['synth', 'stereo-44k.wav', '--seconds', '2', '--rate', '44100'], dir);
  const stereo = fs.readFileSync(path.join(dir, 'stereo-44k.wav'));
  const all = samples(stereo);
  const left = new Int16Array(all.length / 2);
  for (let i = 0; i < left.length; ++i) left[i] = all[2 * i];
  const header = Buffer.alloc(44);
  header.write('RIFF', 0);
  header.writeUInt32LE(36 + left.byteLength, 4);
  header.write('WAVEfmt ', 8);
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20);
  header.writeUInt16LE(1, 22);
  header.writeUInt32LE(44100, 24);
  header.writeUInt32LE(88200, 28);
  header.writeUInt16LE(2, 32);
  header.writeUInt16LE(16, 34);
  header.write('data', 36);
  header.writeUInt32LE(left.byteLength, 40);
  fs.writeFileSync(path.join(dir, name), Buffer.concat([header, Buffer.from(left.buffer)]));
  return name;
}

test('a 5-second drag while the demo plays: no restart, no silence, and the log replays it', async () => {
  const dir = folder();
  fs.copyFileSync(path.join(path.dirname(new URL(import.meta.url).pathname), '../../examples/warm-to-bright.toml'),
    path.join(dir, 'setting.toml'));
  tool(['synth', 'demo.wav', '--rate', '48000'], dir); // the studio's own demo signal
  await withStudio(['setting.toml'], dir, async (studio) => {
    const { page } = await openPage(studio);
    assert.equal(await page.evaluate(() => window.studio.live), true);
    await page.click('#play');
    await page.waitForFunction(() => window.studio.player.position > 0.3, null, { timeout: 15000 });
    await page.evaluate(() => {
      const s = window.studio;
      s.player.record(true);
      s.meters = [];
      const report = s.player.report;
      s.player.report = (r) => { if (r.peak !== undefined) s.meters.push({ ...r, at: performance.now() }); report(r); };
    });
    const box = await page.locator('#handle-0-1').boundingBox();
    const x = box.x + box.width / 2;
    const y = box.y + box.height / 2;
    await page.mouse.move(x, y);
    await page.mouse.down();
    const drags = [];
    const started = Date.now();
    const framesBefore = await page.evaluate(() => window.studio.spectrumFrames);
    let last = 0;
    for (let i = 1; Date.now() - started < 5000; ++i) {
      const phase = i / 25;
      await page.mouse.move(x + 150 * Math.sin(phase), y - 60 * Math.sin(phase * 0.7));
      // The curve drawn for this move: from its event to the end of drawing.
      const { drawnFor, drawnAt } = await page.evaluate(() =>
        ({ drawnFor: window.studio.drawnFor, drawnAt: window.studio.lastRedrawAt }));
      if (drawnFor !== last) drags.push(drawnAt - drawnFor);
      last = drawnFor;
      await page.waitForTimeout(16);
    }
    const frames = (await page.evaluate(() => window.studio.spectrumFrames)) - framesBefore;
    const dragSeconds = (Date.now() - started) / 1000;
    await page.mouse.up();
    await page.waitForTimeout(200);
    const run = await page.evaluate(async () => {
      const s = window.studio;
      const record = await s.player.recorded();
      s.player.record(false);
      const heard = new Int16Array(record.blocks.length * 256);
      record.blocks.forEach((block, i) => heard.set(block, i * 256));
      let text = '';
      const bytes = new Uint8Array(heard.buffer);
      for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
      return {
        meters: s.meters,
        applied: s.player.stats.applied,
        spectrumFrames: s.spectrumFrames,
        chunks: record.blocks.length,
        from: record.from,
        heard: btoa(text),
        underruns: s.player.context.playbackStats?.underrunEvents ?? null,
      };
    });
    // Positions only go forward, but for the wrap at the loop's end.
    let restarts = 0;
    let silent = 0;
    for (let i = 1; i < run.meters.length; ++i) {
      const back = run.meters[i].position < run.meters[i - 1].position;
      const wrapped = back && run.meters[i - 1].position > 8 * 48000 - 48000 / 10;
      if (back && !wrapped) ++restarts;
      if (run.meters[i].peak === 0) ++silent;
    }
    const seconds = (run.meters.at(-1).at - run.meters[0].at) / 1000;
    console.log(`5 s drag while the demo plays: ${drags.length} moves, ${run.applied.length} changes applied, ` +
      `${run.chunks} quanta heard, ${restarts} restarts, ${silent} silent meter periods of ${run.meters.length}` +
      `${run.underruns === null ? '' : `, ${run.underruns} underruns`}`);
    console.log(`input event to the change applied in the worklet: median ${median(run.applied).toFixed(1)} ms, ` +
      `worst ${Math.max(...run.applied).toFixed(1)} ms`);
    console.log(`drag move to redrawn curve, spectrum on: median ${median(drags).toFixed(1)} ms, ` +
      `worst ${Math.max(...drags).toFixed(1)} ms (${drags.length} curves); ` +
      `spectrum ${(frames / dragSeconds).toFixed(0)} frames a second`);
    assert.equal(restarts, 0);
    assert.equal(silent, 0);
    // At the file's rate the quanta heard keep pace with the clock.
    assert.ok(run.chunks >= 0.9 * seconds * 48000 / 128, `${run.chunks} quanta in ${seconds} s`);

    // Stopped, the log of the whole session replays to what was heard.
    await page.click('#play');
    const log = await page.evaluate(async () => {
      await document.getElementById('export').click();
      await new Promise((resolve) => setTimeout(resolve, 300));
      return window.studio.exported;
    });
    fs.writeFileSync(path.join(dir, 'heard.automation'), log);
    assert.match(log, /^block 128$/m);
    assert.ok((log.match(/"0 Freq 1"/g) ?? []).length > 50, 'the drag is in the log');
    tool(['render', 'setting.toml', 'demo.wav', '--automation', 'heard.automation', '-o', 'replayed.wav'], dir);
    const replayed = samples(fs.readFileSync(path.join(dir, 'replayed.wav')));
    const heard = fromBase64(run.heard);
    sameSamples(heard, replayed.subarray(run.from * 256, run.from * 256 + heard.length),
      'what was heard during the drag against render --automation of the exported log');
    assert.deepEqual(page.problems, []);
  });
});
