// The studio as a sound designer works in it for an hour: each fault a new
// user tripped over, and what every parametric EQ editor has. Each test
// does what the designer did, in Debian's chromium.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import {
  ARTIFACTS, browser, control, folder, openPage, saveIntoConflict, settled, startStudio, tool,
  typeInto, withStudio, workspace,
} from './helpers.mjs';

const stored = (page) => page.evaluate(() => ({ ...window.studio.stored }));
const status = (page) => page.textContent('#status');

// A settings file of these lines in a folder with a piece of music.
function setup(lines, { seconds = 2, rate = 48000 } = {}) {
  const dir = workspace({ seconds, rate });
  fs.writeFileSync(path.join(dir, 'setting.toml'), `${lines.join('\n')}\n`);
  return dir;
}

const ONE_PEAK = ['Lerp = 1.0', '"0 Type 0" = "peaking"', '"0 Freq 0" = 1234.0', '"0 Q 0" = 20.0',
  '"0 Gain 0" = 12.0', '"0 Enable 0" = true'];

async function freePort() {
  return new Promise((resolve) => {
    const server = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// ------------------------------------------------------------------ faults

test('1. after a page load a narrow peak is drawn whole, a point for each pixel column', async () => {
  const dir = setup(ONE_PEAK);
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    await page.reload();
    await page.waitForFunction(() => window.studio?.ready);
    const { points, width, peak } = await page.evaluate(() => ({
      points: window.studio.response.frequency.length,
      width: document.getElementById('curve').getBoundingClientRect().width,
      peak: Math.max(...window.studio.response.mix_db),
    }));
    assert.ok(points >= width - 60, `${points} points for ${width} px`);
    assert.ok(peak > 11.5, `the +12 dB peak is drawn at ${peak.toFixed(2)} dB`);
    assert.deepEqual(page.problems, []);
  });
});

test('2. two studios in one browser keep their own sessions', async () => {
  const first = workspace();
  const second = workspace();
  await withStudio(['setting.toml', 'music.wav'], first, async (a) => {
    await withStudio(['setting.toml', 'music.wav'], second, async (b) => {
      const context = await browser.newContext();
      a.contexts.push(context);
      const { page: pageA } = await openPage(a, a.url, { context });
      await openPage(b, b.url, { context });
      await pageA.bringToFront();
      await typeInto(pageA, '0 Freq 0', '150');
      assert.equal((await a.stored())['0 Freq 0'], 150);
      await pageA.click('#play');
      await pageA.waitForFunction(() => window.studio.player.position > 0.2, null, { timeout: 15000 });
      assert.equal(await pageA.textContent('#play'), 'Stop');
      assert.doesNotMatch(await status(pageA), /Forbidden|token/);
      assert.deepEqual(pageA.problems, []);
    });
  });
});

test('3. two tabs on one studio follow each other, and Save writes what both show', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page: a } = await openPage(studio);
    const { page: b } = await openPage(studio);
    await typeInto(b, '1 Gain 2', '-9');
    await a.waitForFunction(() => window.studio.stored['1 Gain 2'] === -9, null, { timeout: 5000 });
    assert.equal(await control(a, '1 Gain 2').inputValue(), '-9');
    assert.match(await a.getAttribute('#handle-1-2', 'aria-label'), /-9\.0 dB/);
    assert.match(await status(a), /changed in another tab: 1 Gain 2/);
    await typeInto(a, '0 Freq 0', '130');
    await a.keyboard.press('Control+s');
    await a.waitForFunction(() => /saved/.test(document.getElementById('status').textContent));
    const saved = fs.readFileSync(path.join(dir, 'setting.toml'), 'utf8');
    assert.match(saved, /"1 Gain 2" = -9\.0/);
    assert.match(saved, /"0 Freq 0" = 130\.0/);
    // B learns that it is saved now.
    await b.waitForFunction(() => !document.getElementById('settings-name').classList.contains('dirty'),
      null, { timeout: 5000 });
    assert.deepEqual([...a.problems, ...b.problems], []);
  });
});

