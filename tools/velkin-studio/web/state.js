// The page's one state. Everything shown is drawn from it: a change goes through update(), and the
// page is drawn again once per batch of changes, never patched by hand here and there. What the
// user chooses is also kept by the studio (selection.js), so a page that is reloaded comes back to it.

export const state = {
  sounds: new Map(), // id -> summary, as the server last gave it
  soundJobs: new Map(), // id -> its encode job while it runs
  current: null, // id of the sound shown
  loaded: null, // { id, summary, tracks: {source, tarpel, vossik}, pictures: {...} } of the current sound
  view: { start: 0, end: 1 }, // the time window shown, in seconds (a new object on every change)
  soundMessage: { text: '', error: false },
  devices: [], // the units' rows, as the server last listed them: present ones and gone ones with a result
  selected: new Set(), // unit names
  encoding: 'vossik', // what the units are programmed with
  record: '', // the EEPROM record as typed
  unitJobs: new Map(), // unit name -> its last job
  deviceMessage: { text: '', error: false },
  connected: null, // null before the event stream first opens, then true or false
  running: true, // false once the studio has been found not running
  tab: 'sound', // the view shown: 'sound' or 'set'
  set: null, // the set shown, as the studio last gave it
  setJob: null, // its last build job
  setPlaying: '', // "clip id:track" while a clip plays
  setMessage: { text: '', error: false },
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

// The newer of two snapshots of one job, or of jobs on one subject: events and answers may arrive
// in either order, and a stale one never replaces a newer one.
export function newer(last, job) {
  if (!job) return last;
  if (!last) return job;
  if (last.id !== job.id) return last.id > job.id ? last : job;
  return last.state !== 'running' ? last : job;
}

export const RECORD = /^[0-9a-fA-F]{32}$/;
