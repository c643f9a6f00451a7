// The Set view: clips in (picker, drop, or a set file with its clips), ordered by dragging, set up
// a field at a time; the capacity of the selected unit's flash shared out per clip; Fit (a build
// job that fits where the set leaves a choice) with its candidates and its choice; the clips heard
// as source, TARPEL or VOSSIK; the set file and the joined WAV saved. The units' program buttons
// write the set's image while this view is shown (units.js). The studio keeps the set: every
// change is sent, and the page draws what the studio answers.
import * as api from './api.js';
import { $, el, keyed, showMessage } from './dom.js';
import { NAMES } from './playback.js';
import { say, state, update } from './state.js';
import { addProgramSource, flashUnit } from './units.js';

const RATES = [6000, 8000, 11025, 16000, 22050, 32000];
const kib = (bytes) => `${(bytes / 1024).toLocaleString('en', { maximumFractionDigits: 1 })} KiB`;
const num = (n, digits = 1) => (n === null || n === undefined ? '—' : Number(n).toFixed(digits));
const hue = (i) => `hsl(${(i * 47) % 360} 62% 52%)`;

const path = (s) => `/api/sets/${s.set.id}`;
const building = (s) => s.setJob?.state === 'running' || s.set?.building;

// The capacity the set is fitted to: its bytes, or the selected unit's flash.
export function setCapacity(s) {
  if (!s.set) return null;
  if (s.set.capacity !== 'unit') return { bytes: s.set.capacity, what: 'set' };
  const unit = flashUnit(s);
  return unit?.flash_size ? { bytes: unit.flash_size, what: unit.name } : null;
}

// The last build, when it is of the set as it is now.
const current = (s) => (s.set?.build && s.set.build.revision === s.set.revision ? s.set.build : null);

function say_(text, error = false) {
  update((s) => {
    s.setMessage = say(text, error);
  });
}

function take(full) {
  update((s) => {
    s.set = full;
  });
}

async function send(change) {
  try {
    take(await api.postJson(path(state), change));
    say_('');
  } catch (e) {
    say_(e.message, true);
    await refreshSet();
  }
}

export async function refreshSet() {
  if (!state.set) return;
  try {
    take(await api.getJson(path(state)));
  } catch (e) {
    if (e.status === 404) await openSet();
  }
}

// The studio's first set, or a new one: the page works on one set at a time.
export async function openSet() {
  try {
    const sets = await api.getJson('/api/sets');
    const full = sets.length ? await api.getJson(`/api/sets/${sets[0].id}`) : await api.postJson('/api/sets', { name: 'set' });
    update((s) => {
      s.set = full;
      s.setJob = full.job;
    });
  } catch (e) {
    say_(e.message, true);
  }
}

async function upload(file) {
  const response = await fetch(`${path(state)}/clips?name=${encodeURIComponent(file.name)}`, {
    method: 'POST', headers: { 'Content-Type': 'audio/wav' }, body: file,
  });
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error || `${file.name}: ${response.status}`);
  return body;
}

// WAV files become clips; a set file first replaces the set, and the clips picked with it fill it.
export async function addSetFiles(files) {
  if (!state.set) await openSet();
  const setFiles = files.filter((f) => /\.toml$/i.test(f.name));
  const clips = files.filter((f) => !/\.toml$/i.test(f.name));
  const problems = [];
  for (const file of setFiles) {
    try {
      const response = await fetch(`${path(state)}/setfile?name=${encodeURIComponent(file.name)}`, {
        method: 'POST', headers: { 'Content-Type': 'application/toml' }, body: await file.text(),
      });
      const body = await response.json().catch(() => ({}));
      if (!response.ok) throw new Error(body.error || `${file.name}: ${response.status}`);
      take(body);
    } catch (e) {
      problems.push(e.message);
    }
  }
  for (const file of clips) {
    try {
      take((await upload(file)).set);
    } catch (e) {
      problems.push(e.message);
    }
  }
  const waiting = state.set?.clip_list.filter((c) => !c.audio).map((c) => c.file) ?? [];
  if (waiting.length) problems.push(`waiting for ${waiting.join(', ')}: add ${waiting.length > 1 ? 'these files' : 'this file'}`);
  say_(problems.join('; '), problems.length > 0 && !problems.every((p) => p.startsWith('waiting')));
}

const order = (s) => s.set.clip_list.map((c) => ({ id: c.id }));

function editClip(id, field, value) {
  send({ clips: state.set.clip_list.map((c) => (c.id === id ? { id, [field]: value } : { id: c.id })) });
}

