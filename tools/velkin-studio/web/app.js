// The studio page: sounds in, the three versions compared on one time axis, units programmed.
// state.js holds what is shown, render.js draws it; sounds.js, units.js, playback.js and zoom.js
// change it. Everything comes from the studio: a page reloaded, or opened again, rebuilds itself
// from the studio's sounds, units, jobs and the selection it keeps.
import * as api from './api.js';
import { $ } from './dom.js';
import { onKey, play, player, position, stop } from './playback.js';
import { render } from './render.js';
import { loadSelection } from './selection.js';
import { onSetJob, openSet, renderSet, setupSets } from './sets.js';
import { addFiles, onEncodeJob, reencode, refreshSound, select } from './sounds.js';
import { onChange, state, update } from './state.js';
import { noteUnitJob, onDevices, setupUnits } from './units.js';
import { setupZoom } from './zoom.js';

function onJob(job) {
  if (job.kind === 'encode') onEncodeJob(job);
  else if (job.kind === 'build') onSetJob(job);
  else noteUnitJob(job);
}

// Everything the studio knows, read again: at the start, and when a studio is back after being
// found not running (the same one, or a new one with nothing of the old one's).
async function resync() {
  const [sounds, devices, jobs, chosen] = await Promise.all([
    api.getJson('/api/sounds'), api.getJson('/api/devices'), api.getJson('/api/jobs'), loadSelection(),
  ]);
  const known = new Set(sounds.map((sound) => sound.id));
  update((s) => {
    s.sounds = new Map(sounds.map((sound) => [sound.id, sound]));
    s.soundJobs = new Map();
    for (const job of jobs) {
      if (job.kind === 'encode' && job.state === 'running' && known.has(Number(job.subject))) s.soundJobs.set(Number(job.subject), job);
    }
    s.unitJobs = new Map();
    if (chosen) {
      s.encoding = chosen.encoding;
      s.record = chosen.record;
      s.selected = new Set(chosen.units);
    }
    if (!known.has(s.current)) {
      s.current = null;
      s.loaded = null;
    }
  });
  onDevices(devices);
  if (state.set || state.tab === 'set') openSet();
  const wanted = known.has(chosen?.sound) ? chosen.sound : state.current ?? sounds[sounds.length - 1]?.id;
  if (wanted !== undefined && wanted !== null) select(wanted);
}

// The event stream is down: is the studio still there (and the stream only interrupted), or gone?
let checking = false;
async function onStream(up) {
  if (up) {
    const wasDown = !state.running;
    update((s) => {
      s.connected = true;
      s.running = true;
    });
    if (wasDown) resync().catch(() => {});
    return;
  }
  update((s) => {
    s.connected = false;
  });
  if (checking) return;
  checking = true;
  const there = await api.reachable();
  checking = false;
  if (!there && !state.connected) {
    stop();
    update((s) => {
      s.running = false;
    });
  }
}

async function start() {
  onChange(render);
  onChange(renderSet);
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
    if (state.running) addFiles([...e.dataTransfer.files]);
  });
  $('reencode').onclick = reencode;
  for (const b of document.querySelectorAll('.play button[data-track]')) b.onclick = () => play(b.dataset.track);
  $('stop').onclick = stop;
  document.addEventListener('keydown', onKey);
  document.addEventListener('keyup', onKey);
  setupUnits();
  setupSets();
  setupZoom();

  api.listen({ job: onJob, devices: onDevices, onState: onStream });
  await resync();
  // Sounds still encoding are asked after now and then, in case an event went by unseen.
  setInterval(() => {
    if (!state.running) return;
    for (const [id, s] of state.sounds) if (s.state === 'encoding' || s.state === 'new') refreshSound(id);
  }, 1500);
}

// For the page's own tests and for the curious: the state and the player.
window.studio = { state, player, position };
start();
