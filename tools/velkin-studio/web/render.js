// Drawing the page from the state: the sound list, the comparison on one time axis, the figures,
// the messages, and (through units.js and playback.js) the units and the playhead.
import { $, el, keyed, showMessage } from './dom.js';
import * as draw from './draw.js';
import { NAMES, renderPlayhead } from './playback.js';
import { deleteSound, renameSound, renderSettings, select } from './sounds.js';
import { duration } from './state.js';
import { flashUnit, renderUnits } from './units.js';

const COLORS = { source: '#2f6fdb', tarpel: '#d9822b', vossik: '#2a9d6f' };

// A sound's encode while it runs: the job from the events, else as its summary last said.
function progressOf(s, sound) {
  if (sound.state !== 'encoding') return null;
  return s.soundJobs.get(sound.id) ?? sound.job ?? { step: 'queued', progress: 0 };
}

function makeSoundItem(sound) {
  const remove = el('button', { type: 'button', className: 'delete', title: 'Delete this sound' }, '✕');
  remove.onclick = (e) => {
    e.stopPropagation();
    deleteSound(sound.id);
  };
  const rename = el('button', { type: 'button', className: 'rename', title: 'Rename this sound' }, '✎');
  rename.onclick = (e) => {
    e.stopPropagation();
    renameSound(sound.id);
  };
  const item = el('li', { dataset: { sound: sound.id } },
    el('span', { className: 'name' }), el('span', { className: 'state' }), rename, remove, el('span', { className: 'note' }));
  item.onclick = () => select(sound.id);
  return item;
}

function renderSounds(s) {
  keyed($('sound-list'), [...s.sounds.values()], (sound) => sound.id, makeSoundItem, (item, sound) => {
    item.classList.toggle('current', sound.id === s.current);
    for (const b of item.querySelectorAll('button')) b.disabled = !s.running;
    item.querySelector('.name').textContent = sound.name;
    const st = item.querySelector('.state');
    const job = progressOf(s, sound);
    st.className = `state ${sound.state}`;
    st.textContent = job ? `${job.step} ${job.progress}%` : sound.state;
    // Beside the sound: why it failed, or what the user should know of it (a short file, a
    // marker that could not be kept).
    const note = item.querySelector('.note');
    const notes = sound.state === 'failed' ? [sound.error] : sound.notes ?? [];
    note.textContent = notes.join('; ');
    note.className = `note ${sound.state === 'failed' ? 'failed' : ''}`;
    note.hidden = notes.length === 0;
  });
}

// The canvases are drawn again only when what they show has changed.
let drawn = {};

function renderCompare(s) {
  const l = s.loaded;
  const shown = s.sounds.get(s.current);
  const job = shown ? progressOf(s, shown) : null;
  $('sound-title').textContent = l ? l.summary.name
    : !shown ? 'No sound yet'
      : shown.state === 'failed' ? `${shown.name}: not encoded`
        : job ? `${shown.name}: ${job.step} ${job.progress}%` : `${shown.name}: loading…`;
  const bar = $('sound-progress');
  bar.hidden = !job || !!l;
  bar.firstElementChild.style.width = `${job?.progress ?? 0}%`;
  $('view-range').textContent = l ? `${s.view.start.toFixed(2)}–${s.view.end.toFixed(2)} s of ${duration().toFixed(2)} s` : '';
  for (const b of document.querySelectorAll('.play button, #stop')) b.disabled = !l;
  $('reencode').disabled = !shown || shown.state === 'encoding' || !s.running;
  const notes = (l ? l.summary.notes ?? [] : []).map((text, at) => ({ text, at }));
  keyed($('sound-notes'), notes, (n) => n.at, () => el('li'), (li, n) => {
    li.textContent = n.text;
  });
  const width = $('axis').clientWidth;
  const height = $('axis').clientHeight + $('wave-source').clientHeight;
  if (drawn.loaded === l && drawn.view === s.view && drawn.width === width && drawn.height === height) return;
  drawn = { loaded: l, view: s.view, width, height };
  const t = l?.tracks ?? {};
  // Without a sound shown, nothing is drawn: not even the time axis of the one shown before.
  const view = l ? s.view : null;
  const rate = t.source?.rate ?? 16000;
  draw.waveform($('wave-source'), t.source, view, COLORS.source);
  draw.waveform($('wave-tarpel'), t.tarpel, view, COLORS.tarpel);
  draw.waveform($('wave-vossik'), t.vossik, view, COLORS.vossik);
  draw.difference($('diff'), t.source, [{ track: t.tarpel, color: COLORS.tarpel }, { track: t.vossik, color: COLORS.vossik }], view);
  for (const k of ['source', 'tarpel', 'vossik']) draw.spectrogram($(`spectrum-${k}`), l?.pictures[k], rate, view);
  const enc = l?.summary.encodings ?? {};
  draw.codeStream($('stream'), [{ encoding: enc.tarpel, color: '#f3d2b0' }, { encoding: enc.vossik, color: '#bfe5d3' }], rate, view);
  draw.axis($('axis'), view);
}

let figuresOf = {};

function renderFigures(s) {
  const l = s.loaded;
  const unit = flashUnit(s);
  const flash = unit?.flash_size || 1 << 20;
  if (figuresOf.loaded === l && figuresOf.flash === flash && figuresOf.unit === unit?.name) return;
  figuresOf = { loaded: l, flash, unit: unit?.name };
  const body = $('figures').querySelector('tbody');
  body.replaceChildren();
  if (!l) return;
  const fmt = (v, unitText, digits = 2) => (v === null || v === undefined ? '—' : `${v.toFixed(digits)}${unitText}`);
  const link = (file, text) => el('a', { href: `/api/sounds/${l.id}/files/${file}`, download: '' }, text);
  const of = `${(flash >> 10).toLocaleString('en')} KiB${unit ? ` (${unit.name})` : ''}`;
  for (const key of ['tarpel', 'vossik']) {
    const e = l.summary.encodings[key];
    const share = (100 * e.bytes) / flash;
    // More than the flash holds is said before anyone tries: in red, with the reason.
    const over = share > 100;
    body.append(el('tr', { dataset: { encoding: key } },
      el('td', { className: `name ${key}` }, NAMES[key]),
      el('td', {}, `${e.bytes.toLocaleString('en')} bytes`),
      el('td', { className: `share${over ? ' over' : ''}`, title: over ? `larger than the flash: ${of}` : `of ${of}` }, `${share.toFixed(1)} %`),
      el('td', {}, fmt(e.bits_per_sample, '')),
      el('td', {}, fmt(e.snr, ' dB', 1)),
      el('td', {}, fmt(e.segmental_snr, ' dB', 1)),
      el('td', {}, fmt(e.encode_ms, ' ms', 0)),
      el('td', {}, link(`${key}.cod`, 'code file'), ' · ', link(`${key}.wav`, 'decoded WAV'))));
  }
}

export function render(s) {
  renderSettings(s);
  renderSounds(s);
  renderCompare(s);
  renderFigures(s);
  showMessage($('sound-message'), s.soundMessage);
  showMessage($('device-message'), s.deviceMessage);
  $('connection').textContent = !s.running ? 'not running' : s.connected === null ? 'connecting…' : s.connected ? 'connected' : 'reconnecting…';
  $('offline').hidden = s.running;
  $('file-input').disabled = !s.running;
  renderUnits(s);
  renderPlayhead();
}