async function removeClip(id) {
  try {
    take(await api.remove(`${path(state)}/clips/${id}`));
  } catch (e) {
    say_(e.message, true);
  }
}

// Dragging a row onto another puts it there.
let dragged = null;
function moveClip(from, to) {
  const list = order(state);
  const a = list.findIndex((c) => c.id === from);
  const b = list.findIndex((c) => c.id === to);
  if (a < 0 || b < 0 || a === b) return;
  const [moved] = list.splice(a, 1);
  list.splice(b, 0, moved);
  send({ clips: list });
}

async function fit() {
  const s = state;
  const unit = s.set.capacity === 'unit' ? flashUnit(s) : null;
  try {
    const { job } = await api.postJson(`${path(s)}/build`, unit ? { unit: unit.name } : {});
    onSetJob(job);
    say_('');
  } catch (e) {
    say_(e.message, true);
  }
}

async function cancel() {
  if (state.setJob) await api.postJson(`/api/jobs/${state.setJob.id}/cancel`, {}).catch((e) => say_(e.message, true));
}

export function onSetJob(job) {
  if (!state.set || job.subject !== String(state.set.id)) return;
  if (state.setJob && state.setJob.id > job.id) return;
  update((s) => {
    s.setJob = job;
  });
  if (job.state !== 'running') {
    if (job.state === 'failed') say_(job.result, job.failure !== 'cancelled');
    refreshSet();
  }
}

// --- listening ---

const listening = { ctx: null, node: null, buffers: new Map(), playing: '' };

// An encoder's whole decoded image, loaded once per build.
function decoded(key, s) {
  const cacheKey = `${key}:${current(s).folder}`;
  if (!listening.buffers.has(cacheKey)) listening.buffers.set(cacheKey, api.loadWav(`${path(s)}/files/${key}.wav`));
  return listening.buffers.get(cacheKey);
}

async function play(clip, index, key) {
  const s = state;
  listening.ctx ??= new AudioContext();
  listening.ctx.resume();
  stopSet();
  let buffer;
  try {
    if (key === 'source') {
      const bytes = await (await fetch(`${path(s)}/clips/${clip.id}/file`)).arrayBuffer();
      buffer = await listening.ctx.decodeAudioData(bytes);
    } else {
      const track = await decoded(key, s);
      const region = current(s).tracks[key].regions[index];
      const end = region.end ?? track.samples.length;
      buffer = listening.ctx.createBuffer(1, Math.max(1, end - region.start), track.rate);
      const data = buffer.getChannelData(0);
      for (let i = region.start; i < end; i++) data[i - region.start] = track.samples[i] / 32768;
    }
  } catch (e) {
    say_(`${clip.file}: ${e.message}`, true);
    return;
  }
  const node = listening.ctx.createBufferSource();
  node.buffer = buffer;
  node.connect(listening.ctx.destination);
  node.onended = () => {
    if (listening.node !== node) return;
    listening.node = null;
    update((t) => {
      t.setPlaying = '';
    });
  };
  node.start();
  listening.node = node;
  update((t) => {
    t.setPlaying = `${clip.id}:${key}`;
  });
}

export function stopSet() {
  if (!listening.node) return;
  listening.node.onended = null;
  listening.node.stop();
  listening.node = null;
  update((t) => {
    t.setPlaying = '';
  });
}

// --- drawing ---

