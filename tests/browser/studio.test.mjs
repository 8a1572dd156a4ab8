// The studio page in a real browser (Debian's chromium, headless), used the
// way a person uses it: mouse, keyboard, Play, Save. Each test starts its own
// `tolvane studio` in a folder of its own and checks what the page shows
// against what the server and `tolvane render` say.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  ARTIFACTS, EXAMPLES, control, folder, openPage, pageResponse, playingBytes, sameSamples,
  samples, saveIntoConflict, settled, startStudio, tool, typeInto, withStudio, workspace,
} from './helpers.mjs';

// The page's curve, from the engine in the page, against the server's: the
// same coefficients, evaluated by JavaScript's maths instead of C's.
function sameResponse(page, server) {
  assert.equal(page.rate, server.rate);
  assert.equal(Math.fround(page.lerp), Math.fround(server.lerp));
  assert.deepEqual(page.frequency.length, server.frequency.length);
  for (const key of ['frequency', 'preset0_db', 'preset1_db', 'mix_db']) {
    page[key].forEach((v, i) => {
      if (Math.abs(v - server[key][i]) > 1e-6 * Math.max(1, Math.abs(v))) {
        assert.fail(`${key}[${i}]: the page has ${v}, the server ${server[key][i]}`);
      }
    });
  }
}

// ------------------------------------------------------------------- tests

test('the page opens with the token and not without', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const refused = await openPage(studio, `http://127.0.0.1:${studio.port}/`);
    assert.equal(refused.response.status(), 403);
    assert.equal(await refused.page.locator('#curve').count(), 0);
    assert.match(await refused.page.textContent('body'), /session token/);
    const wrong = await openPage(studio, studio.url.replace(/token=\w+/, `token=${'0'.repeat(32)}`));
    assert.equal(wrong.response.status(), 403);

    const { page } = await openPage(studio);
    assert.equal(await page.inputValue('#lerp'), '0.5');
    assert.equal(await control(page, '0 Type 0').inputValue(), 'lowshelf');
    assert.equal(await control(page, '0 Enable 0').isChecked(), true);
    assert.equal(await page.locator('.handle').count(), 6);
    // The token has done its work: it is not left in the address bar, and
    // the page, loaded again, is authorised by the cookie alone.
    assert.equal(new URL(page.url()).search, '');
    await page.reload();
    await page.waitForFunction(() => window.studio?.ready);
    assert.equal(await page.locator('.handle').count(), 6);
    assert.deepEqual(page.problems, []);

    // A studio that has stopped: the status line says so.
    assert.equal(await studio.stop({ keepPages: true }), 0);
    await typeInto(page, '0 Freq 0', '300');
    assert.match(await page.textContent('#status.error'), /no answer from the studio/);
  });
});

test('the drawn curve passes through the server\'s points, 10 Hz to the file\'s Nyquist', async () => {
  const dir = workspace();
  tool(['synth', 'cd.wav', '--seconds', '1', '--rate', '44100'], dir);
  await withStudio(['setting.toml', 'music.wav', 'cd.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    const api = await studio.api('/api/response?points=40&file=0');
    // Looks at the canvas itself: the mix is drawn in white over the presets.
    const misses = await page.evaluate((response) => {
      const canvas = document.getElementById('curve');
      const ratio = canvas.width / canvas.getBoundingClientRect().width;
      const context = canvas.getContext('2d');
      const missed = [];
      response.frequency.forEach((hz, i) => {
        if (i % 3 !== 1) return;
        const { x, y } = window.studio.toScreen(hz, response.mix_db[i]);
        const pixels = context.getImageData(Math.round(x * ratio) - 2, Math.round(y * ratio) - 2, 5, 5).data;
        let white = false;
        for (let p = 0; p < pixels.length; p += 4) {
          if (pixels[p] > 200 && pixels[p + 1] > 200 && pixels[p + 2] > 200) white = true;
        }
        if (!white) missed.push(`${hz} Hz, ${response.mix_db[i]} dB`);
      });
      return missed;
    }, api);
    assert.deepEqual(misses, []);
    // Across the whole axis, 10 Hz to Nyquist of the file chosen.
    const drawn = await pageResponse(page);
    assert.equal(drawn.frequency[0], 10);
    assert.equal(drawn.frequency.at(-1), 24000);
    const right = await page.evaluate(() => window.studio.toScreen(24000, 0).x);
    await page.selectOption('#file', { label: 'cd.wav (44.1 kHz)' });
    await page.waitForFunction(() => window.studio.response.rate === 44100);
    const cd = await pageResponse(page);
    assert.equal(cd.frequency.at(-1), 22050);
    sameResponse(cd, await studio.api(`/api/response?points=${cd.frequency.length}&file=1`));
    assert.equal(await page.evaluate(() => window.studio.toScreen(22050, 0).x), right);
  });
});

