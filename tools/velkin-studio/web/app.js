// The studio page: sounds in, the three versions compared on one time axis, units programmed.
import * as api from './api.js';
import * as draw from './draw.js';

const $ = (id) => document.getElementById(id);
const COLORS = { source: '#2f6fdb', tarpel: '#d9822b', vossik: '#2a9d6f' };
const FILES = { source: 'reference.wav', tarpel: 'tarpel.wav', vossik: 'vossik.wav' };
const NAMES = { tarpel: 'TARPEL', vossik: 'VOSSIK' };
// Shares of a unit's bar per programming step.
const STEPS = { queued: [0, 0], erase: [0, 20], write: [20, 60], eeprom: [80, 2], verify: [82, 18] };

const state = {
  sounds: new Map(), // id -> summary
  current: null, // id of the sound shown
  loaded: null, // { id, summary, tracks: {source, tarpel, vossik}, pictures: {...} }
  view: { start: 0, end: 1 },
  devices: [],
  selected: new Set(), // unit names
  unitJobs: new Map(), // unit name -> last program job
};

function say(element, text, error = false) {
  element.textContent = text;
  element.classList.toggle('error', error);
}

function settings() {
  return { rate: $('rate').value, clock: $('clock').value.trim(), threshold: $('threshold').value.trim() };
}

// ---- Sounds ----

async function addFiles(files) {
  for (const file of files) {
    try {
      const { sound, job } = await api.uploadSound(file, settings());
      state.sounds.set(sound.id, sound);
      say($('sound-message'), `${file.name}: encoding…`);
      select(sound.id);
      if (job.state !== 'running') await refreshSound(sound.id);
    } catch (e) {
      say($('sound-message'), `${file.name}: ${e.message}`, true);
    }
  }
  renderSounds();
}

async function refreshSound(id) {
  const summary = await api.getJson(`/api/sounds/${id}`);
  state.sounds.set(id, summary);
  renderSounds();
  if (id !== state.current) return;
  if (summary.state === 'failed') {
    say($('sound-message'), `${summary.name}: ${summary.error}`, true);
    state.loaded = null;
    render();
  } else if (summary.state === 'ready') {
    say($('sound-message'), '');
    await loadSound(summary);
  }
}

function select(id) {
  state.current = id;
  stop();
  const summary = state.sounds.get(id);
  const failed = summary?.state === 'failed';
  say($('sound-message'), failed ? `${summary.name}: ${summary.error}` : '', failed);
  renderSounds();
  if (summary?.state === 'ready') loadSound(summary);
  else {
    state.loaded = null;
    render();
  }
}

async function loadSound(summary) {
  const base = `/api/sounds/${summary.id}`;
  const [source, tarpel, vossik, ps, pt, pv] = await Promise.all([
    api.loadWav(`${base}/files/${FILES.source}`), api.loadWav(`${base}/files/${FILES.tarpel}`),
    api.loadWav(`${base}/files/${FILES.vossik}`), api.loadSpectrogram(`${base}/spectrogram/source`),
    api.loadSpectrogram(`${base}/spectrogram/tarpel`), api.loadSpectrogram(`${base}/spectrogram/vossik`),
  ]);
  if (state.current !== summary.id) return;
  player.buffers = {};
  state.loaded = { id: summary.id, summary, tracks: { source, tarpel, vossik },
                   pictures: { source: ps, tarpel: pt, vossik: pv } };
  state.view = { start: 0, end: Math.max(source.samples.length / source.rate, 0.01) };
  render();
}

function renderSounds() {
  const list = $('sound-list');
  list.replaceChildren();
  for (const [id, s] of state.sounds) {
    const item = document.createElement('li');
    item.dataset.sound = id;
    item.classList.toggle('current', id === state.current);
    const name = document.createElement('span');
    name.textContent = s.name;
    const st = document.createElement('span');
    st.className = `state ${s.state}`;
    st.textContent = s.state;
    if (s.error) st.title = s.error;
    item.append(name, st);
    item.onclick = () => select(id);
    list.append(item);
  }
}

// ---- Pictures and figures ----

function duration() {
  const t = state.loaded?.tracks.source;
  return t ? t.samples.length / t.rate : 1;
}