function makeClipRow(clip) {
  const input = (className, props) => el('input', { className, ...props });
  const label = input('label', { type: 'number', min: 0, max: 255, step: 1, title: 'Label value, 0–255; empty: the clip\'s position' });
  label.onchange = () => editClip(clip.id, 'label', label.value === '' ? null : Number(label.value));
  const trim = input('trim', { type: 'checkbox', title: 'Trim the silence before and after' });
  trim.onchange = () => editClip(clip.id, 'trim', trim.checked);
  const gain = input('gain', { type: 'number', step: 0.5, title: 'Gain in dB; empty: none' });
  gain.onchange = () => editClip(clip.id, 'gain', gain.value === '' ? null : Number(gain.value));
  const pause = input('pause', { type: 'number', min: 0, max: 60, step: 0.05, title: 'Silence after the clip, in seconds' });
  pause.onchange = () => editClip(clip.id, 'pause', Number(pause.value || 0));
  const buttons = ['source', 'tarpel', 'vossik'].map((key) => {
    const b = el('button', { type: 'button', className: `play-${key}`, dataset: { track: key } }, `▶ ${NAMES[key]}`);
    b.onclick = () => {
      const i = state.set.clip_list.findIndex((c) => c.id === clip.id);
      if (state.setPlaying === `${clip.id}:${key}`) stopSet();
      else play(state.set.clip_list[i], i, key);
    };
    return b;
  });
  const remove = el('button', { type: 'button', className: 'remove', title: 'Remove this clip from the set' }, '✕');
  remove.onclick = () => removeClip(clip.id);
  const row = el('tr', { draggable: true, dataset: { clip: clip.id } },
    el('td', { className: 'grip', title: 'Drag to reorder' }, '⠿'), el('td', { className: 'swatch' }, el('i')),
    el('td', { className: 'clip-name' }, el('span', { className: 'file' }), el('small', { className: 'info' })),
    el('td', {}, label), el('td', {}, trim), el('td', {}, gain), el('td', {}, pause),
    el('td', { className: 'start num' }), el('td', { className: 'length num' }), el('td', { className: 'bytes num' }),
    el('td', { className: 'share num' }), el('td', { className: 'snr num' }), el('td', { className: 'segsnr num' }),
    el('td', { className: 'listen' }, ...buttons), el('td', {}, remove));
  row.ondragstart = () => {
    dragged = clip.id;
    row.classList.add('dragging');
  };
  row.ondragend = () => row.classList.remove('dragging');
  row.ondragover = (e) => e.preventDefault();
  row.ondrop = (e) => {
    e.preventDefault();
    e.stopPropagation();
    if (dragged !== null) moveClip(dragged, clip.id);
    dragged = null;
  };
  return row;
}

function fillClipRow(row, clip, s, index, report, tracks) {
  const set = (selector, value) => {
    row.querySelector(selector).textContent = value;
  };
  const busy = building(s) || !s.running;
  set('.file', clip.file);
  const info = clip.info;
  set('.info', clip.audio ? ` ${info.rate} Hz · ${info.channels} ch · ${info.bits}-bit${info.type === 'float' ? ' float' : ''} · ${num(info.seconds, 2)} s${info.note ? ` · ${info.note}` : ''}` : ' waiting for its file');
  row.querySelector('.info').classList.toggle('missing', !clip.audio);
  row.querySelector('.swatch i').style.background = hue(index);
  const field = (selector, value, prop = 'value') => {
    const input = row.querySelector(selector);
    if (document.activeElement !== input && input[prop] !== value) input[prop] = value;
    input.disabled = busy;
  };
  field('.label', clip.label === null ? '' : String(clip.label));
  row.querySelector('.label').placeholder = String(clip.label_value);
  field('.trim', clip.trim, 'checked');
  field('.gain', clip.gain === null ? '' : String(clip.gain));
  field('.pause', String(clip.pause));
  row.draggable = !busy;
  const r = report?.clips[index];
  set('.start', r ? `${num(r.start_seconds, 2)} s` : '');
  set('.length', r ? `${num(r.seconds, 2)} s` : '');
  set('.bytes', r ? r.code_bytes.toLocaleString('en') : '');
  set('.share', r ? `${num(r.share * 100)} %` : '');
  set('.snr', r ? `${num(r.snr_db)} dB` : '');
  set('.segsnr', r ? `${num(r.segmental_snr_db)} dB` : '');
  for (const b of row.querySelectorAll('.listen button')) {
    const key = b.dataset.track;
    const ready = key === 'source' ? clip.audio : Boolean(tracks?.[key]?.regions[index]);
    b.disabled = !ready || !s.running;
    b.title = ready ? `Play ${clip.file} as ${NAMES[key]}` : key === 'source' ? 'its file has not been added' : 'fit the set first';
    b.classList.toggle('playing', s.setPlaying === `${clip.id}:${key}`);
  }
  row.querySelector('.remove').disabled = busy;
}

