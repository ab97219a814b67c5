// The light's response curves, drawn with uPlot (loaded before the modules).
/* global uPlot */
import { $, store } from './page.js';
import { cssColor, round } from './values.js';

let distancePlot = null;
let anglePlot = null;

// The plots' width: their section's, less its padding (a plot does not
// shrink with the window by itself).
const plotWidth = () => Math.max(240, Math.min($('curves').clientWidth - 22, 900));

export function fitCurves() {
  for (const made of [distancePlot, anglePlot]) {
    if (made) made.setSize({ width: plotWidth(), height: 200 });
  }
}

function markers(xs, colour) {
  return (u) => {
    const ctx = u.ctx;
    ctx.save();
    ctx.strokeStyle = colour;
    ctx.setLineDash([5, 4]);
    ctx.lineWidth = 1;
    for (const x of xs) {
      if (!(x >= u.scales.x.min && x <= u.scales.x.max)) continue;
      const px = u.valToPos(x, 'x', true);
      ctx.beginPath();
      ctx.moveTo(px, u.bbox.top);
      ctx.lineTo(px, u.bbox.top + u.bbox.height);
      ctx.stroke();
    }
    ctx.restore();
  };
}

// A plot is made once for a light, a set of series and an axis; later
// changes only hand it new data (much cheaper than making it again).
function plot(target, old, data, xLabel, extra, marks, logarithmic) {
  const { light } = store.get();
  // A logarithmic axis shows no zero: a dark sample leaves a gap.
  const shown = (ys) => (logarithmic ? ys.map((y) => (y > 0 ? y : null)) : ys);
  const columns = [data.x, shown(data.r), shown(data.g), shown(data.b)];
  if (extra) columns.push(data.x.map(() => extra.value));
  target.marks = marks;
  if (old && old.series.length === columns.length && old.target === target &&
      old.light === light && old.logarithmic === logarithmic) {
    old.setData(columns);
    return old;
  }
  if (old) old.destroy();
  const width = plotWidth();
  const series = [
    { label: xLabel },
    { label: 'red', stroke: '#f55', width: 2 },
    { label: 'green', stroke: '#5d5', width: 2 },
    { label: 'blue', stroke: '#59f', width: 2 },
  ];
  if (extra) series.push({ label: extra.label, stroke: '#ccc', dash: [4, 4], width: 1 });
  const options = {
    width,
    height: 200,
    series,
    // Physical decay spikes near the emitter: a logarithmic axis shows it whole.
    scales: { x: { time: false }, y: logarithmic ? { distr: 3 } : {} },
    axes: [{ stroke: '#99a', grid: { stroke: '#333' } }, { stroke: '#99a', grid: { stroke: '#333' } }],
    hooks: { draw: [(u) => markers(target.marks, '#e8a33d')(u)] },
  };
  const made = new uPlot(options, columns, target);
  made.light = light;
  made.target = target;
  made.logarithmic = logarithmic;
  return made;
}

function drawChain(chain, knee) {
  const box = $('chain');
  box.textContent = '';
  if (chain.length === 0) box.textContent = 'No colour source: the light colour alone.';
  for (const s of chain) {
    const item = document.createElement('div');
    item.className = 'swatch';
    const patch = document.createElement('div');
    patch.style.background = cssColor(s.rgb, knee);
    item.append(patch, document.createTextNode(s.label), document.createElement('br'),
      document.createTextNode(s.rgb.map((v) => v.toFixed(3)).join(' ')));
    box.appendChild(item);
  }
}

export function drawCurves() {
  const { curves, light, scene } = store.get();
  const c = curves && curves[light];
  if (!c) return;
  // Each curve says, by role, what shapes it and the parameter's name for it.
  const d = c.distance;
  const inRange = d.ranged;
  const limit = d.limit.value > 0 ? { label: d.limit.name, value: d.limit.value } : null;
  const logarithmic = $('log-axis').checked;
  distancePlot = plot($('distance'), distancePlot, d, 'distance', limit,
    inRange ? [d.start, d.end] : [], logarithmic);
  $('distance-note').textContent =
    `${d.law.name} ${d.law.value}` + (inRange ? `, range ${round(d.start)} to ${round(d.end)}` : '') +
    (limit ? `, ${limit.label} ${round(limit.value)}` : '') + ', head-on';
  const a = c.angle;
  anglePlot = plot($('angle'), anglePlot, a, 'angle (degrees)', null, a.front.on ? [a.edge.degrees] : [], false);
  $('angle-note').textContent = `at distance ${round(a.distance)}` +
    (a.front.on ? `, ${a.edge.name} at ${round(a.edge.degrees)}°` : `, not ${a.front.name}`);
  drawChain(c.chain, scene.display.tone_knee);
}