test('4. F5 with unsaved edits keeps them marked, and the page still guards them', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    await typeInto(page, '0 Gain 0', '2');
    await page.reload();
    await page.waitForFunction(() => window.studio?.ready);
    assert.equal(await page.getAttribute('#settings-name', 'class'), 'file dirty');
    let asked = null;
    page.on('dialog', async (dialog) => {
      asked = dialog.type();
      await dialog.dismiss();
    });
    await page.close({ runBeforeUnload: true });
    await new Promise((resolve) => setTimeout(resolve, 500));
    assert.equal(asked, 'beforeunload');
  });
});

test('5. values are typed as a person writes them; what cannot be read is refused where it was typed', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    const read = [
      ['0 Freq 1', '2k', 2000], ['0 Freq 1', '2 kHz', 2000], ['0 Freq 1', '1.5k', 1500],
      ['0 Freq 1', '1200 Hz', 1200], ['0 Freq 1', '880', 880], ['0 Gain 1', '-3 dB', -3],
      ['0 Gain 1', '+4.5dB', 4.5], ['0 Q 1', '.5', 0.5],
    ];
    for (const [property, text, value] of read) {
      await typeInto(page, property, text);
      assert.equal((await studio.stored())[property], value, `${text} into ${property}`);
      assert.equal(await control(page, property).getAttribute('aria-invalid'), null);
    }
    const refused = [['0 Freq 1', 'abc'], ['0 Freq 1', '2 kg'], ['0 Gain 1', '3 Hz'], ['0 Q 1', '1..2'], ['0 Q 1', '2k']];
    for (const [property, text] of refused) {
      const before = (await studio.stored())[property];
      await typeInto(page, property, text);
      assert.equal((await studio.stored())[property], before, `${text} into ${property} stored nothing`);
      assert.equal(await control(page, property).getAttribute('aria-invalid'), 'true');
      assert.equal(await control(page, property).inputValue(), text, 'kept where it was typed');
      assert.match(await page.textContent('#status.error'), new RegExp(`"${text.replace('.', '\\.')}" is not`));
      await control(page, property).press('Escape');
      assert.equal(Number(await control(page, property).inputValue()), before);
    }
    assert.deepEqual(page.problems, []);
  });
});

test('6. a handle sits where its band\'s values put it, at the plot\'s edge with a mark beyond it', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    await page.selectOption('#zoom', '12');
    const cases = [
      ['0 Freq 1', '0', 'left'], ['0 Freq 1', '5', 'left'], ['0 Freq 1', '1000', ''],
      ['0 Gain 1', '20', 'top'], ['0 Gain 1', '-20', 'bottom'],
    ];
    for (const [property, text, edge] of cases) {
      await typeInto(page, property, text);
      const at = await page.evaluate(() => {
        const h = document.getElementById('handle-0-1');
        const box = h.getBoundingClientRect();
        const plot = document.getElementById('curve').getBoundingClientRect();
        return { x: box.left + box.width / 2 - plot.left, y: box.top + box.height / 2 - plot.top, edge: h.dataset.edge };
      });
      assert.equal(at.edge, edge, `${property} ${text}`);
      const s = await stored(page);
      const want = await page.evaluate(([hz, db]) => {
        const p = window.studio.toScreen(Math.max(10, Math.min(hz, 24000)), Math.max(-12, Math.min(12, db)));
        return p;
      }, [s['0 Freq 1'], s['0 Gain 1']]);
      assert.ok(Math.abs(at.x - want.x) < 1.5 && Math.abs(at.y - want.y) < 1.5, `${property} ${text}: ${JSON.stringify(at)} ${JSON.stringify(want)}`);
    }
  });
});