function renderCapacity(s, build) {
  const bar = $('set-capacity');
  const cap = setCapacity(s);
  const report = build?.report;
  const spans = [];
  let used = 0;
  if (cap && report) {
    report.clips.forEach((c, i) => {
      const share = Math.min(c.code_bytes / cap.bytes, 1);
      used += c.code_bytes;
      spans.push(el('span', { className: 'span', title: `${c.file}: ${c.code_bytes.toLocaleString('en')} bytes`, style: `width:${share * 100}%;background:${hue(i)}` }));
    });
    const rest = report.image_bytes - used;
    if (rest > 0) spans.push(el('span', { className: 'span other', title: `header, markers and pauses: ${rest.toLocaleString('en')} bytes`, style: `width:${Math.min(rest / cap.bytes, 1) * 100}%` }));
  }
  bar.replaceChildren(...spans, el('span', { className: 'free' }));
  bar.classList.toggle('over', Boolean(cap && report && report.image_bytes > cap.bytes));
  let text;
  if (!cap) text = s.set.capacity === 'unit' ? 'Capacity: the selected unit\'s flash — no unit is present' : '';
  else if (!report) text = `Capacity ${kib(cap.bytes)} (${cap.what === 'set' ? 'the set\'s' : `${cap.what}'s flash`}): fit the set to see how its clips share it`;
  else {
    const free = cap.bytes - report.image_bytes;
    text = `${report.image_bytes.toLocaleString('en')} of ${cap.bytes.toLocaleString('en')} bytes (${kib(cap.bytes)}${cap.what === 'set' ? '' : `, ${cap.what}`}) · ${free >= 0 ? `${free.toLocaleString('en')} bytes free` : `${(-free).toLocaleString('en')} bytes too many`} · ${report.settings.encoder.toUpperCase()} at ${report.settings.rate} Hz, threshold ${report.settings.threshold}`;
  }
  $('set-capacity-text').textContent = text;
}

let shownFit = null;

function renderFit(s, build) {
  const fitted = build?.fit;
  $('set-fit').hidden = !fitted && !build?.error;
  const why = $('set-why');
  if (fitted && fitted.chosen === null) {
    why.textContent = `Nothing fits: ${fitted.bytes_over.toLocaleString('en')} bytes must go, about ${num(fitted.seconds_over)} s of sound. ${fitted.why}`;
  } else if (fitted) {
    why.textContent = `Chosen: ${fitted.why}`;
  } else {
    why.textContent = build?.error ?? '';
  }
  why.classList.toggle('error', Boolean(build?.error));
  const rows = (fitted?.candidates ?? []).map((c, i) => ({ ...c, i }));
  keyed($('set-candidates').querySelector('tbody'), rows, (c) => c.i, () => el('tr', {}, ...Array.from({ length: 6 }, () => el('td'))), (tr, c) => {
    const cells = tr.children;
    cells[0].textContent = c.encoder.toUpperCase();
    cells[1].textContent = `${c.rate} Hz`;
    cells[2].textContent = String(c.threshold);
    cells[3].textContent = c.bytes.toLocaleString('en');
    cells[4].textContent = c.error ? 'error' : c.fits ? 'yes' : 'no';
    cells[5].textContent = c.error ? c.error : `${num(c.score_db)} dB`;
    tr.className = `${c.i === fitted.chosen ? 'chosen' : ''} ${c.fits ? '' : 'nofit'}`;
  });
  $('set-candidates-box').hidden = rows.length === 0;
  // The chosen row in view within its box (the page itself does not move).
  const chosen = $('set-candidates').querySelector('tr.chosen');
  const box = $('set-candidates-box');
  if (chosen && fitted !== shownFit) {
    shownFit = fitted;
    box.scrollTop = chosen.offsetTop - box.clientHeight / 2;
  }
}

