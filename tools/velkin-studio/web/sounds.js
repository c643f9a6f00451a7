// Sounds: added, encoded, shown, deleted.
import * as api from './api.js';
import { $ } from './dom.js';
import { stop } from './playback.js';
import { say, state, update } from './state.js';

// The decoded versions compared, by track.
const FILES = { source: 'reference.wav', tarpel: 'tarpel.wav', vossik: 'vossik.wav' };

export function settings() {
  return { rate: $('rate').value, clock: $('clock').value.trim(), threshold: $('threshold').value.trim() };
}

export async function addFiles(files) {
  for (const file of files) {
    try {
      const { sound, job } = await api.uploadSound(file, settings());
      update((s) => {
        s.sounds.set(sound.id, sound);
        s.soundMessage = say(`${file.name}: encoding…`);
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
  if (!state.sounds.has(id)) return;
  update((s) => s.sounds.set(id, summary));
  if (id !== state.current) return;
  if (summary.state === 'failed') {
    update((s) => {
      s.soundMessage = say(`${summary.name}: ${summary.error}`, true);
      s.loaded = null;
    });
  } else if (summary.state === 'ready') {
    update((s) => {
      s.soundMessage = say('');
    });
    await loadSound(summary);
  }
}

export function select(id) {
  stop();
  const summary = state.sounds.get(id);
  const failed = summary?.state === 'failed';
  update((s) => {
    s.current = id;
    s.soundMessage = failed ? say(`${summary.name}: ${summary.error}`, true) : say('');
    if (summary?.state !== 'ready') s.loaded = null;
  });
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
    s.loaded = loaded;
    s.view = { start: 0, end: Math.max(loaded.tracks.source.samples.length / loaded.tracks.source.rate, 0.01) };
  });
}

export async function deleteSound(id) {
  const name = state.sounds.get(id)?.name ?? `sound ${id}`;
  try {
    await api.deleteSound(id);
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

export async function reencode() {
  const id = state.current;
  if (id === null) return;
  try {
    await api.reencode(id, settings());
    update((s) => {
      const summary = s.sounds.get(id);
      if (summary) s.sounds.set(id, { ...summary, state: 'encoding' });
    });
  } catch (e) {
    update((s) => {
      s.soundMessage = say(e.message, true);
    });
  }
}

export function onEncodeJob(job) {
  const id = Number(job.subject);
  const summary = state.sounds.get(id);
  if (summary && job.state === 'running') {
    update((s) => {
      s.soundMessage = say(`${summary.name}: ${job.step} ${job.progress}%`);
    });
  } else if (job.state !== 'running') {
    refreshSound(id);
  }
}