test('7. fields step by what fits the quantity: arrows and the wheel, Shift coarser', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    const steps = [
      ['0 Q 1', 'ArrowUp', (v) => +(v * 1.1).toPrecision(4)],
      ['0 Q 1', 'ArrowDown', (v) => +(v / 1.1).toPrecision(4)],
      ['0 Q 1', 'Shift+ArrowUp', (v) => +(v * 2).toPrecision(4)],
      ['0 Freq 1', 'ArrowUp', (v) => +(v * Math.pow(2, 1 / 12)).toPrecision(5)],
      ['0 Freq 1', 'Shift+ArrowDown', (v) => +(v / 2).toPrecision(5)],
      ['0 Gain 1', 'ArrowUp', (v) => Math.round((v + 0.1) * 10) / 10],
      ['0 Gain 1', 'Shift+ArrowDown', (v) => Math.round((v - 1) * 10) / 10],
    ];
    for (const [property, key, next] of steps) {
      const before = (await stored(page))[property];
      await control(page, property).focus();
      await page.keyboard.press(key);
      await settled(page);
      const after = (await studio.stored())[property];
      assert.equal(Math.fround(after), Math.fround(next(before)), `${key} on ${property} from ${before}`);
    }
    // The wheel over the focused Q field: 10% a notch, never 1.0.
    const q = (await stored(page))['0 Q 1'];
    const box = await control(page, '0 Q 1').boundingBox();
    await page.mouse.click(box.x + 10, box.y + 5);
    await page.mouse.wheel(0, 100);
    await settled(page);
    assert.equal(Math.fround((await studio.stored())['0 Q 1']), Math.fround(+(q / 1.1).toPrecision(4)));
  });
});

test('8. the layout holds from 800 px wide up', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    for (const [width, height] of [[800, 900], [1024, 640], [1400, 900]]) {
      const { page } = await openPage(studio, studio.url, { viewport: { width, height } });
      await page.click('#play');
      await page.waitForFunction(() => window.studio.player.position > 0.3, null, { timeout: 15000 });
      const faults = await page.evaluate(() => {
        const found = [];
        const inside = (el, box) => {
          const r = el.getBoundingClientRect();
          return r.left >= box.left - 0.5 && r.right <= box.right + 0.5;
        };
        const transport = document.querySelector('.transport').getBoundingClientRect();
        for (const el of document.querySelectorAll('.transport button, .transport input, .transport .time, .transport .meter, .transport select')) {
          if (el.offsetParent && !inside(el, transport)) found.push(`${el.id || el.className} leaves the transport`);
        }
        const keys = document.querySelector('.keys');
        if (keys.scrollWidth > keys.clientWidth + 1) found.push('the key line is cut off');
        if (document.documentElement.scrollWidth > window.innerWidth) found.push('the page scrolls sideways');
        for (const el of document.querySelectorAll('.band input, .band select, .band button')) {
          if (!inside(el, el.closest('.band').getBoundingClientRect())) found.push(`${el.id || el.dataset.name} leaves its band`);
        }
        return found;
      });
      await page.click('#play');
      const shot = path.join(ARTIFACTS, `studio-${width}x${height}.png`);
      fs.mkdirSync(ARTIFACTS, { recursive: true });
      await page.screenshot({ path: shot, fullPage: true });
      assert.deepEqual(faults, [], `${width} x ${height}`);
      assert.deepEqual(page.problems, []);
    }
  });
});

test('9. another file, chosen while stopped, shows its own length and seeks within it', async () => {
  const dir = workspace({ seconds: 2 });
  tool(['synth', 'long.wav', '--seconds', '6', '--rate', '48000'], dir);
  await withStudio(['setting.toml', 'music.wav', 'long.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    assert.equal(await page.textContent('#time'), '0:00.000 / 0:02.000');
    await page.selectOption('#file', '1');
    await page.waitForFunction(() => document.getElementById('time').textContent.endsWith('0:06.000'));
    const bar = await page.locator('#position').boundingBox();
    await page.mouse.click(bar.x + bar.width / 2, bar.y + bar.height / 2);
    const at = Number(await page.getAttribute('#position', 'aria-valuenow'));
    assert.ok(Math.abs(at - 3) < 0.1, `clicked half-way: ${at} s`);
  });
});

