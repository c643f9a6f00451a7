// Zoom and pan on the time axis: the wheel zooms where it points, a drag pans, a click without a
// drag moves the playback position there.
import { $ } from './dom.js';
import { followWith, seek } from './playback.js';
import { duration, state, update } from './state.js';

export function setView(start, end) {
  const total = duration();
  const span = Math.min(Math.max(end - start, 0.005), total);
  start = Math.min(Math.max(start, 0), total - span);
  update((s) => {
    s.view = { start, end: start + span };
  });
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

export function setupZoom() {
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
    if (drag && !drag.moved && e.target.closest?.('#tracks canvas')) seek(timeAt(e));
    drag = null;
  });
  followWith((t) => {
    const { start, end } = state.view;
    const span = end - start;
    const from = t < start ? t - span / 10 : t - (span * 9) / 10;
    setView(from, from + span);
  });
  $('zoom-in').onclick = () => zoom(0.5);
  $('zoom-out').onclick = () => zoom(2);
  $('zoom-all').onclick = () => setView(0, duration());
  // A new width draws the canvases again.
  window.addEventListener('resize', () => update(() => {}));
}
