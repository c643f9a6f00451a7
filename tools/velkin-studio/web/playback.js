// A/B playback: every track starts where the last one was, so that switching compares the same
// moment.
import { $ } from './dom.js';
import { duration, state } from './state.js';

export const NAMES = { source: 'Source', tarpel: 'TARPEL', vossik: 'VOSSIK' };

export const player = {
  ctx: null, node: null, track: null, last: 'source', startedAt: 0, offset: 0, buffers: {}, frame: 0, of: null,
};

function audioBuffer(key) {
  // Buffers belong to one sound: another one shown starts afresh.
  if (player.of !== state.loaded) {
    player.buffers = {};
    player.of = state.loaded;
  }
  if (!player.buffers[key]) {
    const { samples, rate } = state.loaded.tracks[key];
    const buffer = player.ctx.createBuffer(1, Math.max(1, samples.length), rate);
    const data = buffer.getChannelData(0);
    for (let i = 0; i < samples.length; i++) data[i] = samples[i] / 32768;
    player.buffers[key] = buffer;
  }
  return player.buffers[key];
}

export function position() {
  return player.track ? player.ctx.currentTime - player.startedAt : player.offset;
}

export function play(key) {
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
  player.last = key;
  player.startedAt = player.ctx.currentTime - at;
  animate();
}

export function stop() {
  if (!player.node) return;
  player.offset = position();
  player.node.onended = null;
  player.node.stop();
  player.node = null;
  player.track = null;
  renderPlayhead();
}

export function seek(t) {
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

// The keyboard: space plays the last track played (the source at first) or stops; left and right
// move the position by a tenth of the window shown, and the window follows it.
export function onKey(e) {
  if (!state.loaded || e.ctrlKey || e.metaKey || e.altKey) return;
  const target = e.target;
  // Typing stays typing, and a list or a box keeps its own keys.
  if (target.closest?.('input, select, textarea, [contenteditable]')) return;
  if (e.key === ' ') {
    // Also on a focused button: space plays or stops rather than clicking it again.
    e.preventDefault();
    if (e.type !== 'keydown' || e.repeat) return;
    if (player.track) stop();
    else play(player.last);
  } else if (e.key === 'ArrowLeft' || e.key === 'ArrowRight') {
    if (e.type !== 'keydown') return;
    e.preventDefault();
    const { start, end } = state.view;
    const step = (end - start) / 10;
    const t = Math.min(Math.max(position() + (e.key === 'ArrowLeft' ? -step : step), 0), duration());
    if (t < start || t > end) follow(t);
    seek(t);
  }
}

// Set by zoom.js: moves the window shown so that `t` is in it.
let follow = () => {};
export function followWith(f) {
  follow = f;
}

function animate() {
  cancelAnimationFrame(player.frame);
  const tick = () => {
    renderPlayhead();
    if (player.track) player.frame = requestAnimationFrame(tick);
  };
  tick();
}

// The play buttons, the position and the playhead: drawn on every frame while playing, and with
// the rest of the page otherwise.
export function renderPlayhead() {
  const head = $('playhead');
  for (const b of document.querySelectorAll('.play button[data-track]')) {
    b.classList.toggle('playing', b.dataset.track === player.track);
  }
  const t = state.loaded ? position() : 0;
  $('play-state').textContent = state.loaded ? `${player.track ? NAMES[player.track] : 'stopped'} at ${t.toFixed(2)} s` : '';
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
