// Sounds: added, encoded, shown, renamed, deleted. Each sound's row carries its own progress while
// it is encoded; the message under the list tells outcomes, not progress, so it never outlives a job.
import * as api from './api.js';
import { $ } from './dom.js';
import { player, stop } from './playback.js';
import { saveSelection } from './selection.js';
import { say, state, update } from './state.js';

// The decoded versions compared, by track.
const FILES = { source: 'reference.wav', tarpel: 'tarpel.wav', vossik: 'vossik.wav' };

export function settings() {
  return { rate: $('rate').value, clock: $('clock').value.trim(), threshold: $('threshold').value.trim() };
}

// The header shows the settings of the sound shown: set when another sound is shown, or when its
// settings change (encoded again); left alone otherwise, so that what the user types stays.
let shownSettings = '';

export function renderSettings(s) {
  const summary = s.sounds.get(s.current);
  const wanted = summary?.settings;
  const key = wanted ? `${summary.id}:${JSON.stringify(wanted)}` : '';
  if (key === shownSettings) return;
  shownSettings = key;
  if (!wanted) return;
  const rate = $('rate');
  const text = String(wanted.rate);
  if (![...rate.options].some((o) => o.value === text)) rate.append(new Option(text));
  rate.value = text;
  $('clock').value = wanted.clock;
  $('threshold').value = String(wanted.threshold);
}

// An encode that has ended: its outcome is the message, and its progress goes with it.
function tellOutcome(s, summary) {
  if (summary.state === 'ready') s.soundMessage = say(`${summary.name}: ready`);
  if (summary.state === 'failed') s.soundMessage = say(`${summary.name}: ${summary.error}`, true);
}

export async function addFiles(files) {
  for (const file of files) {
    try {
      const { sound, job } = await api.uploadSound(file, settings());
      update((s) => {
        s.sounds.set(sound.id, sound);
        s.soundJobs.set(sound.id, job);
        // A file refused at once has failed before its answer came.
        s.soundMessage = say('');
        tellOutcome(s, sound);
      });
      select(sound.id);
      if (job.state !== 'running') await refreshSound(sound.id);
    } catch (e) {
      // A limit reached says so in the server's own words (and which flag sets it).
      update((s) => {
        s.soundMessage = say(`${file.name}: ${e.message}`, true);
      });
    }
  }
}

// A sound that is gone from the server (deleted elsewhere) goes from the page too.
function forget(id) {
  if (state.current === id) stop();
  update((s) => {
    s.sounds.delete(id);
    s.soundJobs.delete(id);
    if (s.current === id) {
      s.current = null;
      s.loaded = null;
    }
  });
  if (state.current === null && state.sounds.size > 0) select([...state.sounds.keys()].pop());
}

export async function refreshSound(id) {
  let summary;
  try {
    summary = await api.getJson(`/api/sounds/${id}`);
  } catch (e) {
    if (e.status === 404) forget(id);
    return;
  }
  const before = state.sounds.get(id);
  if (!before) return;
  update((s) => {
    s.sounds.set(id, summary);
    if (summary.state !== 'encoding') s.soundJobs.delete(id);
    if (before.state === 'encoding') tellOutcome(s, summary);
  });
  if (id !== state.current) return;
  if (summary.state === 'failed') {
    update((s) => {
      s.loaded = null;
    });
  } else if (summary.state === 'ready' && state.loaded?.summary !== summary) {
    await loadSound(summary);
  }
}

export function select(id) {
  if (id !== state.current) {
    // Another sound is heard from its start.
    stop();
    player.offset = 0;
  }
  const summary = state.sounds.get(id);
  update((s) => {
    s.current = id;
    if (s.loaded?.id !== id || summary?.state !== 'ready') s.loaded = null;
  });
  saveSelection();
  if (summary?.state === 'ready') loadSound(summary);
}

async function loadSound(summary) {
  const base = `/api/sounds/${summary.id}`;
  let loaded;
  try {
    const [source, tarpel, vossik, ps, pt, pv] = await Promise.all([
      api.loadWav(`${base}/files/${FILES.source}`), api.loadWav(`${base}/files/${FILES.tarpel}`),
      api.loadWav(`${base}/files/${FILES.vossik}`), api.loadSpectrogram(`${base}/spectrogram/source`),
      api.loadSpectrogram(`${base}/spectrogram/tarpel`), api.loadSpectrogram(`${base}/spectrogram/vossik`),
    ]);
    loaded = { id: summary.id, summary, tracks: { source, tarpel, vossik }, pictures: { source: ps, tarpel: pt, vossik: pv } };
  } catch (e) {
    // Deleted meanwhile, or encoded again: the next event says what it has become.
    return;
  }
  if (state.current !== summary.id) return;
  update((s) => {
    const same = s.loaded?.id === loaded.id;
    s.loaded = loaded;
    // The same sound encoded again keeps its window where it still fits.
    const end = Math.max(loaded.tracks.source.samples.length / loaded.tracks.source.rate, 0.01);
    if (!same || s.view.end > end) s.view = { start: 0, end };
  });
}

export async function deleteSound(id) {
  const name = state.sounds.get(id)?.name ?? `sound ${id}`;
  try {
    await api.remove(`/api/sounds/${id}`);
    forget(id);
    update((s) => {
      s.soundMessage = say(`${name}: deleted`);
    });
  } catch (e) {
    if (e.status === 404) forget(id);
    update((s) => {
      s.soundMessage = say(`${name}: ${e.message}`, true);
    });
  }
}

export async function renameSound(id) {
  const old = state.sounds.get(id)?.name ?? '';
  const name = window.prompt('New name for the sound:', old);
  if (name === null || name.trim() === '' || name === old) return;
  try {
    const summary = await api.postJson(`/api/sounds/${id}/rename`, { name });
    update((s) => {
      if (s.sounds.has(id)) s.sounds.set(id, { ...s.sounds.get(id), name: summary.name });
      if (s.loaded?.id === id) s.loaded = { ...s.loaded, summary: { ...s.loaded.summary, name: summary.name } };
      s.soundMessage = say(`${old}: renamed ${summary.name}`);
    });
  } catch (e) {
    if (e.status === 404) forget(id);
    update((s) => {
      s.soundMessage = say(`${old}: ${e.message}`, true);
    });
  }
}

export async function reencode() {
  const id = state.current;
  if (id === null) return;
  try {
    const { job } = await api.reencode(id, settings());
    update((s) => {
      const summary = s.sounds.get(id);
      if (summary) s.sounds.set(id, { ...summary, state: 'encoding', settings: { ...summary.settings, ...settings() } });
      s.soundJobs.set(id, job);
      s.soundMessage = say('');
    });
  } catch (e) {
    update((s) => {
      s.soundMessage = say(e.message, true);
    });
  }
}

export function onEncodeJob(job) {
  const id = Number(job.subject);
  if (!state.sounds.has(id)) return;
  const last = state.soundJobs.get(id);
  if (last && last.id > job.id) return;
  if (job.state === 'running') {
    update((s) => s.soundJobs.set(id, job));
  } else {
    refreshSound(id);
  }
}