export function renderSet(s) {
  const onSet = s.tab === 'set';
  $('set-panel').hidden = !onSet;
  $('sounds-panel').hidden = onSet;
  $('compare-panel').hidden = onSet;
  $('settings').hidden = onSet;
  // The units write the set's image there: the choice of a sound's encoding has nothing to say.
  $('encoding').closest('label').hidden = onSet;
  $('view-sound').classList.toggle('current', !onSet);
  $('view-set').classList.toggle('current', onSet);
  if (!onSet || !s.set) return;
  const set = s.set;
  $('set-title').textContent = `Set: ${set.name}`;
  const busy = building(s) || !s.running;
  const settings = { 'set-encoder': set.encoder, 'set-rate': String(set.rate), 'set-threshold': String(set.threshold), 'set-clock': String(set.clock) };
  const rates = $('set-rate');
  if (![...rates.options].some((o) => o.value === settings['set-rate'])) rates.append(new Option(`${set.rate} Hz`, settings['set-rate']));
  for (const [id, value] of Object.entries(settings)) {
    const input = $(id);
    if (document.activeElement !== input && input.value !== value) input.value = value;
    input.disabled = busy;
  }
  const unit = set.capacity === 'unit';
  $('set-capacity-kind').value = unit ? 'unit' : 'bytes';
  $('set-capacity-kind').disabled = busy;
  const bytes = $('set-capacity-bytes');
  bytes.hidden = unit;
  if (!unit && document.activeElement !== bytes) bytes.value = String(set.capacity);
  bytes.disabled = busy;

  const build = current(s);
  const report = build?.report;
  keyed($('set-clips').querySelector('tbody'), set.clip_list, (c) => c.id, makeClipRow,
    (row, clip) => fillClipRow(row, clip, s, set.clip_list.indexOf(clip), report, build?.tracks));
  $('set-empty').hidden = set.clip_list.length > 0;
  renderCapacity(s, build);
  renderFit(s, build);

  const job = s.setJob?.state === 'running' ? s.setJob : null;
  $('set-progress').hidden = !job;
  $('set-progress').firstElementChild.style.width = `${job?.progress ?? 0}%`;
  $('set-step').textContent = job ? `${job.step} ${job.progress}%` : '';
  const missing = set.clip_list.filter((c) => !c.audio).length;
  const fitWhy = !s.running ? 'the studio is not running' : job ? 'the set is being fitted' : !set.clip_list.length ? 'add clips first'
    : missing ? `${missing} clip${missing > 1 ? 's wait' : ' waits'} for its file` : !setCapacity(s) ? 'no unit is present: give the capacity in bytes' : '';
  $('set-fit-button').disabled = fitWhy !== '';
  $('set-fit-button').title = fitWhy || 'Fit the set to the capacity (every setting left to auto is tried) and build its image';
  $('set-cancel').hidden = !job;
  for (const [id, file, why] of [['set-save-wav', 'joined.wav', 'fit the set first'], ['set-save-image', 'image.cod', 'fit the set first']]) {
    const link = $(id);
    const ok = Boolean(build && !build.error);
    link.classList.toggle('disabled', !ok);
    link.href = ok ? `${path(s)}/files/${file}` : '#';
    link.title = ok ? '' : why;
  }
  $('set-save').href = `${path(s)}/setfile`;
  $('set-add-input').disabled = busy;
  $('set-open-input').disabled = busy;
  $('set-diagnostics').textContent = set.diagnostics.map((d) => d.message).join('\n');
  showMessage($('set-message'), s.setMessage);
}

// The units' program buttons on this view: the set's image, when it is of the set as it is.
function setImage(s) {
  const set = s.set;
  if (!set) return { reason: 'open a set first' };
  const build = current(s);
  if (!build || build.error || !set.built) return { reason: building(s) ? 'the set is being fitted' : 'fit the set first: it has no image of the set as it is' };
  return {
    bytes: build.report.image_bytes,
    name: `${set.name} (${NAMES[build.report.settings.encoder]})`,
    body: { set: set.id },
    same: (holds) => holds?.kind === 'sound' && holds.set === set.id && holds.encoding === build.report.settings.encoder,
  };
}

export function setupSets() {
  addProgramSource('set', setImage);
  $('view-sound').onclick = () => update((s) => {
    s.tab = 'sound';
  });
  $('view-set').onclick = async () => {
    update((s) => {
      s.tab = 'set';
    });
    if (!state.set) await openSet();
  };
  for (const id of ['set-add-input', 'set-open-input']) {
    $(id).addEventListener('change', (e) => {
      addSetFiles([...e.target.files]);
      e.target.value = '';
    });
  }
  const panel = $('set-panel');
  panel.addEventListener('dragover', (e) => {
    if (e.dataTransfer?.types.includes('Files')) {
      e.preventDefault();
      panel.classList.add('over');
    }
  });
  panel.addEventListener('dragleave', () => panel.classList.remove('over'));
  panel.addEventListener('drop', (e) => {
    panel.classList.remove('over');
    if (!e.dataTransfer?.files.length) return;
    e.preventDefault();
    if (state.running && !building(state)) addSetFiles([...e.dataTransfer.files]);
  });
  $('set-encoder').onchange = (e) => send({ encoder: e.target.value });
  $('set-rate').onchange = (e) => send({ rate: e.target.value === 'auto' ? 'auto' : Number(e.target.value) });
  $('set-threshold').onchange = (e) => {
    const v = e.target.value.trim();
    send({ threshold: v === '' || v === 'auto' ? 'auto' : Number(v) });
  };
  $('set-clock').onchange = (e) => send({ clock: Number(e.target.value) });
  $('set-capacity-kind').onchange = (e) => send({ capacity: e.target.value === 'unit' ? 'unit' : 262144 });
  $('set-capacity-bytes').onchange = (e) => send({ capacity: Number(e.target.value) });
  $('set-fit-button').onclick = fit;
  $('set-cancel').onclick = cancel;
  for (const rate of RATES) $('set-rate').append(new Option(`${rate} Hz`, String(rate)));
}
