// The studio's page in headless Chromium: load, add a sound through the file input, see it drawn,
// switch A/B playback, program a virtual unit to "verified", see a unit plugged in appear, names
// shown as text, a limit reached said plainly, and a sound deleted.
// Screenshots of each step go to STUDIO_ARTIFACTS.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import puppeteer from 'puppeteer-core';

const bin = process.env.VELKIN_BIN;
const artifacts = process.env.STUDIO_ARTIFACTS ?? join(tmpdir(), 'studio-artifacts');
const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
mkdirSync(artifacts, { recursive: true });

const work = mkdtempSync(join(tmpdir(), 'studio-browser-'));
const emulator = join(work, 'devices');
mkdirSync(emulator);
const env = { ...process.env, VELKIN_EMULATOR: emulator, TMPDIR: work };
const emu = (...args) => execFileSync(join(bin, 'velkin-emu'), args, { env });

let studio;
let url;
let browser;
let page;
const pageErrors = [];

// Two seconds of 22050 Hz stereo: a tone with a little noise, so every encoder has work to do.
function testWav(path) {
  const rate = 22050;
  const frames = rate * 2;
  const data = Buffer.alloc(frames * 4);
  let seed = 1;
  for (let i = 0; i < frames; i++) {
    seed = (seed * 1103515245 + 12345) >>> 0;
    const noise = ((seed >>> 16) % 2000) - 1000;
    const s = Math.round(9000 * Math.sin((2 * Math.PI * 330 * i) / rate) * (i < frames / 2 ? 1 : 0.3) + noise);
    data.writeInt16LE(s, i * 4);
    data.writeInt16LE(-s, i * 4 + 2);
  }
  const head = Buffer.alloc(44);
  head.write('RIFF', 0); head.writeUInt32LE(36 + data.length, 4); head.write('WAVE', 8);
  head.write('fmt ', 12); head.writeUInt32LE(16, 16); head.writeUInt16LE(1, 20); head.writeUInt16LE(2, 22);
  head.writeUInt32LE(rate, 24); head.writeUInt32LE(rate * 4, 28); head.writeUInt16LE(4, 32); head.writeUInt16LE(16, 34);
  head.write('data', 36); head.writeUInt32LE(data.length, 40);
  writeFileSync(path, Buffer.concat([head, data]));
}

// Drops files made in the page on the drop zone, as a user drags them there.
function dropFiles(files) {
  return page.evaluate((list) => {
    const data = new DataTransfer();
    for (const [name, text] of list) data.items.add(new File([text], name, { type: 'audio/wav' }));
    document.getElementById('drop').dispatchEvent(new DragEvent('drop', { dataTransfer: data, bubbles: true, cancelable: true }));
  }, files);
}

const listed = () => page.$$eval('#sound-list li', (items) => items.map((li) => li.querySelector('.name').textContent));

async function shot(name) {
  await page.screenshot({ path: join(artifacts, `${name}.png`), fullPage: true });
}

// Pixels drawn on a canvas (not fully transparent).
function inked(id) {
  return page.evaluate((canvasId) => {
    const c = document.getElementById(canvasId);
    const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let n = 0;
    for (let i = 3; i < data.length; i += 4) if (data[i] !== 0) n++;
    return n;
  }, id);
}

before(async () => {
  emu('create', 'unit');
  // Room for three sounds, so that the page meets a limit too.
  studio = spawn(join(bin, 'velkin-studio'), ['--port', '0', '--max-sounds', '3'], { env, stdio: ['ignore', 'pipe', 'inherit'] });
  url = await new Promise((resolve, reject) => {
    const lines = createInterface({ input: studio.stdout });
    lines.once('line', resolve);
    studio.once('exit', (code) => reject(new Error(`velkin-studio ended with ${code}`)));
  });
  browser = await puppeteer.launch({
    executablePath: chromium, headless: true,
    args: ['--no-sandbox', '--autoplay-policy=no-user-gesture-required', '--window-size=1400,1100'],
  });
  page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 1100 });
  page.on('pageerror', (e) => pageErrors.push(e.message));
  page.on('console', (m) => { if (m.type() === 'error') pageErrors.push(m.text()); });
});

