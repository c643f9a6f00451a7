// Drawing on the time axis: every picture shows the same window `view` = {start, end} in seconds,
// or nothing at all when `view` is null (no sound shown).

// Sizes the canvas to its box in device pixels and returns its context and size.
export function prepare(canvas) {
  const ratio = window.devicePixelRatio || 1;
  const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
  const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
  if (canvas.width !== width || canvas.height !== height) {
    canvas.width = width;
    canvas.height = height;
  }
  const ctx = canvas.getContext('2d');
  ctx.clearRect(0, 0, width, height);
  return { ctx, width, height };
}

function sampleRange(view, rate, x, width, count) {
  const span = view.end - view.start;
  const from = Math.floor((view.start + (span * x) / width) * rate);
  const to = Math.floor((view.start + (span * (x + 1)) / width) * rate);
  return [Math.max(0, from), Math.min(count, Math.max(to, from + 1))];
}

function midline(ctx, width, height) {
  ctx.fillStyle = '#e7eaf0';
  ctx.fillRect(0, Math.floor(height / 2), width, 1);
}

// Where there are fewer samples than pixel columns, a line through the samples (with a dot on
// each once they stand apart); otherwise their minimum and maximum per column.
function traced(ctx, view, rate, width, count, valueAt, scale, height) {
  const span = view.end - view.start;
  const perPixel = (span * rate) / width;
  if (perPixel >= 1) return false;
  const x = (i) => ((i / rate - view.start) / span) * width;
  const from = Math.max(0, Math.floor(view.start * rate) - 1);
  const to = Math.min(count - 1, Math.ceil(view.end * rate) + 1);
  if (from > to) return true;
  ctx.lineWidth = Math.max(1, window.devicePixelRatio || 1);
  ctx.beginPath();
  for (let i = from; i <= to; i++) {
    const y = height / 2 - valueAt(i) * scale;
    if (i === from) ctx.moveTo(x(i), y);
    else ctx.lineTo(x(i), y);
  }
  ctx.stroke();
  if (1 / perPixel >= 6) {
    for (let i = from; i <= to; i++) ctx.fillRect(x(i) - 1.5, height / 2 - valueAt(i) * scale - 1.5, 3, 3);
  }
  return true;
}

export function waveform(canvas, track, view, color) {
  const { ctx, width, height } = prepare(canvas);
  midline(ctx, width, height);
  if (!track || !view) return;
  const { samples, rate } = track;
  ctx.fillStyle = color;
  ctx.strokeStyle = color;
  const scale = height / 2 / 32768;
  if (traced(ctx, view, rate, width, samples.length, (i) => samples[i], scale, height)) return;
  for (let x = 0; x < width; x++) {
    const [from, to] = sampleRange(view, rate, x, width, samples.length);
    if (from >= samples.length) break;
    let lo = 32767;
    let hi = -32768;
    for (let i = from; i < to; i++) {
      const s = samples[i];
      if (s < lo) lo = s;
      if (s > hi) hi = s;
    }
    const top = height / 2 - hi * scale;
    ctx.fillRect(x, top, 1, Math.max(1, (hi - lo) * scale));
  }
}

// Source minus each decoded track, drawn larger (x4) so that small errors show.
export function difference(canvas, source, tracks, view) {
  const { ctx, width, height } = prepare(canvas);
  midline(ctx, width, height);
  if (!source || !view) return;
  const scale = (4 * height) / 2 / 32768;
  for (const { track, color } of tracks) {
    if (!track) continue;
    ctx.fillStyle = color;
    ctx.strokeStyle = color;
    ctx.globalAlpha = 0.75;
    const n = Math.min(source.samples.length, track.samples.length);
    const d = (i) => source.samples[i] - track.samples[i];
    if (traced(ctx, view, source.rate, width, n, d, scale, height)) continue;
    for (let x = 0; x < width; x++) {
      const [from, to] = sampleRange(view, source.rate, x, width, n);
      if (from >= n) break;
      let lo = Infinity;
      let hi = -Infinity;
      for (let i = from; i < to; i++) {
        const d = source.samples[i] - track.samples[i];
        if (d < lo) lo = d;
        if (d > hi) hi = d;
      }
      const top = Math.max(0, height / 2 - hi * scale);
      const bottom = Math.min(height, height / 2 - lo * scale);
      ctx.fillRect(x, top, 1, Math.max(1, bottom - top));
    }
  }
  ctx.globalAlpha = 1;
}