test('dragging a handle moves Freq and Gain, in the panel, the provider and the curve', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    const handle = page.locator('#handle-0-1');
    const box = await handle.boundingBox();
    const x = box.x + box.width / 2;
    const y = box.y + box.height / 2;
    const before = await studio.stored();
    const redraws = await page.evaluate(() => window.studio.redraws);
    await page.mouse.move(x, y);
    await page.mouse.down();
    await page.mouse.move(x + 80, y - 50, { steps: 10 });
    await page.mouse.up();
    await settled(page);

    const after = await studio.stored();
    assert.ok(after['0 Freq 1'] > before['0 Freq 1'] * 1.5, 'dragged right: a higher Freq');
    assert.ok(after['0 Gain 1'] > before['0 Gain 1'] + 1.5, 'dragged up: more gain');
    assert.equal(after['0 Q 1'], before['0 Q 1']);
    assert.equal(Number(await control(page, '0 Freq 1').inputValue()), after['0 Freq 1']);
    assert.equal(Number(await control(page, '0 Gain 1').inputValue()), after['0 Gain 1']);
    // The curve on the page is the server's for the stored values.
    assert.ok(await page.evaluate(() => window.studio.redraws) > redraws);
    const drawn = await pageResponse(page);
    sameResponse(drawn, await studio.api(`/api/response?points=${drawn.frequency.length}&file=0`));
    // The handle sits where the band now is, and moved with the pointer.
    const moved = await handle.boundingBox();
    const at = await page.evaluate(([hz, db]) => window.studio.toScreen(hz, db), [after['0 Freq 1'], after['0 Gain 1']]);
    const canvas = await page.locator('#curve').boundingBox();
    assert.ok(Math.abs(moved.x + moved.width / 2 - (canvas.x + at.x)) < 1.5);
    assert.ok(Math.abs(moved.y + moved.height / 2 - (canvas.y + at.y)) < 1.5);
    assert.ok(Math.abs(moved.x - box.x - 80) < 3 && Math.abs(moved.y - box.y + 50) < 3, 'followed the pointer');

    // The wheel changes Q; a double-click takes the band out, and the panel
    // still has it.
    await page.mouse.move(moved.x + moved.width / 2, moved.y + moved.height / 2);
    await page.mouse.wheel(0, -100);
    await settled(page);
    const wheeled = await studio.stored();
    assert.ok(wheeled['0 Q 1'] > before['0 Q 1'], 'wheel up: a higher Q');
    await page.keyboard.down('Alt');
    await page.mouse.down();
    await page.mouse.move(moved.x + moved.width / 2, moved.y + moved.height / 2 + 60, { steps: 5 });
    await page.mouse.up();
    await page.keyboard.up('Alt');
    await settled(page);
    const altered = await studio.stored();
    assert.ok(altered['0 Q 1'] < wheeled['0 Q 1'] / 1.5, 'Alt-drag down: a lower Q');
    assert.equal(altered['0 Freq 1'], wheeled['0 Freq 1']);
    assert.equal(altered['0 Gain 1'], wheeled['0 Gain 1']);
    await handle.dblclick();
    await settled(page);
    assert.equal((await studio.stored())['0 Enable 1'], false);
    assert.equal(await page.locator('#handle-0-1.off').count(), 1, 'a hollow handle stays');
    assert.equal(await control(page, '0 Enable 1').isChecked(), false);
    await page.click('#band-0-1 .switch');
    await settled(page);
    assert.equal((await studio.stored())['0 Enable 1'], true);
    assert.equal(await page.locator('#handle-0-1.off').count(), 0);
    assert.deepEqual(page.problems, []);
  });
});

