// What the studio's browser tests share: WAV files made in the test, and a studio with virtual
// devices and headless Chromium to drive its page.
import { spawn, execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import puppeteer from 'puppeteer-core';

// A WAV file's bytes: 16-bit samples of `channels` interleaved channels; cue points with their
// lengths and numeric labels; and a data chunk that may declare more than it holds.
export function wavBytes({ rate, samples, channels = 1, cues = [], declared }) {
  const chunk = (id, body) => {
    const head = Buffer.alloc(8);
    head.write(id, 0);
    head.writeUInt32LE(body.length, 4);
    return Buffer.concat([head, body, body.length % 2 ? Buffer.alloc(1) : Buffer.alloc(0)]);
  };
  const fmt = Buffer.alloc(16);
  fmt.writeUInt16LE(1, 0); fmt.writeUInt16LE(channels, 2); fmt.writeUInt32LE(rate, 4);
  fmt.writeUInt32LE(rate * 2 * channels, 8); fmt.writeUInt16LE(2 * channels, 12); fmt.writeUInt16LE(16, 14);
  const data = Buffer.alloc(samples.length * 2);
  samples.forEach((v, i) => data.writeInt16LE(v, 2 * i));
  const dataChunk = chunk('data', data);
  if (declared !== undefined) dataChunk.writeUInt32LE(declared, 4);
  const chunks = [chunk('fmt ', fmt), dataChunk];
  if (cues.length) {
    const cue = Buffer.alloc(4 + 24 * cues.length);
    cue.writeUInt32LE(cues.length, 0);
    cues.forEach((c, i) => {
      cue.writeUInt32LE(i + 1, 4 + 24 * i); cue.writeUInt32LE(c.at, 8 + 24 * i); cue.write('data', 12 + 24 * i);
      cue.writeUInt32LE(c.at, 24 + 24 * i);
    });
    chunks.push(chunk('cue ', cue));
    const adtl = [Buffer.from('adtl')];
    cues.forEach((c, i) => {
      const ltxt = Buffer.alloc(20);
      ltxt.writeUInt32LE(i + 1, 0); ltxt.writeUInt32LE(c.length, 4); ltxt.write('rgn ', 8);
      adtl.push(chunk('ltxt', ltxt));
      const labl = Buffer.alloc(4);
      labl.writeUInt32LE(i + 1, 0);
      adtl.push(chunk('labl', Buffer.concat([labl, Buffer.from(`${c.label}\0`)])));
    });
    chunks.push(chunk('LIST', Buffer.concat(adtl)));
  }
  const body = Buffer.concat([Buffer.from('WAVE'), ...chunks]);
  return Buffer.concat([Buffer.from('RIFF'), Buffer.from(new Uint32Array([body.length]).buffer), body]);
}

// `seconds` of a tone with a little noise at `rate`, so every encoder has work to do.
export function tone(seconds, rate, hz = 330) {
  let seed = 7;
  return Array.from({ length: Math.round(seconds * rate) }, (_, i) => {
    seed = (seed * 1103515245 + 12345) >>> 0;
    return Math.round(9000 * Math.sin((2 * Math.PI * hz * i) / rate) + ((seed >>> 16) % 2000) - 1000);
  });
}

// A studio on a free port with a folder of virtual devices, and a browser page on a window of
// `width` x `height`. `close()` ends both and removes the folder.
export async function openStudio({ args = [], width = 1400, height = 1100, units = [] } = {}) {
  const bin = process.env.VELKIN_BIN;
  const work = mkdtempSync(join(tmpdir(), 'studio-browser-'));
  const emulator = join(work, 'devices');
  mkdirSync(emulator);
  const env = { ...process.env, VELKIN_EMULATOR: emulator, TMPDIR: work };
  const emu = (...a) => execFileSync(join(bin, 'velkin-emu'), a, { env });
  for (const unit of units) emu('create', ...unit);
  const studio = spawn(join(bin, 'velkin-studio'), ['--port', '0', ...args], { env, stdio: ['ignore', 'pipe', 'inherit'] });
  const url = await new Promise((resolve, reject) => {
    createInterface({ input: studio.stdout }).once('line', resolve);
    studio.once('exit', (code) => reject(new Error(`velkin-studio ended with ${code}`)));
  });
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--autoplay-policy=no-user-gesture-required', `--window-size=${width},${height}`],
  });
  const page = await browser.newPage();
  await page.setViewport({ width, height });
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  const close = async () => {
    await browser.close();
    await fetch(`${url}api/shutdown`, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{}' }).catch(() => {});
    await new Promise((resolve) => (studio.exitCode === null ? studio.once('exit', resolve) : resolve()));
    rmSync(work, { recursive: true, force: true });
  };
  return { url, page, browser, work, env, emu, errors, close };
}
