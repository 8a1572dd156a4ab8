// What the browser tests share: Debian's chromium, a `tolvane studio` of
// their own in a folder of their own, and ways to read what the page shows.
import { before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const here = path.dirname(fileURLToPath(import.meta.url));
export const TOOL = path.resolve(here, process.env.TOLVANE_TOOL ?? '../../build/linux/tolvane');
export const EXAMPLES = path.resolve(here, process.env.TOLVANE_EXAMPLES ?? '../../examples');
export const ARTIFACTS = process.env.TOLVANE_ARTIFACTS ??
  fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-browser-'));

export let browser;
const folders = []; // removed at the end: a 3-minute file is 34 MB
before(async () => {
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
      '--autoplay-policy=no-user-gesture-required', '--mute-audio'],
  });
});
after(async () => {
  await browser?.close();
  for (const dir of folders) fs.rmSync(dir, { recursive: true, force: true });
});

// ------------------------------------------------------------------ helpers

export function folder() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-studio-'));
  folders.push(dir);
  return dir;
}

export function tool(args, cwd) {
  return execFileSync(TOOL, args, { cwd, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
}

// A folder with a copy of the warm-to-bright example and a piece of music.
export function workspace({ seconds = 2, rate = 48000 } = {}) {
  const dir = folder();
  fs.copyFileSync(path.join(EXAMPLES, 'warm-to-bright.toml'), path.join(dir, 'setting.toml'));
  tool(['synth', 'music.wav', '--seconds', String(seconds), '--rate', String(rate)], dir);
  return dir;
}

export async function startStudio(args, cwd) {
  const port = args.includes('--port') ? [] : ['--port', '0'];
  const child = spawn(TOOL, ['studio', ...args, ...port], { cwd, stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  child.stderr.on('data', (d) => { err += d; });
  const exited = new Promise((resolve) => child.on('exit', resolve));
  const found = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no address printed: ${out} ${err}`)), 15000);
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/http:\/\/127\.0\.0\.1:(\d+)\/\?token=([0-9a-f]{32})/);
      if (m) {
        clearTimeout(timer);
        resolve({ url: m[0], port: Number(m[1]), token: m[2] });
      }
    });
    exited.then((code) => reject(new Error(`studio exited ${code}: ${err}`)));
  });
  const studio = {
    ...found,
    contexts: [],
    // A request from outside the page, with the token in its header.
    async api(route, options = {}) {
      const res = await fetch(`http://127.0.0.1:${found.port}${route}`, {
        ...options,
        headers: { 'X-Tolvane-Token': found.token, ...(options.headers ?? {}) },
      });
      assert.ok(res.ok, `${route}: ${res.status}`);
      return route.startsWith('/api/render') ? Buffer.from(await res.arrayBuffer()) : res.json();
    },
    async stored() {
      return (await studio.api('/api/state')).properties;
    },
    // The browser leaves first: its idle connections would hold the server's
    // shutdown for their keep-alive time.
    async stop({ keepPages = false } = {}) {
      if (!keepPages) for (const context of studio.contexts.splice(0)) await context.close();
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGINT');
      return exited;
    },
  };
  return studio;
}

// Runs `body` with a studio started in `cwd`, and stops it however it ends.
export async function withStudio(args, cwd, body) {
  const studio = await startStudio(args, cwd);
  try {
    await body(studio);
  } finally {
    await studio.stop();
  }
}

export async function openPage(studio, url = studio.url,
  { viewport = { width: 1280, height: 800 }, init = null, context: shared = null } = {}) {
  const context = shared ?? await browser.newContext({ viewport });
  if (init) await context.addInitScript(init);
  if (!shared) studio.contexts.push(context);
  const page = await context.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(e.message));
  // A refused save is part of the conversation, not a fault of the page.
  page.on('console', (m) => {
    if (m.type() === 'error' && !/status of 409/.test(m.text())) problems.push(m.text());
  });
  page.problems = problems;
  const response = await page.goto(url);
  if (response.ok()) await page.waitForFunction(() => window.studio?.ready, null, { timeout: 15000 });
  return { page, response };
}

// Every edit answered, the curve drawn for it and any render in flight done.
export async function settled(page) {
  await page.waitForFunction(() => !window.studio.busy, null, { timeout: 30000 });
}

// The panel's control for a property ("1 Gain 0"), found by its label as a
// person (or a screen reader) finds it.
export function control(page, property) {
  const [p, word, b] = property.split(' ');
  return page.getByLabel(`preset ${p} band ${b} ${word}`, { exact: true });
}

export async function typeInto(page, property, text) {
  await control(page, property).fill(text);
  await control(page, property).press('Enter');
  await settled(page);
}

// Another editor moves preset 1's band 0 to 250 Hz in the file; Save then
// finds the file changed and shows the banner.
export async function saveIntoConflict(page, file) {
  fs.writeFileSync(file, fs.readFileSync(file, 'utf8').replace('"1 Freq 0" = 200.0', '"1 Freq 0" = 250.0'));
  await page.click('#save');
  await page.waitForSelector('#notice:not([hidden])');
}

export const pageResponse = (page) => page.evaluate(() => window.studio.response);

// The bytes the page's audio element plays (as base64 on the way: a list of
// numbers would take seconds for a few megabytes).
export async function playingBytes(page) {
  const encoded = await page.evaluate(async () => {
    const blob = await (await fetch(document.getElementById('audio').src)).blob();
    const url = await new Promise((resolve) => {
      const reader = new FileReader();
      reader.onload = () => resolve(reader.result);
      reader.readAsDataURL(blob);
    });
    return url.slice(url.indexOf(',') + 1);
  });
  return Buffer.from(encoded, 'base64');
}

// The 16-bit samples of a WAV file's data chunk.
export function samples(bytes) {
  for (let at = 12; at + 8 <= bytes.length;) {
    const id = bytes.toString('ascii', at, at + 4);
    const size = bytes.readUInt32LE(at + 4);
    if (id === 'data') {
      const data = bytes.subarray(at + 8, at + 8 + size);
      return new Int16Array(data.buffer.slice(data.byteOffset, data.byteOffset + data.length));
    }
    at += 8 + size + (size & 1);
  }
  throw new Error('no data chunk');
}

export function sameSamples(a, b, label) {
  assert.equal(a.length, b.length, `${label}: sample counts`);
  for (let i = 0; i < a.length; ++i) {
    if (a[i] !== b[i]) assert.fail(`${label}: sample ${i} is ${a[i]}, expected ${b[i]}`);
  }
}

export const median = (values) => [...values].sort((x, y) => x - y)[Math.floor(values.length / 2)];