function render() {
  const l = state.loaded;
  const view = state.view;
  const t = l?.tracks ?? {};
  const rate = t.source?.rate ?? 16000;
  const shown = state.sounds.get(state.current);
  $('sound-title').textContent = l ? l.summary.name
    : !shown ? 'No sound yet'
      : shown.state === 'failed' ? `${shown.name}: not encoded` : `${shown.name}: encoding…`;
  draw.waveform($('wave-source'), t.source, view, COLORS.source);
  draw.waveform($('wave-tarpel'), t.tarpel, view, COLORS.tarpel);
  draw.waveform($('wave-vossik'), t.vossik, view, COLORS.vossik);
  draw.difference($('diff'), t.source, [{ track: t.tarpel, color: COLORS.tarpel }, { track: t.vossik, color: COLORS.vossik }], view);
  for (const k of ['source', 'tarpel', 'vossik']) draw.spectrogram($(`spectrum-${k}`), l?.pictures[k], rate, view);
  const enc = l?.summary.encodings ?? {};
  draw.codeStream($('stream'), [{ encoding: enc.tarpel, color: '#f3d2b0' }, { encoding: enc.vossik, color: '#bfe5d3' }], rate, view);
  draw.axis($('axis'), view);
  $('view-range').textContent = l ? `${view.start.toFixed(2)}–${view.end.toFixed(2)} s of ${duration().toFixed(2)} s` : '';
  for (const b of document.querySelectorAll('.play button, #stop')) b.disabled = !l;
  renderFigures();
  renderPlayhead();
  renderProgramButtons();
}

function flashUnit() {
  return state.devices.find((d) => state.selected.has(d.name)) ?? state.devices[0];
}

function renderFigures() {
  const body = $('figures').querySelector('tbody');
  body.replaceChildren();
  const l = state.loaded;
  if (!l) return;
  const unit = flashUnit();
  const flash = unit?.flash_size || 1 << 20;
  const fmt = (v, unitText, digits = 2) => (v === null || v === undefined ? '—' : `${v.toFixed(digits)}${unitText}`);
  for (const key of ['tarpel', 'vossik']) {
    const e = l.summary.encodings[key];
    const row = document.createElement('tr');
    row.dataset.encoding = key;
    const link = (file, text) => `<a href="/api/sounds/${l.id}/files/${file}" download>${text}</a>`;
    row.innerHTML = `<td class="name ${key}">${NAMES[key]}</td>
      <td>${e.bytes.toLocaleString('en')} bytes</td>
      <td class="share">${((100 * e.bytes) / flash).toFixed(1)} %</td>
      <td>${fmt(e.bits_per_sample, '')}</td><td>${fmt(e.snr, ' dB', 1)}</td><td>${fmt(e.segmental_snr, ' dB', 1)}</td>
      <td>${fmt(e.encode_ms, ' ms', 0)}</td>
      <td>${link(`${key}.cod`, 'code file')} · ${link(`${key}.wav`, 'decoded WAV')}</td>`;
    row.querySelector('.share').title = `of ${flash >> 10} KiB${unit ? ` (${unit.name})` : ''}`;
    body.append(row);
  }
}

// ---- Zoom and pan ----

function setView(start, end) {
  const total = duration();
  const span = Math.min(Math.max(end - start, 0.005), total);
  start = Math.min(Math.max(start, 0), total - span);
  state.view = { start, end: start + span };
  render();
}

function zoom(factor, at) {
  const { start, end } = state.view;
  const centre = at ?? (start + end) / 2;
  setView(centre - (centre - start) * factor, centre + (end - centre) * factor);
}

function timeAt(event) {
  const canvas = event.target.closest('canvas') ?? $('axis');
  const box = canvas.getBoundingClientRect();
  const { start, end } = state.view;
  return start + ((event.clientX - box.left) / box.width) * (end - start);
}

function setupZoom() {
  const tracks = $('tracks');
  tracks.addEventListener('wheel', (e) => {
    if (!state.loaded || !e.target.closest('canvas')) return;
    e.preventDefault();
    zoom(e.deltaY < 0 ? 0.8 : 1.25, timeAt(e));
  }, { passive: false });
  let drag = null;
  tracks.addEventListener('pointerdown', (e) => {
    if (!state.loaded || !e.target.closest('canvas')) return;
    drag = { x: e.clientX, start: state.view.start, end: state.view.end, width: e.target.getBoundingClientRect().width, moved: false };
  });
  window.addEventListener('pointermove', (e) => {
    if (!drag) return;
    const dx = e.clientX - drag.x;
    if (Math.abs(dx) > 3) drag.moved = true;
    if (!drag.moved) return;
    const shift = (-dx / drag.width) * (drag.end - drag.start);
    setView(drag.start + shift, drag.end + shift);
  });
  window.addEventListener('pointerup', (e) => {
    // A click without a drag moves the playback position there.
    if (drag && !drag.moved && e.target.closest?.('#tracks canvas')) seek(timeAt(e));
    drag = null;
  });
  $('zoom-in').onclick = () => zoom(0.5);
  $('zoom-out').onclick = () => zoom(2);
  $('zoom-all').onclick = () => setView(0, duration());
  window.addEventListener('resize', render);
}