test('type and Lerp reshape the curve; a clamped value is shown as stored; undo and redo', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    const original = await studio.stored();
    const top = (r) => r.preset0_db.at(-1);
    const shelfTop = top(await pageResponse(page));

    // A high shelf made a low-pass: the top end falls away.
    await control(page, '0 Type 2').selectOption('lowpass');
    await settled(page);
    assert.equal((await studio.stored())['0 Type 2'], 'lowpass');
    assert.ok(top(await pageResponse(page)) < shelfTop - 20);
    assert.equal(await control(page, '0 Gain 2').isDisabled(), true);

    // Lerp to 0: the mix is preset 1 alone.
    await page.focus('#lerp');
    await page.keyboard.press('Home');
    await settled(page);
    assert.equal((await studio.stored()).Lerp, 0);
    assert.equal(await page.textContent('#lerp-value'), '0.000');
    const mixed = await pageResponse(page);
    assert.equal(mixed.lerp, 0);
    mixed.mix_db.forEach((db, i) => assert.ok(Math.abs(db - mixed.preset1_db[i]) < 1e-9));

    // A value the provider clamps is shown as stored, with what was given.
    await typeInto(page, '1 Gain 1', '99');
    const gain = (await studio.stored())['1 Gain 1'];
    assert.ok(gain < 99);
    assert.equal(Number(await control(page, '1 Gain 1').inputValue()), gain);
    assert.equal(await page.textContent('.note[data-name="1 Gain 1"]'), 'given 99');

    // Three steps back: the file's setting again; then forward, by keys and
    // by the button.
    await page.locator('body').click({ position: { x: 5, y: 790 } });
    for (let i = 0; i < 3; ++i) {
      await page.keyboard.press('Control+z');
      await settled(page);
    }
    assert.deepEqual(await studio.stored(), original);
    assert.equal(await control(page, '0 Type 2').inputValue(), 'highshelf');
    assert.equal(await page.isDisabled('#undo'), true);
    await page.keyboard.press('Control+Shift+z');
    await settled(page);
    assert.equal((await studio.stored())['0 Type 2'], 'lowpass');
    assert.equal((await studio.stored()).Lerp, original.Lerp);
    await page.click('#redo');
    await settled(page);
    assert.equal((await studio.stored()).Lerp, 0);
    assert.equal(await page.inputValue('#lerp'), '0');

    // A whole drag is one step.
    const box = await page.locator('#handle-1-1').boundingBox();
    await page.mouse.move(box.x + 9, box.y + 9);
    await page.mouse.down();
    await page.mouse.move(box.x + 60, box.y - 30, { steps: 12 });
    await page.mouse.up();
    await settled(page);
    const dragged = await studio.stored();
    assert.notEqual(dragged['1 Freq 1'], original['1 Freq 1']);
    await page.click('#undo');
    await settled(page);
    const undone = await studio.stored();
    assert.equal(undone['1 Freq 1'], original['1 Freq 1']);
    assert.equal(undone['1 Gain 1'], original['1 Gain 1']);
    assert.equal(undone.Lerp, 0, 'only the drag was undone');
    assert.deepEqual(page.problems, []);
  });
});

test('the keyboard alone changes a band', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    const before = await studio.stored();
    // Tab from the top of the page to the first handle.
    let focused = '';
    for (let i = 0; i < 20 && !focused.startsWith('handle-'); ++i) {
      await page.keyboard.press('Tab');
      focused = await page.evaluate(() => document.activeElement?.id ?? '');
    }
    assert.equal(focused, 'handle-0-0');
    // Focus is seen.
    assert.equal(await page.evaluate(() => getComputedStyle(document.activeElement).outlineStyle), 'solid');
    await page.keyboard.press('ArrowRight');
    await page.keyboard.press('ArrowUp');
    await page.keyboard.press('Shift+ArrowUp');
    await settled(page);
    const after = await studio.stored();
    assert.ok(Math.abs(after['0 Freq 0'] / before['0 Freq 0'] - Math.pow(2, 1 / 12)) < 1e-4);
    assert.equal(after['0 Gain 0'], before['0 Gain 0'] + 0.5);
    assert.ok(Math.abs(after['0 Q 0'] / before['0 Q 0'] - 1.1) < 1e-3);
    const described = await page.getAttribute('#handle-0-0', 'aria-label');
    assert.match(described, /^preset 0 band 0, lowshelf, 127\.1 Hz, \+5\.0 dB/);
    assert.equal(await page.textContent('#readout'), described);

    // Tab on to a field, type a value, commit it with Enter.
    const label = () => page.evaluate(() => document.activeElement?.getAttribute('aria-label') ?? '');
    for (let i = 0; i < 60 && focused !== 'preset 1 band 1 Freq'; ++i) {
      await page.keyboard.press('Tab');
      focused = await label();
    }
    assert.equal(focused, 'preset 1 band 1 Freq');
    await page.keyboard.press('Control+a');
    await page.keyboard.type('1234');
    await page.keyboard.press('Enter');
    await settled(page);
    assert.equal((await studio.stored())['1 Freq 1'], 1234);
    // Typed and left with Tab: committed as well.
    await page.keyboard.press('Tab');
    assert.equal(await label(), 'preset 1 band 1 Q');
    await page.keyboard.press('Control+a');
    await page.keyboard.type('2');
    await page.keyboard.press('Tab');
    await settled(page);
    assert.equal((await studio.stored())['1 Q 1'], 2);
    // Shift+Tab back to the band's type, and choose another with the arrows.
    for (let i = 0; i < 6 && focused !== 'preset 1 band 1 Type'; ++i) {
      await page.keyboard.press('Shift+Tab');
      focused = await label();
    }
    assert.equal(focused, 'preset 1 band 1 Type');
    await page.keyboard.press('ArrowUp');
    await settled(page);
    assert.equal((await studio.stored())['1 Type 1'], 'highshelf');
    assert.deepEqual(page.problems, []);
  });
});

