// The studio page: sounds in, the three versions compared on one time axis, units programmed.
// state.js holds what is shown, render.js draws it; sounds.js, units.js, playback.js and zoom.js
// change it.
import * as api from './api.js';
import { $ } from './dom.js';
import { play, player, position, stop } from './playback.js';
import { render } from './render.js';
import { addFiles, onEncodeJob, reencode, refreshSound, select } from './sounds.js';
import { onChange, state, update } from './state.js';
import { noteUnitJob, onDevices, setupUnits } from './units.js';
import { setupZoom } from './zoom.js';

function onJob(job) {
  if (job.kind === 'encode') onEncodeJob(job);
  else noteUnitJob(job);
}

async function start() {
  onChange(render);
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
  $('reencode').onclick = reencode;
  for (const b of document.querySelectorAll('.play button[data-track]')) b.onclick = () => play(b.dataset.track);
  $('stop').onclick = stop;
  setupUnits();
  setupZoom();

  api.listen({
    job: onJob,
    devices: onDevices,
    onState: (up) => update((s) => {
      s.connected = up;
    }),
  });
  const [sounds, devices] = await Promise.all([api.getJson('/api/sounds'), api.getJson('/api/devices')]);
  update((s) => {
    for (const sound of sounds) s.sounds.set(sound.id, sound);
  });
  onDevices(devices);
  if (sounds.length) select(sounds[sounds.length - 1].id);
  // Sounds still encoding are asked after now and then, in case an event went by unseen.
  setInterval(() => {
    for (const [id, s] of state.sounds) if (s.state === 'encoding' || s.state === 'new') refreshSound(id);
  }, 1500);
}

// For the page's own tests and for the curious: the state and the player.
window.studio = { state, player, position };
start();
