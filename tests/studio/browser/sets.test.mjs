// The Set view in headless Chromium, as a person makes a set: five clips added with the picker,
// one dragged to the front and labelled, fitted to a unit's 256 KiB flash with the candidates and
// the choice shown, a clip heard, the set file and the joined WAV saved, the image programmed into
// the unit to "verified"; a set that cannot fit says how much must go and is not offered to the
// units; a set file opened with its clips. The Set view's screenshot (1280 x 800) goes to
// STUDIO_ARTIFACTS.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { openStudio, tone, wavBytes } from './harness.mjs';

const artifacts = process.env.STUDIO_ARTIFACTS ?? join(tmpdir(), 'studio-artifacts');
mkdirSync(artifacts, { recursive: true });

let studio;
let page;

const rows = () => page.$$eval('#set-clips tbody tr', (trs) => trs.map((tr) => tr.querySelector('.file').textContent));
const serverSet = () => page.evaluate(async () => (await fetch(`/api/sets/${window.studio.state.set.id}`)).json());
// Sends `change` to an input as a person typing and leaving it would.
const typeInto = (selector, value) => page.$eval(selector, (input, v) => {
  input.value = v;
  input.dispatchEvent(new Event('change', { bubbles: true }));
}, value);
const fitted = () => page.waitForFunction(() => {
  const s = window.studio.state;
  return s.setJob && s.setJob.state !== 'running' && s.set?.build?.revision === s.set.revision;
}, { timeout: 60000 });

before(async () => {
  studio = await openStudio({ width: 1280, height: 800, units: [['unit', '--flash-id', '20 20 12', '--flash-size', String(256 << 10)]] });
  page = studio.page;
  // Phrases of several rates, lengths and pitches.
  const clips = [[22050, 0.8, 300], [44100, 0.6, 440], [16000, 1.0, 250], [48000, 0.5, 520], [11025, 0.9, 360]];
  clips.forEach(([rate, seconds, hz], i) => writeFileSync(join(studio.work, `phrase${i + 1}.wav`), wavBytes({ rate, samples: tone(seconds, rate, hz) })));
});

after(async () => {
  await studio?.close();
});

test('five clips are added, reordered by dragging and labelled', async () => {
  await page.goto(studio.url);
  await page.waitForSelector('#devices tbody tr[data-unit]');
  await page.click('#view-set');
  await page.waitForFunction(() => window.studio.state.set !== null && !document.getElementById('set-panel').hidden);
  assert.equal(await page.$eval('#compare-panel', (e) => e.hidden), true);
  assert.equal(await page.$eval('#encoding', (e) => e.offsetParent), null, "no sound's encoding is offered for the set's image");
  const input = await page.$('#set-add-input');
  await input.uploadFile(...[1, 2, 3, 4, 5].map((n) => join(studio.work, `phrase${n}.wav`)));
  await page.waitForFunction(() => document.querySelectorAll('#set-clips tbody tr').length === 5, { timeout: 15000 });
  assert.deepEqual(await rows(), ['phrase1.wav', 'phrase2.wav', 'phrase3.wav', 'phrase4.wav', 'phrase5.wav']);
  assert.match(await page.$eval('#set-clips tbody tr:nth-child(2) .info', (e) => e.textContent), /44100 Hz · 1 ch · 16-bit · 0\.60 s/);

  // The last clip dragged onto the first.
  await page.evaluate(() => {
    const [first, , , , last] = document.querySelectorAll('#set-clips tbody tr');
    last.dispatchEvent(new DragEvent('dragstart', { bubbles: true }));
    first.dispatchEvent(new DragEvent('dragover', { bubbles: true, cancelable: true }));
    first.dispatchEvent(new DragEvent('drop', { bubbles: true, cancelable: true }));
    last.dispatchEvent(new DragEvent('dragend', { bubbles: true }));
  });
  await page.waitForFunction(() => document.querySelector('#set-clips tbody tr .file').textContent === 'phrase5.wav');
  assert.deepEqual(await rows(), ['phrase5.wav', 'phrase1.wav', 'phrase2.wav', 'phrase3.wav', 'phrase4.wav']);
  await typeInto('#set-clips tbody tr:first-child .label', '42');
  await typeInto('#set-clips tbody tr:nth-child(2) .pause', '0.2');
  await page.waitForFunction(() => window.studio.state.set.clip_list[1].pause === 0.2);
  const set = await serverSet();
  assert.deepEqual(set.clip_list.map((c) => c.file), ['phrase5.wav', 'phrase1.wav', 'phrase2.wav', 'phrase3.wav', 'phrase4.wav']);
  assert.equal(set.clip_list[0].label, 42);
  assert.equal(set.capacity, 'unit');
  // Not fitted yet: nothing to program, and the reason is on the button.
  assert.equal(await page.$eval('#program-all', (b) => b.disabled), true);
  assert.match(await page.$eval('#program-all', (b) => b.title), /fit the set first/);
  assert.deepEqual(studio.errors, []);
});