// A browser without AudioWorklet: the page says so and plays the server's
// renders instead, made again after each change.
test('without AudioWorklet: what plays is the server\'s render, and Save writes what was heard', async () => {
  const dir = workspace({ seconds: 30 });
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio, studio.url, { init: () => { delete window.AudioWorkletNode; } });
    assert.equal(await page.evaluate(() => window.studio.live), false);
    assert.match(await page.textContent('#status'), /cannot run the equaliser itself.*server's renders/);
    assert.equal(await page.isHidden('#export'), true);
    await typeInto(page, '0 Gain 1', '7.5');
    await page.click('#play');
    const start = await page.waitForFunction(() => {
      const audio = document.getElementById('audio');
      return !audio.paused && audio.currentTime > 0 && audio.currentTime;
    }, null, { timeout: 15000 });
    const first = await start.jsonValue();
    await page.waitForFunction((t) => document.getElementById('audio').currentTime > t + 0.3, first);
    assert.equal(await page.textContent('#play'), 'Stop');
    const playing = await playingBytes(page);
    assert.ok(playing.equals(await studio.api('/api/render?file=0')), 'the audio element plays the render');
    const level = await page.textContent('#level');
    assert.match(level, /^peak (-?\d+\.\d dBFS|silent), \d+ saturated$/);
    assert.equal(level, await page.evaluate(() =>
      `peak ${window.studio.player.lastRender.peak}, ${window.studio.player.lastRender.saturated} saturated`));

    await page.keyboard.press('Control+s');
    await page.waitForFunction(() => /saved/.test(document.getElementById('status').textContent));
    tool(['render', 'setting.toml', 'music.wav', '-o', 'out.wav'], dir);
    sameSamples(samples(fs.readFileSync(path.join(dir, 'out.wav'))), samples(playing), 'saved setting rendered');

    // Bypass plays the file untouched, on from where it was.
    const renders = await page.evaluate(() => window.studio.player.renders);
    const position = await page.evaluate(() => document.getElementById('audio').currentTime);
    await page.check('#bypass');
    await page.waitForFunction((n) => window.studio.player.renders > n && !window.studio.busy, renders);
    assert.ok(await page.evaluate(() => document.getElementById('audio').currentTime) >= position);
    sameSamples(samples(await playingBytes(page)), samples(fs.readFileSync(path.join(dir, 'music.wav'))), 'bypass');

    // The sweep: Lerp from 1 to 0 across the file, as the toggle says.
    assert.match(await page.textContent('label:has(#sweep)'), /Sweep Lerp/);
    assert.deepEqual([await page.inputValue('#sweep-from'), await page.inputValue('#sweep-to')], ['1', '0']);
    let before = await page.evaluate(() => window.studio.player.renders);
    await page.uncheck('#bypass');
    await page.waitForFunction((n) => window.studio.player.renders > n && !window.studio.busy, before);
    before = await page.evaluate(() => window.studio.player.renders);
    await page.check('#sweep');
    await page.waitForFunction((n) => window.studio.player.renders > n && !window.studio.busy, before);
    assert.ok((await playingBytes(page)).equals(await studio.api('/api/render?file=0&sweep=1:0')), 'the sweep');

    // The position bar seeks; Stop stops.
    const bar = await page.locator('#position').boundingBox();
    await page.mouse.click(bar.x + bar.width * 0.75, bar.y + bar.height / 2);
    await page.waitForFunction(() => document.getElementById('audio').currentTime > 20);
    await page.click('#play');
    assert.equal(await page.evaluate(() => document.getElementById('audio').paused), true);
    assert.equal(await page.textContent('#play'), 'Play');
    assert.deepEqual(page.problems, []);
  });
});