// ---- A/B playback: every track starts where the last one was ----

const player = { ctx: null, node: null, track: null, startedAt: 0, offset: 0, buffers: {}, frame: 0 };

function audioBuffer(key) {
  if (!player.buffers[key]) {
    const { samples, rate } = state.loaded.tracks[key];
    const buffer = player.ctx.createBuffer(1, Math.max(1, samples.length), rate);
    const data = buffer.getChannelData(0);
    for (let i = 0; i < samples.length; i++) data[i] = samples[i] / 32768;
    player.buffers[key] = buffer;
  }
  return player.buffers[key];
}

function position() {
  return player.track ? player.ctx.currentTime - player.startedAt : player.offset;
}

function play(key) {
  if (!state.loaded) return;
  player.ctx ??= new AudioContext();
  player.ctx.resume();
  let at = position();
  if (at >= duration()) at = 0;
  if (player.node) {
    player.node.onended = null;
    player.node.stop();
  }
  const node = player.ctx.createBufferSource();
  node.buffer = audioBuffer(key);
  node.connect(player.ctx.destination);
  node.start(0, at);
  node.onended = () => {
    if (player.node !== node) return;
    player.offset = 0;
    player.track = null;
    player.node = null;
    renderPlayhead();
  };
  player.node = node;
  player.track = key;
  player.startedAt = player.ctx.currentTime - at;
  animate();
}

function stop() {
  if (!player.node) return;
  player.offset = position();
  player.node.onended = null;
  player.node.stop();
  player.node = null;
  player.track = null;
  renderPlayhead();
}

function seek(t) {
  const track = player.track;
  if (track) {
    player.track = null;
    player.offset = t;
    play(track);
  } else {
    player.offset = t;
    renderPlayhead();
  }
}

function animate() {
  cancelAnimationFrame(player.frame);
  const tick = () => {
    renderPlayhead();
    if (player.track) player.frame = requestAnimationFrame(tick);
  };
  tick();
}

function renderPlayhead() {
  const head = $('playhead');
  for (const b of document.querySelectorAll('.play button[data-track]')) {
    b.classList.toggle('playing', b.dataset.track === player.track);
  }
  const t = state.loaded ? position() : 0;
  $('play-state').textContent = state.loaded ? `${player.track ? NAMES[player.track] ?? 'Source' : 'stopped'} at ${t.toFixed(2)} s` : '';
  const { start, end } = state.view;
  const canvas = $('axis');
  if (!state.loaded || t < start || t > end) {
    head.hidden = true;
    return;
  }
  head.hidden = false;
  const left = canvas.offsetLeft + ((t - start) / (end - start)) * canvas.clientWidth;
  head.style.left = `${left}px`;
}

// ---- Units ----

function jobPercent(job) {
  if (!job) return 0;
  if (job.state === 'done') return 100;
  const [base, share] = STEPS[job.step] ?? [0, 0];
  return base + (share * job.progress) / 100;
}

function renderDevices() {
  const body = $('devices').querySelector('tbody');
  body.replaceChildren();
  for (const name of [...state.selected]) {
    if (!state.devices.some((d) => d.name === name)) state.selected.delete(name);
  }
  for (const d of state.devices) {
    const row = document.createElement('tr');
    row.dataset.unit = d.name;
    const job = state.unitJobs.get(d.name);
    const flash = d.flash_size ? `${d.flash_size >> 10} KiB` : 'unknown size';
    row.innerHTML = `<td><input type="checkbox" class="pick"></td>
      <td><b></b><br><small></small></td><td>${d.hub ?? '?'} / ${d.port ?? '?'}</td>
      <td><code>${d.flash_id ?? '—'}</code> ${flash}</td>
      <td><code>${d.eeprom_product ?? '—'}</code><br><code>${d.eeprom_record ?? '—'}</code></td>
      <td><span class="bar"><div></div></span><span class="result"></span></td>`;
    row.querySelector('b').textContent = d.name;
    row.querySelector('small').textContent = `${d.vendor ?? ''} ${d.product ?? ''}`;
    const pick = row.querySelector('.pick');
    pick.checked = state.selected.has(d.name);
    pick.onchange = () => {
      if (pick.checked) state.selected.add(d.name);
      else state.selected.delete(d.name);
      renderProgramButtons();
      renderFigures();
    };
    body.append(row);
    renderUnitJob(d.name, job);
  }
  $('no-devices').hidden = state.devices.length > 0;
  renderProgramButtons();
}