test('10. the wheel over a band\'s handle makes that band the one shown', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    await page.focus('#handle-0-0');
    const box = await page.locator('#handle-1-2').boundingBox();
    await page.mouse.move(box.x + 9, box.y + 9);
    await page.mouse.wheel(0, -100);
    await settled(page);
    assert.equal(await page.evaluate(() => document.activeElement.id), 'handle-1-2');
    await page.mouse.move(5, 5); // away: the readout is the focused band's
    assert.match(await page.textContent('#readout'), /^preset 1 band 2, /);
  });
});

test('11. handles at one place take turns under the pointer', async () => {
  const dir = setup(['Lerp = 0.5', '"0 Type 1" = "peaking"', '"0 Freq 1" = 1000.0', '"0 Gain 1" = 6.0',
    '"0 Enable 1" = true', '"1 Type 1" = "peaking"', '"1 Freq 1" = 1000.0', '"1 Gain 1" = 6.0', '"1 Enable 1" = true']);
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    const box = await page.locator('#handle-1-1').boundingBox();
    const seen = [];
    for (let i = 0; i < 3; ++i) {
      await page.mouse.click(box.x + box.width / 2, box.y + box.height / 2);
      seen.push(await page.evaluate(() => document.activeElement.id));
    }
    assert.ok(seen.includes('handle-0-1') && seen.includes('handle-1-1'), seen.join(' '));
    assert.notEqual(seen[0], seen[1]);
  });
});

test('12. switched-off bands are hollow handles, switched on by a double-click at a sensible place', async () => {
  const dir = folder();
  await withStudio([], dir, async (studio) => {
    const { page } = await openPage(studio);
    assert.equal(await page.locator('.handle.off').count(), 6);
    assert.match(await status(page), /double-click a hollow handle/);
    const xs = await page.evaluate(() => [...document.querySelectorAll('.handle')].map((h) => Math.round(parseFloat(h.style.left))));
    assert.equal(new Set(xs).size, 6, 'low, middle and high, apart, not all at the 20 kHz edge');
    await page.locator('#handle-0-1').dblclick();
    await settled(page);
    const s = await studio.stored();
    assert.deepEqual([s['0 Enable 1'], s['0 Type 1'], s['0 Freq 1']], [true, 'peaking', 1000]);
    assert.equal(await page.locator('#handle-0-1.off').count(), 0);
    // And from the keyboard: Enter on a hollow handle.
    await page.focus('#handle-1-2');
    await page.keyboard.press('Enter');
    await settled(page);
    assert.deepEqual([(await studio.stored())['1 Enable 2'], (await studio.stored())['1 Freq 2']], [true, 12500]);
  });
});

test('13. Sweep and Bypass show on the plot; under Bypass an edit renders nothing', async () => {
  const dir = workspace({ seconds: 6 });
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    await page.click('#play');
    await page.check('#sweep');
    await page.waitForFunction(() => /sweeping/.test(window.studio.badge), null, { timeout: 5000 });
    const lerps = new Set();
    for (let i = 0; i < 8; ++i) {
      await page.waitForTimeout(150);
      lerps.add(await page.evaluate(() => window.studio.response.lerp));
    }
    assert.ok(lerps.size > 3, `the curve follows the sweep: ${[...lerps].join(' ')}`);
    assert.notEqual(Number(await page.inputValue('#lerp')), 0.5);
    await page.uncheck('#sweep');
    await page.check('#bypass');
    await page.waitForFunction(() => window.studio.dim && /Bypass/.test(window.studio.badge));
    await page.click('#play');
  });
  // The server's renders: nobody hears an edit under Bypass, so none is made.
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio, studio.url, { init: () => { delete window.AudioWorkletNode; } });
    await page.check('#bypass');
    await page.click('#play');
    await page.waitForFunction(() => window.studio.player.renders > 0, null, { timeout: 15000 });
    const renders = [];
    page.on('request', (r) => { if (r.url().includes('/api/render?file')) renders.push(r.url()); });
    await typeInto(page, '0 Gain 0', '3');
    await page.waitForTimeout(500);
    assert.deepEqual(renders, []);
    await page.click('#play');
  });
});

