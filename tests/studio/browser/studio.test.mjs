// The studio's page in headless Chromium, as a person uses it through a day: load, add a sound
// through the file input, see it drawn, switch A/B playback, play with the keyboard, zoom down to
// the samples, program a virtual unit to "verified", see a unit plugged in appear, names shown as
// text, a limit reached said plainly, sounds deleted, renamed and told apart, progress that ends
// with its job, settings that follow the sound shown, markers and short files said, an image too
// large for a unit refused before it is tried, busy buttons, the question before erasing, a unit
// pulled mid-way, a reload mid-programming, the page on a laptop's and a desktop's screen, and the
// studio stopped. Screenshots of each step go to STUDIO_ARTIFACTS.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import puppeteer from 'puppeteer-core';
import { tone, wavBytes } from './harness.mjs';

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

// Writes a WAV file into the work folder (in a folder of its own when asked, for files of one name).
function writeWav(name, options, folder = '') {
  const dir = join(work, folder);
  mkdirSync(dir, { recursive: true });
  const path = join(dir, name);
  writeFileSync(path, wavBytes(options));
  return path;
}

// Two seconds of 22050 Hz stereo: a tone with a little noise, so every encoder has work to do.
function testWav(path) {
  const rate = 22050;
  const frames = rate * 2;
  const data = Buffer.alloc(frames * 4);
  let seed = 1;
  for (let i = 0; i < frames; i++) {
    seed = (seed * 1103515245 + 12345) >>> 0;
    const noise = ((seed >>> 16) % 2000) - 1000;
    // A loud 4 kHz burst first, for the samples seen at the deepest zoom.
    const burst = i < rate / 20 ? Math.round(26000 * Math.sin((2 * Math.PI * 4000 * i) / rate)) : 0;
    const s = burst || Math.round(9000 * Math.sin((2 * Math.PI * 330 * i) / rate) * (i < frames / 2 ? 1 : 0.3) + noise);
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

// Columns of a canvas with at least `least` pixels drawn: lines between samples fill columns that
// dots leave with one pixel.
function columnsInked(id, least) {
  return page.evaluate((canvasId, n) => {
    const c = document.getElementById(canvasId);
    const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let columns = 0;
    for (let x = 0; x < c.width; x++) {
      let inked = 0;
      for (let y = 0; y < c.height; y++) if (data[(y * c.width + x) * 4 + 3] !== 0) inked++;
      if (inked >= n) columns++;
    }
    return { columns, width: c.width };
  }, id, least);
}

const text = (selector) => page.$eval(selector, (e) => e.textContent);
const row = (folder) => `#devices tbody tr[data-unit^="${folder}@"]`;
const rowText = (folder, part) => text(`${row(folder)} ${part}`);
const soundIds = () => page.$$eval('#sound-list li', (items) => items.map((li) => Number(li.dataset.sound)));
// The number of the sound of that name, once the page lists it.
const soundNamed = async (name) => (await page.waitForFunction(
  (n) => [...window.studio.state.sounds.values()].find((s) => s.name === n)?.id, { timeout: 15000 }, name)).jsonValue();
// Waits for `id` to be shown with every picture.
const loadedSound = (id) => page.waitForFunction((n) => window.studio.state.loaded?.id === n, { timeout: 30000 }, id);

async function upload(...paths) {
  const input = await page.$('#file-input');
  await input.uploadFile(...paths);
}

async function deleteSounds(ids) {
  for (const id of ids) {
    await page.click(`#sound-list li[data-sound="${id}"] .delete`);
    await page.waitForFunction((n) => !document.querySelector(`#sound-list li[data-sound="${n}"]`), { timeout: 10000 }, id);
  }
}

async function tick(folders) {
  await page.evaluate((wanted) => {
    for (const box of document.querySelectorAll('#devices tbody tr[data-unit] .pick')) {
      const name = box.closest('tr').dataset.unit;
      const want = wanted.some((f) => name.startsWith(`${f}@`));
      if (box.checked !== want) box.click();
    }
  }, folders);
}

// Units that answer about as slowly as a long USB cable and a busy hub would, so that a person
// (and this test) can act while they are programmed.
const SLOW = ['command_us=30000', 'byte_ns=10000'];

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

test('the keyboard plays, stops and moves the position', async () => {
  // Space on the focused Stop button plays (the track played last) rather than clicking Stop.
  await page.focus('#stop');
  await page.keyboard.press(' ');
  assert.equal(await page.evaluate(() => window.studio.player.track), 'vossik');
  await page.keyboard.press(' ');
  assert.equal(await page.evaluate(() => window.studio.player.track), null);
  // Left and right move the position by a tenth of the window shown.
  const span = await page.evaluate(() => window.studio.state.view.end - window.studio.state.view.start);
  const at = await page.evaluate(() => window.studio.position());
  await page.keyboard.press('ArrowRight');
  await page.keyboard.press('ArrowRight');
  let now = await page.evaluate(() => window.studio.position());
  assert.ok(Math.abs(now - (at + span / 5)) < 1e-6, `from ${at} to ${now}`);
  await page.keyboard.press('ArrowLeft');
  now = await page.evaluate(() => window.studio.position());
  assert.ok(Math.abs(now - (at + span / 10)) < 1e-6, `back to ${now}`);
  assert.equal(await page.evaluate(() => window.studio.player.track), null);
  // Typing in a box stays typing.
  await page.focus('#record');
  await page.keyboard.press(' ');
  assert.equal(await page.evaluate(() => window.studio.player.track), null);
  await page.$eval('#record', (e) => { e.value = ''; e.dispatchEvent(new Event('input')); e.blur(); });
  assert.deepEqual(pageErrors, []);
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

test('zoomed in to single samples, the waveform is drawn as lines between them', async () => {
  // The wheel zooms where it points: at the start, where the sound begins with a loud 4 kHz burst
  // whose samples swing a third of the track's height from one to the next.
  const box = await page.$eval('#wave-source', (c) => { const r = c.getBoundingClientRect(); return { x: r.left + 2, y: r.top + r.height / 2 }; });
  await page.mouse.move(box.x, box.y);
  for (let i = 0; i < 30; i++) await page.mouse.wheel({ deltaY: -100 });
  await page.waitForFunction(() => window.studio.state.view.end - window.studio.state.view.start < 0.01);
  const view = await page.evaluate(() => ({ ...window.studio.state.view }));
  assert.ok(view.start < 0.01, JSON.stringify(view));
  // Tens of pixels between samples: a line from one to the next inks a run in every column
  // between them, where dots (one pixel per column) would not.
  for (const id of ['wave-source', 'wave-vossik']) {
    const { columns, width } = await columnsInked(id, 2);
    assert.ok(columns > width / 2, `${id}: ${columns} of ${width} columns drawn with more than a dot`);
  }
  await shot('03c-samples');
  await page.click('#zoom-all');
});

test('programming a unit fills its bar and ends verified', async () => {
  await page.click('#devices tbody tr[data-unit] .pick');
  await page.select('#encoding', 'vossik');
  await page.click('#program-selected');
  await page.waitForFunction(
    () => document.querySelector('#devices tbody tr[data-unit] .result')?.textContent === 'verified', { timeout: 30000 });
  const width = await page.$eval('#devices tbody tr[data-unit] .bar > div', (d) => d.style.width);
  assert.equal(width, '100%');
  // The row says what the unit holds now, and labels its two EEPROM records.
  assert.match(await rowText('unit', '.holds'), /^tone\.wav · VOSSIK · .+ · verified$/);
  assert.deepEqual(await page.$$eval(`${row('unit')} .eeprom small`, (e) => e.map((x) => x.textContent)), ['product record', 'record']);
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

test('sounds of one name are told apart, renamed, and downloaded under their names', async () => {
  await deleteSounds((await soundIds()).filter((id) => id !== 1));
  await upload(writeWav('prompt.wav', { rate: 16000, samples: tone(0.5, 16000) }, 'a'),
    writeWav('prompt.wav', { rate: 16000, samples: tone(0.5, 16000, 500) }, 'b'));
  await page.waitForFunction(() => [...window.studio.state.sounds.values()].filter((s) => s.state === 'ready').length === 3, { timeout: 30000 });
  assert.deepEqual((await listed()).slice(1), ['prompt.wav', 'prompt.wav (2)']);
  const second = await soundNamed('prompt.wav (2)');
  page.once('dialog', (dialog) => dialog.accept('greeting.wav'));
  await page.click(`#sound-list li[data-sound="${second}"] .rename`);
  await page.waitForFunction((id) => window.studio.state.sounds.get(id)?.name === 'greeting.wav', { timeout: 10000 }, second);
  assert.deepEqual((await listed()).slice(1), ['prompt.wav', 'greeting.wav']);
  // The downloads are named after the sound, as the console names its files.
  await page.click(`#sound-list li[data-sound="${second}"]`);
  await loadedSound(second);
  const links = await page.$$eval('#figures a', (a) => a.map((x) => x.href));
  const names = [];
  for (const link of links) names.push((await fetch(link)).headers.get('content-disposition'));
  assert.deepEqual(names.map((n) => n.replace(/^attachment; filename="(.*)"$/, '$1')),
    ['greeting.tpl', 'greeting-tarpel.wav', 'greeting.vsk', 'greeting-vossik.wav']);
  await shot('08-renamed');
  await deleteSounds([await soundNamed('prompt.wav'), second]);
  assert.deepEqual(pageErrors, []);
});

test('progress is shown on each sound and ends with its job', async () => {
  await upload(writeWav('one.wav', { rate: 22050, samples: tone(1.5, 22050) }), writeWav('two.wav', { rate: 44100, samples: tone(1.5, 44100) }));
  // While they are encoded, each row carries its own step and share.
  await page.waitForFunction(() => [...document.querySelectorAll('#sound-list .state')]
    .some((e) => /^(queued|reading|preparing|encoding|figures) \d+%$/.test(e.textContent)), { timeout: 10000 });
  await page.waitForFunction(() => [...window.studio.state.sounds.values()].filter((s) => s.state === 'ready').length === 3, { timeout: 30000 });
  await page.waitForFunction(() => [...document.querySelectorAll('#sound-list .state')].every((e) => e.textContent === 'ready'));
  const message = await text('#sound-message');
  assert.doesNotMatch(message, /%/);
  assert.match(message, /^(one|two)\.wav: ready$/);
  await loadedSound(await soundNamed('two.wav'));
  assert.equal(await text('#sound-title'), 'two.wav');
  await deleteSounds([await soundNamed('one.wav'), await soundNamed('two.wav')]);
  assert.deepEqual(pageErrors, []);
});

test('the settings shown are those of the sound shown, and nothing of another sound is drawn', async () => {
  await page.select('#rate', '8000');
  await page.$eval('#threshold', (e) => { e.value = '40'; });
  await upload(writeWav('low.wav', { rate: 22050, samples: tone(2, 22050) }));
  // At once, while it is encoded: no time axis of the sound shown before.
  await page.waitForFunction(() => window.studio.state.current !== 1);
  const early = await page.evaluate(() => window.studio.state.loaded === null);
  if (early) assert.equal(await inked('axis'), 0, 'the time axis of the sound shown before is still drawn');
  const low = await soundNamed('low.wav');
  await loadedSound(low);
  await page.click('#sound-list li[data-sound="1"]');
  await loadedSound(1);
  assert.deepEqual(await page.evaluate(() => [document.querySelector('#rate').value, document.querySelector('#threshold').value]), ['16000', '0']);
  await page.click(`#sound-list li[data-sound="${low}"]`);
  await loadedSound(low);
  assert.deepEqual(await page.evaluate(() => [document.querySelector('#rate').value, document.querySelector('#threshold').value]), ['8000', '40']);
  await deleteSounds([low]);
  await loadedSound(1);
  assert.equal(await page.$eval('#rate', (e) => e.value), '16000');
  assert.deepEqual(pageErrors, []);
});

test('a marker that cannot be kept and a file that ends early are said beside the sound', async () => {
  const cues = [1001, 4000, 8000, 12000, 16000, 20000, 24000, 31999].map((at, i) => ({ at, length: 1000, label: 11 + i }));
  await upload(writeWav('markers.wav', { rate: 16000, samples: tone(2, 16000), cues }),
    writeWav('short.wav', { rate: 16000, samples: tone(0.15, 16000), declared: Math.round(1.26 * 16000) * 2 }));
  await page.waitForFunction(() => [...window.studio.state.sounds.values()].filter((s) => s.state === 'ready').length === 3, { timeout: 30000 });
  const short = await soundNamed('short.wav');
  assert.equal(await text(`#sound-list li[data-sound="${short}"] .note`), 'the file ends after 0.15 s of its 1.26 s');
  const markers = await soundNamed('markers.wav');
  await page.click(`#sound-list li[data-sound="${markers}"]`);
  await loadedSound(markers);
  assert.equal(await page.$$eval('#sound-notes li', (l) => l.length), 0);
  // Encoded again at 8000 Hz: seven markers go along; the last has no frame left there.
  await page.select('#rate', '8000');
  await page.click('#reencode');
  await page.waitForFunction((id) => window.studio.state.loaded?.summary.encoded_with?.rate === 8000 && window.studio.state.loaded.id === id, { timeout: 30000 }, markers);
  const notes = await page.$$eval('#sound-notes li', (l) => l.map((li) => li.textContent));
  assert.deepEqual(notes, ['marker 8 "18" at 2.000 s could not be kept: at 8000 Hz it falls at or after the end of the sound']);
  assert.equal(await text(`#sound-list li[data-sound="${markers}"] .note`), notes[0]);
  assert.equal(await page.evaluate(() => window.studio.state.loaded.summary.encodings.tarpel.marks.length), 14);
  await shot('09-notes');
  await deleteSounds([markers, short]);
  assert.deepEqual(pageErrors, []);
});

test('an image larger than a unit\'s flash is marked red and not offered for it', async () => {
  await upload(writeWav('long.wav', { rate: 16000, samples: tone(6, 16000) }));
  const long = await soundNamed('long.wav');
  await loadedSound(long);
  emu('create', 'small', '--flash-id', '20 20 10', '--flash-size', '65536', '--hub', '1', '--port', '2');
  await page.waitForSelector(row('small'));
  await tick(['small']);
  await page.select('#encoding', 'tarpel');
  await page.waitForFunction(() => document.querySelector('#figures tr[data-encoding="tarpel"] .share').classList.contains('over'));
  const share = await page.$eval('#figures tr[data-encoding="tarpel"] .share', (e) => ({ text: e.textContent, title: e.title }));
  assert.match(share.text, /^\d+\.\d %$/);
  assert.ok(parseFloat(share.text) > 100, share.text);
  assert.match(share.title, /larger than the flash: 64 KiB \(small@/);
  const button = await page.$eval('#program-selected', (b) => ({ disabled: b.disabled, title: b.title }));
  assert.equal(button.disabled, true);
  assert.match(button.title, /^long\.wav \(TARPEL\): [\d,]+ bytes do not fit the flash of small@\w+ \(64 KiB\)$/);
  assert.match(await rowText('small', '.fits'), /does not fit/);
  await shot('10-too-large');
  // VOSSIK's smaller file fits.
  await page.select('#encoding', 'vossik');
  await page.waitForFunction(() => !document.querySelector('#program-selected').disabled);
  assert.equal(await page.$eval('#figures tr[data-encoding="vossik"] .share', (e) => e.classList.contains('over')), false);
  emu('remove', 'small');
  await page.waitForFunction(() => !document.querySelector('#devices tbody tr[data-unit^="small@"]'), { timeout: 15000 });
  await deleteSounds([long]);
  await loadedSound(1);
  assert.deepEqual(pageErrors, []);
});

test('buttons are disabled while units are busy, and erasing something else is asked first', async () => {
  emu('create', 'tray', '--hub', '1', '--port', '3');
  await page.waitForSelector(row('tray'));
  emu('fault', 'unit', ...SLOW);
  await page.select('#encoding', 'vossik');
  // The unit holds tone.wav in VOSSIK already, the new one nothing: no question.
  let asked = null;
  const answer = (accept) => (dialog) => { asked = dialog.message(); return accept ? dialog.accept() : dialog.dismiss(); };
  page.once('dialog', answer(false));
  await page.click('#program-all');
  await page.waitForFunction(() => document.querySelector('#program-all').disabled);
  assert.equal(asked, null);
  const busy = await page.$eval('#program-all', (b) => b.title);
  assert.match(busy, /^busy: .*unit@/);
  assert.equal(await page.$eval('#program-selected', (b) => b.disabled), true);
  await shot('11-busy');
  await page.waitForFunction((sel) => document.querySelector(`${sel} .result`).textContent === 'verified', { timeout: 60000 }, row('unit'));
  await page.waitForFunction((sel) => document.querySelector(`${sel} .result`).textContent === 'verified', { timeout: 60000 }, row('tray'));
  await page.waitForFunction(() => !document.querySelector('#program-all').disabled);
  page.removeAllListeners('dialog');
  // TARPEL now: both hold the VOSSIK file, which programming would erase. Declined: nothing starts.
  await page.select('#encoding', 'tarpel');
  page.once('dialog', answer(false));
  await page.click('#program-all');
  await page.waitForFunction(() => /nothing was erased/.test(document.querySelector('#device-message').textContent));
  assert.match(asked, /Programming erases the whole flash first\. These units hold something else:/);
  assert.match(asked, /unit@\w+: tone\.wav · VOSSIK · .+ · verified/);
  assert.equal(await rowText('tray', '.result'), 'verified');
  emu('fault', 'unit', '--clear');
  await page.select('#encoding', 'vossik');
  assert.deepEqual(pageErrors, []);
});

test('"Write record only" on two units shows each unit\'s own outcome', async () => {
  await tick(['unit', 'tray']);
  await page.click('#record', { clickCount: 3 });
  await page.keyboard.type('0011223344556677889900aabbccddee');
  await page.waitForFunction(() => !document.querySelector('#write-record').disabled);
  await page.click('#write-record');
  for (const unit of ['unit', 'tray']) {
    await page.waitForFunction((sel) => document.querySelector(`${sel} .result`).textContent === 'written', { timeout: 30000 }, row(unit));
    await page.waitForFunction((sel) => document.querySelector(`${sel} .eeprom-record`).textContent === '0011223344556677889900AABBCCDDEE', { timeout: 10000 }, row(unit));
  }
  await shot('12-records');
  assert.deepEqual(pageErrors, []);
});

test('a unit pulled while it is written stays as a row marked gone, with its result', async () => {
  emu('fault', 'tray', ...SLOW);
  await tick(['tray']);
  await page.$eval('#record', (e) => { e.value = ''; e.dispatchEvent(new Event('input')); });
  await page.select('#encoding', 'tarpel');
  page.once('dialog', (dialog) => dialog.accept());
  await page.click('#program-selected');
  await page.waitForFunction((sel) => /^write \d+%$/.test(document.querySelector(`${sel} .result`).textContent), { timeout: 30000 }, row('tray'));
  emu('unplug', 'tray');
  await page.waitForFunction((sel) => document.querySelector(sel)?.classList.contains('gone') &&
    /^write failed at address 0x[0-9A-F]{6}: unit pulled$/.test(document.querySelector(`${sel} .result`).textContent), { timeout: 30000 }, row('tray'));
  assert.match(await rowText('tray', '.holds'), /^tone\.wav · TARPEL · .+ · half written$/);
  assert.equal(await page.$eval(`${row('tray')} .pick`, (b) => b.disabled), true);
  await shot('13-pulled');
  // Until the user clears it.
  await page.click(`${row('tray')} .clear`);
  await page.waitForFunction((sel) => !document.querySelector(sel), { timeout: 10000 }, row('tray'));
  emu('fault', 'tray', '--clear');
  assert.deepEqual(pageErrors, []);
});

test('a reload mid-programming rebuilds every row and the selections from the studio', async () => {
  emu('plug', 'tray');
  emu('create', 'faulty', '--hub', '1', '--port', '4');
  emu('fault', 'faulty', 'refuse_write_at=0x2000');
  emu('fault', 'unit', ...SLOW);
  await page.waitForSelector(row('tray'));
  await page.waitForSelector(row('faulty'));
  await tick(['unit', 'faulty']);
  await page.select('#encoding', 'tarpel');
  await page.$eval('#record', (e) => { e.value = 'A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5'; e.dispatchEvent(new Event('input')); });
  page.once('dialog', (dialog) => dialog.accept());
  await page.click('#program-selected');
  await page.waitForFunction((sel) => /^refused write at address 0x002000/.test(document.querySelector(`${sel} .result`).textContent), { timeout: 30000 }, row('faulty'));
  await page.waitForFunction((sel) => /^(erase|write) \d+%$/.test(document.querySelector(`${sel} .result`).textContent), { timeout: 30000 }, row('unit'));
  const before = await page.$$eval('#devices tbody tr[data-unit]', (rows) => rows.map((r) => [r.dataset.unit, r.querySelector('.holds').textContent]));
  await page.reload();
  await page.waitForSelector(row('faulty'));
  await page.waitForFunction(() => window.studio.state.loaded?.id === 1, { timeout: 30000 });
  await shot('14-reloaded');
  // The failed unit says what happened, the running one is still followed, the others are as they were.
  assert.match(await rowText('faulty', '.result'), /^refused write at address 0x002000: refused \(sense 0x[0-9A-F]{6}\)$/);
  assert.match(await rowText('faulty', '.holds'), /^tone\.wav · TARPEL · .+ · half written$/);
  assert.match(await rowText('unit', '.result'), /^((erase|write|eeprom|verify) \d+%|verified)$/);
  const after = await page.$$eval('#devices tbody tr[data-unit]', (rows) => rows.map((r) => [r.dataset.unit, r.querySelector('.holds').textContent]));
  assert.deepEqual(after.filter(([name]) => !name.startsWith('unit@')), before.filter(([name]) => !name.startsWith('unit@')));
  // The selections too: the sound, the encoding, the record and the units ticked.
  assert.equal(await text('#sound-title'), 'tone.wav');
  assert.equal(await page.$eval('#encoding', (e) => e.value), 'tarpel');
  assert.equal(await page.$eval('#record', (e) => e.value), 'A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5');
  const ticked = await page.$$eval('#devices tbody tr[data-unit]', (rows) => rows.filter((r) => r.querySelector('.pick').checked).map((r) => r.dataset.unit.split('@')[0]));
  assert.deepEqual(ticked.sort(), ['faulty', 'unit']);
  await page.waitForFunction((sel) => document.querySelector(`${sel} .result`).textContent === 'verified', { timeout: 60000 }, row('unit'));
  assert.match(await rowText('unit', '.holds'), /^tone\.wav · TARPEL · .+ · verified$/);
  emu('fault', 'unit', '--clear');
  assert.deepEqual(pageErrors, []);
});

test('the page fits a laptop\'s screen and a desktop\'s with the units in view', async () => {
  for (const [width, height] of [[1280, 800], [1920, 1080]]) {
    await page.setViewport({ width, height });
    await page.waitForFunction((w) => document.querySelector('#axis').getBoundingClientRect().right <= w, {}, width);
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.screenshot({ path: join(artifacts, `15-window-${width}x${height}.png`) });
    const rect = (selector) => page.$eval(selector, (e) => { const r = e.getBoundingClientRect(); return { top: r.top, bottom: r.bottom, left: r.left, right: r.right }; });
    const where = `at ${width}x${height}`;
    // Nothing wider than the window; the figures whole inside their panel.
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth) <= width, `scrolls sideways ${where}`);
    const panel = await rect('#compare-panel');
    const figures = await rect('#figures');
    assert.ok(figures.right <= panel.right && figures.left >= panel.left, `figures cut off ${where}`);
    assert.ok(figures.bottom <= panel.bottom, `figures below their panel ${where}`);
    // The units, their buttons and every unit's row in view without scrolling.
    for (const selector of ['#devices-panel h2', '#program-selected', '#program-all', '#write-record', '#devices tbody tr:last-child']) {
      const r = await rect(selector);
      assert.ok(r.top >= 0 && r.bottom <= height, `${selector} is out of view ${where}: ${r.top}..${r.bottom}`);
    }
    // The pictures keep a useful height.
    assert.ok((await rect('#wave-source')).bottom - (await rect('#wave-source')).top >= 30, `tracks squeezed ${where}`);
  }
  await page.setViewport({ width: 1400, height: 1100 });
  assert.deepEqual(pageErrors, []);
});

test('a studio that has stopped is said plainly, and nothing is offered', async () => {
  await fetch(`${url}api/shutdown`, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{}' });
  await page.waitForFunction(() => !document.querySelector('#offline').hidden, { timeout: 20000 });
  assert.match(await text('#offline'), /^The studio is not running\./);
  for (const id of ['program-all', 'program-selected', 'write-record', 'reencode', 'file-input']) {
    assert.equal(await page.$eval(`#${id}`, (b) => b.disabled), true, `${id} is still offered`);
  }
  assert.equal(await page.$eval('#program-all', (b) => b.title), 'the studio is not running');
  assert.ok(await page.$$eval('#sound-list button, #devices input', (b) => b.every((x) => x.disabled)), 'sounds or units still offered');
  await shot('16-stopped');
  // The browser notes the refused connections on its console; those are expected.
  const left = pageErrors.filter((e) => !/ERR_CONNECTION_REFUSED|Failed to load resource/.test(e));
  assert.deepEqual(left, []);
});