function renderUnitJob(name, job) {
  const row = [...$('devices').querySelectorAll('tbody tr')].find((r) => r.dataset.unit === name);
  if (!row) return;
  const bar = row.querySelector('.bar');
  const result = row.querySelector('.result');
  bar.firstElementChild.style.width = `${jobPercent(job)}%`;
  bar.classList.toggle('done', job?.state === 'done');
  bar.classList.toggle('failed', job?.state === 'failed');
  result.className = `result ${job?.state === 'done' ? 'verified' : job?.state === 'failed' ? 'failed' : ''}`;
  result.textContent = !job ? '' : job.state === 'running' ? `${job.step} ${job.progress}%` : job.result;
}

function renderProgramButtons() {
  const ready = state.loaded !== null;
  $('program-all').disabled = !ready || state.devices.length === 0;
  $('program-selected').disabled = !ready || state.selected.size === 0;
  $('write-record').disabled = state.selected.size === 0;
}

async function program(units) {
  const record = $('record').value.trim();
  try {
    const answer = await api.postJson('/api/program', {
      sound: state.loaded.id, encoding: $('encoding').value, units, ...(record ? { record } : {}),
    });
    for (const job of answer.jobs) noteUnitJob(job);
    const refused = answer.refused.map((r) => `${r.unit}: ${r.error}`).join('; ');
    say($('device-message'), refused, refused !== '');
  } catch (e) {
    say($('device-message'), e.message, true);
  }
}

async function writeRecord() {
  const record = $('record').value.trim();
  for (const name of state.selected) {
    try {
      await api.postJson(`/api/devices/${encodeURIComponent(name)}/eeprom`, { record });
      say($('device-message'), `${name}: record written`);
    } catch (e) {
      say($('device-message'), `${name}: ${e.message}`, true);
    }
  }
}

// ---- Events ----

// Events and answers may arrive in either order: an older or stale snapshot never replaces a newer one.
function noteUnitJob(job) {
  const last = state.unitJobs.get(job.subject);
  if (last && (last.id > job.id || (last.id === job.id && last.state !== 'running'))) return;
  state.unitJobs.set(job.subject, job);
  renderUnitJob(job.subject, job);
}

function onJob(job) {
  if (job.kind === 'program') {
    noteUnitJob(job);
  } else if (job.kind === 'encode') {
    const id = Number(job.subject);
    const s = state.sounds.get(id);
    if (s && job.state === 'running') {
      say($('sound-message'), `${s.name}: ${job.step} ${job.progress}%`);
    } else if (job.state !== 'running') {
      refreshSound(id);
    }
  }
}

function onDevices(list) {
  state.devices = list;
  renderDevices();
  renderFigures();
}

async function start() {
  const drop = $('drop');
  $('file-input').addEventListener('change', (e) => {
    addFiles([...e.target.files]);
    e.target.value = '';
  });
  drop.addEventListener('dragover', (e) => {
    e.preventDefault();
    drop.classList.add('over');
  });
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', (e) => {
    e.preventDefault();
    drop.classList.remove('over');
    addFiles([...e.dataTransfer.files]);
  });
  $('reencode').onclick = async () => {
    if (state.current === null) return;
    try {
      await api.reencode(state.current, settings());
      state.sounds.get(state.current).state = 'encoding';
      renderSounds();
    } catch (e) {
      say($('sound-message'), e.message, true);
    }
  };
  for (const b of document.querySelectorAll('.play button[data-track]')) b.onclick = () => play(b.dataset.track);
  $('stop').onclick = stop;
  $('program-all').onclick = () => program('all');
  $('program-selected').onclick = () => program([...state.selected]);
  $('write-record').onclick = writeRecord;
  $('select-all').onchange = (e) => {
    state.selected = new Set(e.target.checked ? state.devices.map((d) => d.name) : []);
    renderDevices();
  };
  setupZoom();

  api.listen({ job: onJob, devices: onDevices, onState: (up) => { $('connection').textContent = up ? 'connected' : 'reconnecting…'; } });
  const [sounds, devices] = await Promise.all([api.getJson('/api/sounds'), api.getJson('/api/devices')]);
  for (const s of sounds) state.sounds.set(s.id, s);
  onDevices(devices);
  renderSounds();
  render();
  if (sounds.length) select(sounds[sounds.length - 1].id);
  // Sounds still encoding are asked after now and then, in case an event went by unseen.
  setInterval(() => {
    for (const [id, s] of state.sounds) if (s.state === 'encoding' || s.state === 'new') refreshSound(id);
  }, 1500);
}

// For the page's own tests and for the curious: the state and the player.
window.studio = { state, player, position };
start();