test('14. a stopped studio is noticed within seconds, and a restarted one is said plainly', async () => {
  const dir = workspace();
  const port = await freePort();
  const studio = await startStudio(['setting.toml', 'music.wav', '--port', String(port)], dir);
  const { page } = await openPage(studio);
  await studio.stop({ keepPages: true });
  const stoppedAt = Date.now();
  await page.waitForSelector('#notice:not([hidden])', { timeout: 5000 });
  console.log(`stopped studio noticed after ${Date.now() - stoppedAt} ms`);
  assert.match(await page.textContent('#notice-text'), /not answering: it has stopped/);
  const again = await startStudio(['setting.toml', 'music.wav', '--port', String(port)], dir);
  try {
    await page.waitForFunction(() => /running again, with a new session/.test(document.getElementById('notice-text').textContent),
      null, { timeout: 5000 });
    // Reloaded without the new token: a page that says what to do, not JSON.
    const res = await page.reload();
    assert.equal(res.status(), 403);
    assert.match(await page.textContent('body'), /needs its session token.*printed in its terminal/s);
  } finally {
    await page.context().close();
    await again.stop();
  }
});

test('15. Reload from disk is one undo step; a removed file is offered to be written again', async () => {
  const dir = workspace();
  const file = path.join(dir, 'setting.toml');
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    await typeInto(page, '0 Freq 0', '150');
    await saveIntoConflict(page, file);
    assert.equal(await status(page), '', 'the status line leaves the word to the banner');
    await page.click('#notice-actions >> text=Reload from disk');
    await settled(page);
    await page.waitForFunction(() => window.studio.stored['1 Freq 0'] === 250);
    assert.match(await page.getAttribute('#undo', 'title'), /reload from disk/);
    await page.locator('body').click({ position: { x: 5, y: 790 } });
    await page.keyboard.press('Control+z');
    await settled(page);
    assert.equal((await studio.stored())['0 Freq 0'], 150, 'the edit is back');
    fs.rmSync(file);
    await page.click('#save');
    await page.waitForSelector('#notice:not([hidden])');
    const offered = await page.locator('#notice-actions button').allTextContents();
    assert.deepEqual(offered, ['Write it again', 'Cancel']);
    await page.click('#notice-actions >> text=Write it again');
    await page.waitForFunction(() => /saved/.test(document.getElementById('status').textContent));
    assert.match(fs.readFileSync(file, 'utf8'), /"0 Freq 0" = 150\.0/);
  });
});

test('16. smaller things: the Lerp slider, a long note, a stale peak', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio, studio.url, { init: () => { delete window.AudioWorkletNode; } });
    // Preset 0 (Lerp 1) on the left, as the panel lists it first; steps of 0.01.
    await page.focus('#lerp');
    await page.keyboard.press('End');
    await settled(page);
    assert.equal((await studio.stored()).Lerp, 1);
    const slider = await page.locator('#lerp').boundingBox();
    const thumbLeft = await page.evaluate(() => {
      const input = document.getElementById('lerp');
      return getComputedStyle(input).direction;
    });
    assert.equal(thumbLeft, 'rtl');
    assert.ok(slider.width > 0);
    await page.keyboard.press('ArrowRight');
    await settled(page);
    assert.equal((await studio.stored()).Lerp, 0.99);
    // A long note of what was given keeps every label where it was.
    const top = () => page.evaluate(() => [...document.querySelectorAll('#band-1-1 label.num')].map((l) => l.getBoundingClientRect().top));
    const before = await top();
    await typeInto(page, '1 Gain 1', '123456789012345');
    assert.match(await page.textContent('.note[data-name="1 Gain 1"]'), /given 123456789012345/);
    assert.deepEqual(await top(), before);
    // A render's peak, shown after an edit made while stopped: said to be old.
    await page.click('#play');
    await page.waitForFunction(() => window.studio.player.renders > 0, null, { timeout: 15000 });
    await page.click('#play');
    await typeInto(page, '0 Gain 0', '2');
    assert.match(await page.getAttribute('#level', 'class'), /stale/);
  });
});

