// The render as the page shows it: each pass as it comes, with a display
// exposure, a zoom of fit or 1:1, and a snapshot to compare against.
import { $, api, store } from './page.js';
import { timeImage } from './values.js';

let snapshot = null; // a canvas holding the image kept for comparison

export async function showFrame() {
  const response = await api('/api/image');
  const width = Number(response.headers.get('X-Frame-Width'));
  const height = Number(response.headers.get('X-Frame-Height'));
  const serial = Number(response.headers.get('X-Frame-Serial'));
  const bytes = new Uint8ClampedArray(await response.arrayBuffer());
  if (bytes.length !== width * height * 4) throw new Error('a damaged image');
  const source = document.createElement('canvas');
  source.width = width;
  source.height = height;
  source.getContext('2d').putImageData(new ImageData(bytes, width, height), 0, 0);
  const canvas = $('render');
  const ctx = canvas.getContext('2d');
  ctx.imageSmoothingEnabled = false;
  ctx.drawImage(source, 0, 0, canvas.width, canvas.height);
  // The image may be newer than the status that announced it: what it says
  // of itself is what the page shows.
  const generation = Number(response.headers.get('X-Frame-Generation'));
  const final = response.headers.get('X-Frame-Final') === '1';
  store.update((s) => ({
    frame: serial,
    frameWidth: width,
    frameHeight: height,
    frameGeneration: generation,
    framePass: response.headers.get('X-Frame-Pass'),
    final,
    sent: timeImage(s.sent, generation, final, performance.now()),
  }));
  return { width, height };
}

let onSelect = () => {};

// The view's own controls: none of them changes the scene. `select(light)`
// brings a light into view (a click on its emitter).
export function setUpView(select) {
  onSelect = select;
  const exposure = $('exposure');
  const applyExposure = () => {
    const stops = Number(exposure.value);
    $('exposure-value').textContent = `${stops > 0 ? '+' : ''}${stops} EV`;
    const filter = stops === 0 ? '' : `brightness(${Math.pow(2, stops)})`;
    $('render').style.filter = filter;
    $('snapshot').style.filter = filter;
  };
  exposure.addEventListener('input', applyExposure);
  $('zoom').addEventListener('click', () => {
    const frame = $('frame');
    frame.classList.toggle('actual');
    $('zoom').textContent = frame.classList.contains('actual') ? 'Fit' : '1:1';
  });
  $('keep').addEventListener('click', () => {
    const kept = $('snapshot');
    kept.width = $('render').width;
    kept.height = $('render').height;
    kept.getContext('2d').drawImage($('render'), 0, 0);
    snapshot = kept;
    $('compare').disabled = false;
  });
  // Holding "A/B" shows the kept image in place of the render.
  const compare = (on) => {
    if (snapshot) $('frame').classList.toggle('comparing', on);
  };
  $('compare').addEventListener('pointerdown', () => compare(true));
  for (const end of ['pointerup', 'pointerleave']) $('compare').addEventListener(end, () => compare(false));
  $('render').addEventListener('click', probe);
  applyExposure();
}

// The render's own value (before the display's tone map) under the pointer.
async function probe(e) {
  const canvas = $('render');
  const box = canvas.getBoundingClientRect();
  const { frameWidth, frameHeight, scene } = store.get();
  const width = frameWidth || canvas.width;
  const height = frameHeight || canvas.height;
  const x = Math.floor(((e.clientX - box.left) / box.width) * width);
  const y = Math.floor(((e.clientY - box.top) / box.height) * height);
  try {
    const p = await (await api(`/api/probe?x=${x}&y=${y}`)).json();
    store.set({ probe: p });
    $('probe').textContent = `pixel ${p.x}, ${p.y} of the ${p.pass} pass: ` +
      p.rgb.map((v) => v.toPrecision(4)).join(' ') + (p.object ? ` · ${p.object}` : '') +
      (p.light !== undefined ? ` (light ${scene.lights[p.light].name}, selected)` : '') +
      (p.most ? ` · most from ${scene.lights[p.most.light].name} ` +
        `(${Math.round(p.most.fraction * 100)} %)` : '');
    // A click on an emitter selects its light.
    if (p.light !== undefined && p.light !== store.get().light) onSelect(p.light);
  } catch (err) {
    $('probe').textContent = err.message;
  }
}
