// The page's one state. Everything shown is drawn from it: a change goes through update(), and the
// page is drawn again once per batch of changes, never patched by hand here and there.

export const state = {
  sounds: new Map(), // id -> summary, as the server last gave it
  current: null, // id of the sound shown
  loaded: null, // { id, summary, tracks: {source, tarpel, vossik}, pictures: {...} } of the current sound
  view: { start: 0, end: 1 }, // the time window shown, in seconds (a new object on every change)
  soundMessage: { text: '', error: false },
  devices: [], // the units, as the server last listed them
  selected: new Set(), // unit names
  unitJobs: new Map(), // unit name -> its last job
  deviceMessage: { text: '', error: false },
  connected: null, // null before the event stream first opens, then true or false
};

const renderers = [];
let pending = false;

// `draw(state)` runs after every batch of changes.
export function onChange(draw) {
  renderers.push(draw);
}

// Changes the state with `change(state)` and has the page drawn again.
export function update(change) {
  change(state);
  if (pending) return;
  pending = true;
  queueMicrotask(() => {
    pending = false;
    for (const draw of renderers) draw(state);
  });
}

export function duration() {
  const t = state.loaded?.tracks.source;
  return t ? t.samples.length / t.rate : 1;
}

// A message under the sounds or the units: texts from the server are shown as text.
export const say = (text, error = false) => ({ text, error });