test('without WebAssembly: stored values and curves come from the server', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio, studio.url, { init: () => { delete window.WebAssembly; } });
    assert.equal(await page.evaluate(() => window.studio.live), false);
    assert.match(await page.textContent('#status'), /cannot run the equaliser itself/);
    await typeInto(page, '1 Gain 1', '99');
    const stored = (await studio.stored())['1 Gain 1'];
    assert.equal(Number(await control(page, '1 Gain 1').inputValue()), stored);
    const drawn = await pageResponse(page);
    assert.deepEqual(drawn, await studio.api(`/api/response?points=${drawn.frequency.length}&file=0`));
    assert.deepEqual(page.problems, []);
  });
});

test('a file changed in another editor: Save offers reload or overwrite', async () => {
  const dir = workspace();
  const file = path.join(dir, 'setting.toml');
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    await typeInto(page, '0 Freq 0', '150');

    // Their edit; Save refuses and says so; Reload takes it.
    await saveIntoConflict(page, file);
    assert.match(await page.textContent('#notice-text'), /changed on disk/);
    await page.click('#notice-actions >> text=Reload from disk');
    await settled(page);
    assert.equal(await control(page, '1 Freq 0').inputValue(), '250');
    assert.equal(await control(page, '0 Freq 0').inputValue(), '120');
    assert.equal((await studio.stored())['0 Freq 0'], 120);

    // Their edit again; this time ours wins.
    await typeInto(page, '0 Freq 0', '150');
    fs.writeFileSync(file, 'Lerp = 0.0\n');
    await page.keyboard.press('Control+s');
    await page.waitForSelector('#notice:not([hidden])');
    await page.click('#notice-actions >> text=Overwrite');
    await page.waitForFunction(() => /saved/.test(document.getElementById('status').textContent));
    const saved = fs.readFileSync(file, 'utf8');
    assert.match(saved, /"0 Freq 0" = 150\.0/);
    assert.match(saved, /"1 Freq 0" = 250\.0/);
    assert.match(saved, /^Lerp = 0\.5$/m);
    assert.deepEqual(page.problems, []);
  });
});

test('without a settings file, Save asks for a name', async () => {
  const dir = folder();
  fs.writeFileSync(path.join(dir, 'taken.toml'), 'Lerp = 1.0\n');
  await withStudio([], dir, async (studio) => {
    const { page } = await openPage(studio);
    assert.equal(await page.textContent('#file'), 'demo.wav (48 kHz)');
    assert.equal(await page.textContent('#settings-name'), 'not saved yet');
    await control(page, '0 Enable 0').check();
    await settled(page);
    await page.keyboard.press('Control+s');
    await page.waitForSelector('#save-as[open]');
    // A name already taken is not overwritten unasked.
    await page.fill('#save-as-name', 'taken.toml');
    await page.keyboard.press('Enter');
    await page.waitForSelector('#notice:not([hidden])');
    assert.match(await page.textContent('#notice-text'), /already exists/);
    await page.click('#notice-actions >> text=Another name');
    await page.fill('#save-as-name', 'mine.toml');
    await page.keyboard.press('Enter');
    await page.waitForFunction(() => /saved mine\.toml/.test(document.getElementById('status').textContent));
    assert.match(fs.readFileSync(path.join(dir, 'mine.toml'), 'utf8'), /"0 Enable 0" = true/);
    assert.equal(fs.readFileSync(path.join(dir, 'taken.toml'), 'utf8'), 'Lerp = 1.0\n');
    assert.equal(await page.textContent('#settings-name'), 'mine.toml');
    assert.deepEqual(page.problems, []);
  });
});

test('screenshot: the warm-to-bright example with the demo signal', async () => {
  const dir = folder();
  fs.copyFileSync(path.join(EXAMPLES, 'warm-to-bright.toml'), path.join(dir, 'warm-to-bright.toml'));
  const studio = await startStudio(['warm-to-bright.toml'], dir);
  try {
    const { page } = await openPage(studio);
    // Playing, with the spectrum of the input and of what is heard behind
    // the curve.
    await page.click('#play');
    await page.waitForFunction(() => window.studio.player.position > 1.5, null, { timeout: 15000 });
    await page.focus('#handle-0-1');
    const shot = path.join(ARTIFACTS, 'studio.png');
    fs.mkdirSync(ARTIFACTS, { recursive: true });
    await page.screenshot({ path: shot });
    await page.click('#play');
    console.log(`screenshot: ${shot}`);
    // One screen: nothing scrolls at this size.
    assert.deepEqual(await page.evaluate(() => {
      const panel = document.querySelector('.panel');
      return [document.documentElement.scrollWidth, document.documentElement.scrollHeight,
        panel.scrollHeight <= panel.clientHeight];
    }), [1280, 800, true]);
    assert.deepEqual(page.problems, []);
  } finally {
    // Stopped by Ctrl-C, it ends cleanly.
    assert.equal(await studio.stop(), 0);
  }
});