test('Fit fits the set to the unit\'s 256 KiB flash and shows every candidate, the choice and the clips\' share', async () => {
  assert.match(await page.$eval('#set-capacity-text', (e) => e.textContent), /Capacity 256 KiB/);
  await page.click('#set-fit-button');
  await fitted();
  const build = await page.evaluate(() => window.studio.state.set.build);
  assert.equal(build.failure, 'none');
  assert.equal(build.fit.capacity, 256 << 10);
  const candidates = await page.$$('#set-candidates tbody tr');
  assert.equal(candidates.length, build.fit.candidates.length);
  assert.ok(candidates.length >= 12, `${candidates.length} candidates`);
  assert.equal(await page.$$eval('#set-candidates tbody tr.chosen', (r) => r.length), 1);
  assert.match(await page.$eval('#set-why', (e) => e.textContent), /^Chosen: .* Hz, threshold/);
  // One coloured span per clip, then the header and markers, then the free rest.
  assert.equal(await page.$$eval('#set-capacity .span:not(.other)', (s) => s.length), 5);
  assert.equal(await page.$$eval('#set-capacity .free', (s) => s.length), 1);
  assert.match(await page.$eval('#set-capacity-text', (e) => e.textContent), /of 262,144 bytes .* bytes free/);
  const figures = await page.$eval('#set-clips tbody tr:first-child', (tr) => [...tr.querySelectorAll('.num')].map((td) => td.textContent));
  assert.equal(figures.length, 6);
  for (const f of figures) assert.notEqual(f, '');
  assert.match(figures[5], /dB$/);
  await page.screenshot({ path: join(artifacts, 'sets.png') });
  assert.deepEqual(studio.errors, []);
});

test('a clip is heard as source, TARPEL and VOSSIK', async () => {
  for (const track of ['source', 'tarpel', 'vossik']) {
    await page.click(`#set-clips tbody tr:nth-child(2) .play-${track}`);
    await page.waitForFunction((t) => window.studio.state.setPlaying.endsWith(`:${t}`), { timeout: 10000 }, track);
  }
  await page.click('#set-clips tbody tr:nth-child(2) .play-vossik');
  await page.waitForFunction(() => window.studio.state.setPlaying === '');
  assert.deepEqual(studio.errors, []);
});

test('the set file and the joined WAV are saved', async () => {
  const saved = await page.evaluate(async () => {
    const text = await (await fetch(document.getElementById('set-save').href)).text();
    const wav = new Uint8Array(await (await fetch(document.getElementById('set-save-wav').href)).arrayBuffer());
    return { text, head: String.fromCharCode(...wav.slice(0, 4)), size: wav.length };
  });
  assert.equal(saved.text.match(/\[\[clip\]\]/g).length, 5);
  assert.match(saved.text, /\[\[clip\]\]\nfile = "phrase5\.wav"\nlabel = 42\n/);
  assert.match(saved.text, /capacity = "unit"/);
  assert.equal(saved.head, 'RIFF');
  assert.ok(saved.size > 1000);
});

test('the set\'s image is programmed into the unit and reads back verified', async () => {
  await page.waitForFunction(() => !document.getElementById('program-all').disabled, { timeout: 10000 });
  await page.click('#program-all');
  await page.waitForFunction(() => document.querySelector('#devices tbody tr .result')?.textContent === 'verified', { timeout: 60000 });
  const holds = await page.$eval('#devices tbody tr .holds', (e) => e.textContent);
  assert.match(holds, /^set · (TARPEL|VOSSIK) · .* · verified$/);
  assert.deepEqual(studio.errors, []);
});

test('a set that cannot fit says how much must go, and is not offered to the unit', async () => {
  await page.select('#set-capacity-kind', 'bytes');
  await page.waitForFunction(() => window.studio.state.set.capacity === 262144);
  await typeInto('#set-capacity-bytes', '3000');
  await page.waitForFunction(() => window.studio.state.set.capacity === 3000);
  await page.click('#set-fit-button');
  await fitted();
  const why = await page.$eval('#set-why', (e) => e.textContent);
  assert.match(why, /^Nothing fits: [\d,]+ bytes must go, about [\d.]+ s of sound/);
  assert.equal(await page.$$eval('#set-candidates tbody tr.chosen', (r) => r.length), 0);
  assert.equal(await page.$eval('#program-all', (b) => b.disabled), true);
  assert.match(await page.$eval('#program-all', (b) => b.title), /fit the set first/);
  assert.equal(await page.$eval('#set-save-wav', (a) => a.classList.contains('disabled')), true);
  assert.deepEqual(studio.errors, []);
});

test('a set file opened with its clips replaces the set, and bad lines are named', async () => {
  const file = join(studio.work, 'greetings.toml');
  writeFileSync(file, 'encoder = "vossik"\nrate = 16000\nthreshold = 0\ncapacity = 65536\n\n[[clip]]\nfile = "phrase3.wav"\nlabel = 3\n\n[[clip]]\nfile = "<b>odd</b>.wav"\n');
  const input = await page.$('#set-open-input');
  await input.uploadFile(file, join(studio.work, 'phrase3.wav'));
  await page.waitForFunction(() => document.querySelectorAll('#set-clips tbody tr').length === 2, { timeout: 15000 });
  assert.equal(await page.$eval('#set-title', (e) => e.textContent), 'Set: greetings');
  // A name from a file is text, never markup; the clip with no file says so.
  assert.deepEqual(await rows(), ['phrase3.wav', '<b>odd</b>.wav']);
  assert.equal(await page.$$eval('#set-clips b', (b) => b.length), 0);
  assert.match(await page.$eval('#set-message', (e) => e.textContent), /waiting for <b>odd<\/b>\.wav/);
  assert.match(await page.$eval('#set-fit-button', (b) => b.title), /1 clip waits for its file/);

  writeFileSync(file, 'rate = 16000\n\n[[clip]]\nfile = "a.wav"\nlabel = 300\n');
  await input.uploadFile(file);
  await page.waitForFunction(() => document.getElementById('set-message').classList.contains('error'), { timeout: 10000 });
  assert.match(await page.$eval('#set-message', (e) => e.textContent), /^greetings\.toml:5: /);
  // The refusal itself is the only thing the console has to say.
  assert.deepEqual(studio.errors.filter((e) => !/status of 400/.test(e)), []);
});