after(async () => {
  await browser?.close();
  if (url) {
    await fetch(`${url}api/shutdown`, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{}' })
      .catch(() => {});
  }
  await new Promise((resolve) => (studio && studio.exitCode === null ? studio.once('exit', resolve) : resolve()));
  rmSync(work, { recursive: true, force: true });
});

test('the page loads with the unit listed', async () => {
  await page.goto(url);
  await page.waitForSelector('#devices tbody tr[data-unit]');
  await shot('01-load');
  assert.equal(await page.$eval('#sound-title', (e) => e.textContent), 'No sound yet');
  assert.match(await page.$eval('#connection', (e) => e.textContent), /connected/);
  assert.deepEqual(pageErrors, []);
});

test('a file added by the file input is encoded and drawn', async () => {
  const wav = join(work, 'tone.wav');
  testWav(wav);
  const input = await page.$('#file-input');
  await input.uploadFile(wav);
  await page.waitForFunction(() => document.querySelectorAll('#figures tbody tr').length === 2, { timeout: 30000 });
  await shot('02-sound');
  assert.equal(await page.$eval('#sound-title', (e) => e.textContent), 'tone.wav');
  for (const id of ['wave-source', 'wave-tarpel', 'wave-vossik', 'diff', 'spectrum-source', 'spectrum-tarpel', 'spectrum-vossik', 'stream']) {
    const width = await page.$eval(`#${id}`, (c) => c.width);
    assert.ok((await inked(id)) > width, `${id} is blank`);
  }
  const figures = await page.$$eval('#figures tbody tr', (rows) => rows.map((r) => r.textContent));
  assert.match(figures[0], /TARPEL.*bytes.*%/s);
  assert.match(figures[1], /VOSSIK.*dB/s);
  assert.deepEqual(pageErrors, []);
});

test('a bad file dropped on the page gives a clear message', async () => {
  await dropFiles([['notes.wav', 'this is text, not sound']]);
  await page.waitForFunction(() => document.querySelector('#sound-message').classList.contains('error'), { timeout: 15000 });
  const message = await page.$eval('#sound-message', (e) => e.textContent);
  assert.match(message, /^notes\.wav: not a WAV file/);
  await shot('02b-bad-file');
  // Back to the good sound for the steps that follow.
  await page.click('#sound-list li[data-sound="1"]');
  await page.waitForFunction(() => window.studio.state.loaded?.id === 1, { timeout: 10000 });
  assert.deepEqual(pageErrors, []);
});

test('A/B playback switches at the same position', async () => {
  await page.click('#play-tarpel');
  await page.waitForFunction(() => window.studio.position() > 0.3, { timeout: 5000 });
  const before = await page.evaluate(() => window.studio.position());
  await page.click('#play-vossik');
  const state = await page.evaluate(() => ({ track: window.studio.player.track, at: window.studio.position() }));
  assert.equal(state.track, 'vossik');
  assert.ok(state.at >= before && state.at < before + 0.5, `switched from ${before} to ${state.at}`);
  assert.equal(await page.$eval('#play-vossik', (b) => b.classList.contains('playing')), true);
  assert.equal(await page.$eval('#play-tarpel', (b) => b.classList.contains('playing')), false);
  await shot('03-ab');
  await page.click('#stop');
  assert.equal(await page.evaluate(() => window.studio.player.track), null);
});

test('zooming narrows every picture to the same window', async () => {
  const whole = await page.evaluate(() => ({ ...window.studio.state.view }));
  await page.click('#zoom-in');
  await page.click('#zoom-in');
  const view = await page.evaluate(() => ({ ...window.studio.state.view }));
  assert.ok(Math.abs((view.end - view.start) * 4 - (whole.end - whole.start)) < 1e-6, JSON.stringify(view));
  assert.match(await page.$eval('#view-range', (e) => e.textContent), new RegExp(`^${view.start.toFixed(2)}`));
  for (const id of ['wave-source', 'spectrum-vossik', 'axis']) assert.ok((await inked(id)) > 0, `${id} is blank after zooming`);
  await shot('03b-zoomed');
  await page.click('#zoom-all');
  assert.deepEqual(await page.evaluate(() => ({ ...window.studio.state.view })), whole);
});

test('programming a unit fills its bar and ends verified', async () => {
  await page.click('#devices tbody tr[data-unit] .pick');
  await page.select('#encoding', 'vossik');
  await page.click('#program-selected');
  await page.waitForFunction(
    () => document.querySelector('#devices tbody tr[data-unit] .result')?.textContent === 'verified', { timeout: 30000 });
  const width = await page.$eval('#devices tbody tr[data-unit] .bar > div', (d) => d.style.width);
  assert.equal(width, '100%');
  await shot('04-program');
  assert.deepEqual(pageErrors, []);
});

test('a unit plugged in appears without reloading', async () => {
  emu('create', 'second', '--hub', '2', '--port', '4');
  await page.waitForFunction(() => document.querySelectorAll('#devices tbody tr[data-unit]').length === 2, { timeout: 15000 });
  const names = await page.$$eval('#devices tbody tr[data-unit]', (rows) => rows.map((r) => r.dataset.unit));
  assert.ok(names.some((n) => n.startsWith('second@')), names.join(', '));
  await shot('05-plugged');
  emu('unplug', 'second');
  await page.waitForFunction(() => document.querySelectorAll('#devices tbody tr[data-unit]').length === 1, { timeout: 15000 });
  assert.deepEqual(pageErrors, []);
});

test('names from files are shown as text, never as markup', async () => {
  const name = '<img src=x onerror="window.pwned=1"><b>loud</b>.wav';
  await dropFiles([[name, 'not sound either']]);
  await page.waitForFunction(() => document.querySelectorAll('#sound-list li').length === 3, { timeout: 15000 });
  assert.ok((await listed()).includes(name));
  assert.equal(await page.$('#sound-list img, #sound-list b, #figures img, #sound-message b'), null);
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.deepEqual(pageErrors, []);
});

test('a limit reached is said plainly, in the studio\'s own words', async () => {
  await dropFiles([['fourth.wav', 'one too many']]);
  await page.waitForFunction(() => /--max-sounds/.test(document.querySelector('#sound-message').textContent), { timeout: 15000 });
  const message = await page.$eval('#sound-message', (e) => ({ text: e.textContent, error: e.classList.contains('error') }));
  assert.match(message.text, /^fourth\.wav: the studio holds 3 sounds, as many as it takes \(--max-sounds\): delete some first$/);
  assert.equal(message.error, true);
  assert.equal((await listed()).length, 3);
  // The browser notes the refused upload on its console; that one is expected.
  const refused = pageErrors.findIndex((e) => /status of 503/.test(e));
  assert.ok(refused >= 0, pageErrors.join('\n'));
  pageErrors.splice(refused, 1);
  assert.deepEqual(pageErrors, []);
  await shot('06-limit');
});

test('a sound deleted goes from the page and from the studio', async () => {
  await page.click('#sound-list li[data-sound="2"] .delete');
  await page.waitForFunction(() => document.querySelectorAll('#sound-list li').length === 2, { timeout: 10000 });
  assert.ok(!(await listed()).includes('notes.wav'));
  assert.equal(await page.$eval('#sound-message', (e) => e.textContent), 'notes.wav: deleted');
  const ids = (await (await fetch(`${url}api/sounds`)).json()).map((sound) => sound.id);
  assert.deepEqual(ids, [1, 3]);
  // The room is there again.
  await dropFiles([['again.wav', 'still not sound']]);
  await page.waitForFunction(() => document.querySelectorAll('#sound-list li').length === 3, { timeout: 15000 });
  await shot('07-deleted');
  assert.deepEqual(pageErrors, []);
});