// ---------------------------------------------------------------- features

test('readouts, the vertical range and the curves shown', async () => {
  const dir = workspace();
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    const canvas = await page.locator('#curve').boundingBox();
    const at = await page.evaluate(() => window.studio.toScreen(1000, 0));
    await page.mouse.move(canvas.x + at.x, canvas.y + at.y);
    assert.match(await page.textContent('#cursor'), /^(1\.00 kHz|1000 Hz), [+-]?0\.0 dB$/);
    const handle = await page.locator('#handle-1-0').boundingBox();
    await page.mouse.move(handle.x + 9, handle.y + 9);
    assert.match(await page.textContent('#readout'), /^preset 1 band 0, lowshelf, 200 Hz, -3\.0 dB/);
    // Automatic range fits the curves; fixed ones on request.
    assert.equal(await page.evaluate(() => window.studio.extent), 12);
    for (const [value, extent] of [['6', 6], ['30', 30], ['24', 24], ['auto', 12]]) {
      await page.selectOption('#zoom', value);
      assert.equal(await page.evaluate(() => window.studio.extent), extent);
    }
    await typeInto(page, '0 Gain 1', '-20');
    assert.equal(await page.evaluate(() => window.studio.extent), 24);
    // Hidden curves leave no line: the mix's white is gone at 10 Hz.
    const white = () => page.evaluate(() => {
      const c = document.getElementById('curve');
      const r = c.width / c.getBoundingClientRect().width;
      const response = window.studio.response;
      const { x, y } = window.studio.toScreen(response.frequency[5], response.mix_db[5]);
      const d = c.getContext('2d').getImageData(Math.round(x * r) - 2, Math.round(y * r) - 2, 5, 5).data;
      for (let i = 0; i < d.length; i += 4) if (d[i] > 200 && d[i + 1] > 200 && d[i + 2] > 200) return true;
      return false;
    });
    assert.equal(await white(), true);
    await page.uncheck('#show-mix');
    assert.equal(await white(), false);
    await page.check('#show-mix');
    assert.deepEqual(page.problems, []);
  });
});