// A dark-to-light colour ramp (256 entries of r, g, b).
const ramp = (() => {
  const stops = [[0, 8, 8, 24], [70, 40, 20, 110], [140, 190, 50, 70], [200, 250, 160, 30], [255, 255, 250, 220]];
  const out = new Uint8Array(256 * 3);
  for (let v = 0; v < 256; v++) {
    let k = 0;
    while (stops[k + 1][0] < v) k++;
    const [a, b] = [stops[k], stops[k + 1]];
    const t = (v - a[0]) / (b[0] - a[0]);
    for (let c = 0; c < 3; c++) out[v * 3 + c] = a[c + 1] + (b[c + 1] - a[c + 1]) * t;
  }
  return out;
})();

export function spectrogram(canvas, picture, rate, view) {
  const { ctx, width, height } = prepare(canvas);
  if (!picture || picture.columns === 0 || !view) return;
  const image = ctx.createImageData(width, height);
  const span = view.end - view.start;
  for (let x = 0; x < width; x++) {
    const t = view.start + (span * (x + 0.5)) / width;
    const column = Math.floor((t * rate) / picture.hop);
    if (column < 0 || column >= picture.columns) continue;
    const base = column * picture.rows;
    for (let y = 0; y < height; y++) {
      const row = Math.min(picture.rows - 1, Math.floor(((height - 1 - y) * picture.rows) / height));
      const v = picture.cells[base + row];
      const at = (y * width + x) * 4;
      image.data[at] = ramp[v * 3];
      image.data[at + 1] = ramp[v * 3 + 1];
      image.data[at + 2] = ramp[v * 3 + 2];
      image.data[at + 3] = 255;
    }
  }
  ctx.putImageData(image, 0, 0);
}

// One lane per encoding: coded stretches, silence records and region markers.
export function codeStream(canvas, lanes, rate, view) {
  const { ctx, width, height } = prepare(canvas);
  if (!view) return;
  const span = view.end - view.start;
  const x = (sample) => ((sample / rate - view.start) / span) * width;
  const laneHeight = height / Math.max(1, lanes.length);
  lanes.forEach(({ encoding, color }, k) => {
    if (!encoding) return;
    const top = k * laneHeight + 2;
    const h = laneHeight - 4;
    ctx.fillStyle = color;
    ctx.fillRect(Math.max(0, x(0)), top, Math.min(width, x(encoding.samples)) - Math.max(0, x(0)), h);
    ctx.fillStyle = '#8a93a6';
    for (const [at, length] of encoding.silences) {
      const a = x(at);
      const b = x(at + length);
      if (b < 0 || a > width) continue;
      ctx.fillRect(a, top, Math.max(1, b - a), h);
    }
    ctx.fillStyle = '#c8323c';
    for (const mark of encoding.marks) {
      const a = x(mark.at);
      if (a < -2 || a > width + 2) continue;
      ctx.fillRect(a - 1, top - 2, 2, h + 4);
      ctx.font = `${Math.round(10 * (window.devicePixelRatio || 1))}px sans-serif`;
      ctx.fillText(`${mark.type === 'start' ? '▸' : '◂'}${mark.cue}${mark.label ? `:${mark.label}` : ''}`, a + 3, top + h - 2);
    }
  });
}

export function axis(canvas, view) {
  const { ctx, width, height } = prepare(canvas);
  if (!view) return;
  const span = view.end - view.start;
  const steps = [0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 30, 60];
  const step = steps.find((s) => span / s <= 10) ?? 120;
  ctx.fillStyle = '#6b7385';
  ctx.font = `${Math.round(11 * (window.devicePixelRatio || 1))}px sans-serif`;
  for (let t = Math.ceil(view.start / step) * step; t <= view.end; t += step) {
    const px = ((t - view.start) / span) * width;
    ctx.fillRect(px, 0, 1, height / 3);
    ctx.fillText(`${+t.toFixed(3)} s`, px + 3, height - 4);
  }
}