test('A/B in one key, a sweep over a chosen range, a band alone, reset and copy, named undo steps', async () => {
  const dir = workspace({ seconds: 4 });
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    await page.click('#play');
    await page.waitForFunction(() => window.studio.player.position > 0.2);
    await page.locator('body').click({ position: { x: 5, y: 790 } });
    const listened = [];
    for (let i = 0; i < 4; ++i) {
      await page.keyboard.press('a');
      listened.push(await page.evaluate(() => [window.studio.listening, window.studio.badge, window.studio.response.lerp]));
    }
    assert.deepEqual(listened.map((l) => l[0]), ['p0', 'p1', 'saved', 'mix']);
    assert.match(listened[0][1], /preset 0 alone/);
    assert.equal(listened[0][2], 1);
    assert.equal(listened[1][2], 0);
    assert.equal(listened[3][1], '');

    // Sweep between 0.2 and 0.8.
    await page.fill('#sweep-from', '0.8');
    await page.fill('#sweep-to', '0.2');
    await page.check('#sweep');
    await page.waitForTimeout(600);
    const lerp = await page.evaluate(() => window.studio.response.lerp);
    assert.ok(lerp <= 0.8 + 1e-6 && lerp >= 0.2 - 1e-6, `${lerp}`);
    await page.uncheck('#sweep');

    // A band alone: marked as a listening aid, on the plot and in the log.
    await page.click('#solo-0-1');
    assert.equal(await page.getAttribute('#solo-0-1', 'aria-pressed'), 'true');
    assert.match(await page.evaluate(() => window.studio.badge), /listening aid/);
    await page.waitForTimeout(300);
    await page.focus('#handle-0-1');
    await page.keyboard.press('s');
    assert.equal(await page.getAttribute('#solo-0-1', 'aria-pressed'), 'false');
    await page.click('#play');
    await page.click('#export');
    await page.waitForFunction(() => window.studio.exported);
    const log = await page.evaluate(() => window.studio.exported);
    assert.match(log, /^\d+ solo on$/m);
    assert.match(log, /^\d+ solo off$/m);
    fs.writeFileSync(path.join(dir, 'heard.automation'), log);
    const rendered = tool(['render', 'setting.toml', 'music.wav', '--automation', 'heard.automation', '-o', 'h.wav'], dir);
    assert.match(rendered, /h\.wav/);

    // Reset a band; copy a preset to the other; each one named undo step.
    await page.click('#reset-1-2');
    await settled(page);
    let s = await studio.stored();
    assert.deepEqual([s['1 Type 2'], s['1 Freq 2'], s['1 Gain 2']], ['peaking', 12500, 0]);
    assert.equal(await page.getAttribute('#undo', 'title'), 'Undo reset preset 1 band 2 (Ctrl+Z)');
    await page.click('#copy-0');
    await settled(page);
    s = await studio.stored();
    for (const word of ['Type', 'Freq', 'Q', 'Gain', 'Enable']) {
      for (let b = 0; b < 3; ++b) assert.equal(s[`1 ${word} ${b}`], s[`0 ${word} ${b}`], `${word} ${b}`);
    }
    assert.equal(await page.getAttribute('#undo', 'title'), 'Undo copy preset 0 to preset 1 (Ctrl+Z)');
    await page.click('#undo');
    await settled(page);
    assert.equal((await studio.stored())['1 Type 2'], 'peaking');
    await typeInto(page, '0 Freq 1', '1234');
    assert.equal(await page.getAttribute('#undo', 'title'), 'Undo preset 0 band 1 Freq 2500 Hz → 1234 Hz (Ctrl+Z)');
    assert.match(await page.getAttribute('#redo', 'title'), /^Redo/);
    assert.deepEqual(page.problems, []);
  });
});

test('Space plays, the time runs to the millisecond, the meter lights up at a clip; the keyboard reaches everything', async () => {
  const dir = setup(['Lerp = 1.0', '"0 Type 0" = "lowshelf"', '"0 Freq 0" = 2000.0', '"0 Gain 0" = 30.0', '"0 Enable 0" = true']);
  await withStudio(['setting.toml', 'music.wav'], dir, async (studio) => {
    const { page } = await openPage(studio);
    await page.locator('body').click({ position: { x: 5, y: 790 } });
    await page.keyboard.press(' ');
    await page.waitForFunction(() => window.studio.player.position > 0.3);
    assert.match(await page.textContent('#time'), /^0:00\.\d{3} \/ 0:02\.000$/);
    await page.waitForSelector('#meter .clip.lit', { timeout: 5000 });
    await page.keyboard.press(' ');
    assert.equal(await page.textContent('#play'), 'Play');
    // Tab from the top reaches every control a designer uses.
    const reached = new Set();
    await page.keyboard.press('Home');
    await page.focus('#undo');
    for (let i = 0; i < 140; ++i) {
      await page.keyboard.press('Tab');
      const id = await page.evaluate(() => document.activeElement.id || document.activeElement.name || document.activeElement.getAttribute('aria-label'));
      reached.add(id);
    }
    for (const id of ['show-p0', 'show-p1', 'show-mix', 'zoom', 'handle-0-0', 'handle-1-2', 'play', 'position',
      'bypass', 'sweep', 'sweep-from', 'sweep-to', 'listen', 'analyser', 'export', 'lerp', 'copy-0', 'copy-1',
      'solo-0-0', 'reset-1-2', 'preset 1 band 2 Freq']) {
      assert.ok(reached.has(id), `Tab reaches ${id}`);
    }
  });
});
