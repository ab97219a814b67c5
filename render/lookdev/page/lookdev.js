// The lookdev page: controls made from the shader's declarations, the
// progressive render, the light's response curves and the library's
// messages. Every value is checked and applied by the server; the page only
// shows what the server holds.
'use strict';

const token = document.querySelector('meta[name="oska-token"]').content;
const $ = (id) => document.getElementById(id);

// What the browser test reads: the page's own view of its state.
const lookdev = (window.oskaLookdev = {
  scene: null,
  light: 0,
  frame: 0,
  frameGeneration: 0,
  framePass: '',
  final: false,
  curvesSerial: 0,
  curves: null,
  messages: 0,
  status: null,
  lastError: '',
  valuesSerial: 0,
  history: { undo: 0, redo: 0 }, // the server's, shared by every page
  unsaved: false,
  stroke: '', // the drag under way: its changes are one step of the history
  sent: null, // the last change: its generation and when its images came
});

async function api(path, body) {
  const options = { headers: { 'X-Oska-Token': token }, cache: 'no-store' };
  if (body !== undefined) {
    options.method = 'POST';
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  if (!response.ok) {
    let text = response.statusText;
    try {
      text = (await response.json()).error || text;
    } catch (e) {
      // not JSON: keep the status text
    }
    throw new Error(text);
  }
  return response;
}

// ---- Display: the renderer's tone map and sRGB, for swatches.
function display(x) {
  if (!(x > 0)) return 0;
  let v = x <= 0.8 ? x : 0.8 + 0.2 * (1 - Math.exp(-(x - 0.8) / 0.2));
  v = v <= 0.0031308 ? 12.92 * v : 1.055 * Math.pow(v, 1 / 2.4) - 0.055;
  return Math.round(Math.min(1, v) * 255);
}
const cssColor = (rgb) => `rgb(${display(rgb[0])}, ${display(rgb[1])}, ${display(rgb[2])})`;
const hex2 = (v) => Math.round(Math.min(1, Math.max(0, v)) * 255).toString(16).padStart(2, '0');
const toHex = (c) => '#' + hex2(c[0]) + hex2(c[1]) + hex2(c[2]);
const fromHex = (h) => [1, 3, 5].map((i) => parseInt(h.substr(i, 2), 16) / 255);
const round = (v) => Math.round(v * 1e6) / 1e6;

// ---- Controls: each parameter's kind, range, unit and description come
// from the server, which has them from the shader's parameter table.

function currentLight() {
  return lookdev.scene.lights[lookdev.light];
}

function option(select, value, text) {
  const o = document.createElement('option');
  o.value = value;
  o.textContent = text;
  select.appendChild(o);
}

function buildControls() {
  const light = currentLight();
  const box = $('params');
  box.textContent = '';
  for (const decl of lookdev.scene.declarations) {
    const row = document.createElement('div');
    row.className = 'param';
    row.dataset.param = decl.name;
    const name = document.createElement('label');
    name.className = 'name';
    name.textContent = decl.name;
    name.title = `${decl.name} (${decl.type}${decl.unit ? ', ' + decl.unit : ''})` +
      (decl.description ? `: ${decl.description}` : '');
    const value = document.createElement('div');
    value.className = 'value';
    row.append(name, value);
    box.appendChild(row);
    const v = light.params[decl.name];
    const send = (newValue) => change(decl.name, newValue);
    if (decl.kind === 'color') {
      const picker = document.createElement('input');
      picker.type = 'color';
      picker.value = toHex(v);
      picker.title = `r ${v[0]}, g ${v[1]}, b ${v[2]}`;
      const alpha = number(v[3], 0.01);
      alpha.title = 'alpha (the intensity for the light colour)';
      picker.addEventListener('input', () => send([...fromHex(picker.value).map(round), Number(alpha.value)]));
      alpha.addEventListener('change', () => {
        if (alpha.value.trim() === '') return showError(`${decl.name}: the alpha needs a number`);
        send([...currentLight().params[decl.name].slice(0, 3), Number(alpha.value)]);
      });
      value.append(picker, document.createTextNode('α'), alpha);
    } else if (decl.kind === 'scalar') {
      const range = decl.range || [0, Math.max(1, Math.abs(v) * 2)];
      const slider = document.createElement('input');
      slider.type = 'range';
      slider.min = Math.min(range[0], v);
      slider.max = Math.max(range[1], v);
      slider.step = (slider.max - slider.min) / 1000;
      slider.value = v;
      const field = number(v, 'any');
      slider.addEventListener('pointerdown', () => {
        lookdev.stroke = `${decl.name} ${performance.now()}`;
      });
      slider.addEventListener('input', () => {
        field.value = round(Number(slider.value));
        send(Number(field.value));
      });
      field.addEventListener('change', () => send(field.value === '' ? field.value : Number(field.value)));
      value.append(slider, field);
    } else if (decl.kind === 'boolean') {
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.checked = v;
      box.addEventListener('change', () => send(box.checked));
      value.append(box);
    } else if (decl.kind === 'choice') {
      const select = document.createElement('select');
      for (const [code, text] of decl.choices) option(select, code, `${code}: ${text}`);
      if (!decl.choices.some(([code]) => code === v)) option(select, v, `${v}: ${decl.choices[0][1]}`);
      select.value = v;
      select.addEventListener('change', () => send(Number(select.value)));
      value.append(select);
    } else if (decl.kind === 'channel') {
      const select = document.createElement('select');
      option(select, 0, '0: texture coordinate');
      for (const c of light.channels) option(select, c, `channel ${c}`);
      if (v !== 0 && !light.channels.includes(v)) option(select, v, `${v} (not on the object)`);
      select.value = v;
      select.addEventListener('change', () => send(Number(select.value)));
      value.append(select);
    } else if (decl.kind === 'integer') {
      const field = number(v, 1);
      field.addEventListener('change', () => send(field.value === '' ? field.value : Number(field.value)));
      value.append(field);
    } else if (decl.kind === 'tag') {
      const select = document.createElement('select');
      option(select, '', '(none)');
      for (const t of lookdev.scene.textures) option(select, t, t);
      select.value = v;
      select.addEventListener('change', () => send(select.value));
      value.append(select);
    }
  }
}

function number(v, step) {
  const field = document.createElement('input');
  field.type = 'number';
  field.step = step;
  field.value = v;
  return field;
}

// ---- Changes, undo and redo: the server holds the values and the history.
lookdev.change = (name, value) => change(name, value);
async function send(lightIndex, set, stroke) {
  $('error').textContent = '';
  try {
    const start = performance.now();
    const answer = await (await api('/api/change', { light: lightIndex, set, stroke })).json();
    // Timed as the artist sees it: from the change to the images it makes.
    lookdev.sent = { generation: answer.generation, start, first: null, full: null };
    Object.assign(lookdev.scene.lights[lightIndex].params, answer.values);
    return true;
  } catch (e) {
    showError(e.message);
    if (lightIndex === lookdev.light) buildControls(); // back to the value the server holds
    return false;
  }
}

function showError(text) {
  lookdev.lastError = text;
  const error = $('error');
  error.textContent = text;
  if (text) error.scrollIntoView({ block: 'nearest' });
}

// The latest value wins: while a change is on its way, later values of a
// parameter replace each other, and only the last is sent after it.
const pending = new Map();
let sending = null;
function change(name, value) {
  const index = lookdev.light;
  pending.set(`${index} ${name}`, { index, name, value, stroke: lookdev.stroke });
  if (!sending) sending = flush();
  return sending;
}

async function flush() {
  while (pending.size > 0) {
    const [key, c] = pending.entries().next().value;
    pending.delete(key);
    await send(c.index, { [c.name]: c.value }, c.stroke);
  }
  sending = null;
}

async function step(back) {
  if (sending) await sending;
  try {
    const answer = await (await api(back ? '/api/undo' : '/api/redo', {})).json();
    lookdev.sent = { generation: answer.generation, start: performance.now(), first: null, full: null };
    Object.assign(lookdev.scene.lights[answer.light].params, answer.values);
    if (answer.light !== lookdev.light) {
      $('light').value = answer.light;
      showLight(answer.light);
    } else {
      buildControls();
    }
  } catch (e) {
    showError(e.message);
  }
}

function updateHistory() {
  $('undo').disabled = lookdev.history.undo === 0;
  $('redo').disabled = lookdev.history.redo === 0;
  $('unsaved').hidden = !lookdev.unsaved;
  if (lookdev.unsaved) $('saved').textContent = '';
}

// The values as the server holds them, whichever page changed them; the
// controls follow unless a drag is under way here.
function takeValues(values) {
  const before = JSON.stringify(currentLight().params);
  values.lights.forEach((params, i) => {
    lookdev.scene.lights[i].params = params;
  });
  lookdev.history = { undo: values.undo, redo: values.redo };
  lookdev.unsaved = values.unsaved;
  updateHistory();
  if (!lookdev.stroke && pending.size === 0 && JSON.stringify(currentLight().params) !== before) {
    buildControls();
  }
}

// ---- Curves.
let distancePlot = null;
let anglePlot = null;

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

// A plot is made once for a light and a set of series; later changes only
// hand it new data (much cheaper than making it again).
function plot(target, old, data, xLabel, extra, marks) {
  const columns = [data.x, data.r, data.g, data.b];
  if (extra) columns.push(data.x.map(() => extra.value));
  target.marks = marks;
  if (old && old.series.length === columns.length && old.target === target && old.light === lookdev.light) {
    old.setData(columns);
    return old;
  }
  if (old) old.destroy();
  const width = Math.max(300, target.clientWidth || 360);
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
    scales: { x: { time: false } },
    axes: [{ stroke: '#99a', grid: { stroke: '#333' } }, { stroke: '#99a', grid: { stroke: '#333' } }],
    hooks: { draw: [(u) => markers(target.marks, '#e8a33d')(u)] },
  };
  const made = new uPlot(options, columns, target);
  made.light = lookdev.light;
  made.target = target;
  return made;
}

function drawCurves() {
  const c = lookdev.curves && lookdev.curves[lookdev.light];
  if (!c) return;
  // Each curve says, by role, what shapes it and the parameter's name for it.
  const d = c.distance;
  const inRange = d.ranged;
  const limit = d.limit.value > 0 ? { label: d.limit.name, value: d.limit.value } : null;
  distancePlot = plot($('distance'), distancePlot, d, 'distance', limit, inRange ? [d.start, d.end] : []);
  $('distance-note').textContent =
    `${d.law.name} ${d.law.value}` + (inRange ? `, range ${round(d.start)} to ${round(d.end)}` : '') +
    (limit ? `, ${limit.label} ${round(limit.value)}` : '') + ', head-on';
  const a = c.angle;
  anglePlot = plot($('angle'), anglePlot, a, 'angle (degrees)', null, a.front.on ? [a.edge.degrees] : []);
  $('angle-note').textContent = `at distance ${round(a.distance)}` +
    (a.front.on ? `, ${a.edge.name} at ${round(a.edge.degrees)}°` : `, not ${a.front.name}`);
  const chain = $('chain');
  chain.textContent = '';
  if (c.chain.length === 0) {
    chain.textContent = 'No colour source: the light colour alone.';
  }
  for (const s of c.chain) {
    const box = document.createElement('div');
    box.className = 'swatch';
    const patch = document.createElement('div');
    patch.style.background = cssColor(s.rgb);
    box.append(patch, document.createTextNode(s.label), document.createElement('br'),
      document.createTextNode(s.rgb.map((v) => v.toFixed(3)).join(' ')));
    chain.appendChild(box);
  }
}

// ---- The render and the status.
async function showFrame() {
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
  lookdev.frame = serial;
  lookdev.frameGeneration = Number(response.headers.get('X-Frame-Generation'));
  lookdev.framePass = response.headers.get('X-Frame-Pass');
  lookdev.final = response.headers.get('X-Frame-Final') === '1';
  const sent = lookdev.sent;
  if (sent && lookdev.frameGeneration >= sent.generation) {
    const now = performance.now();
    if (sent.first === null) sent.first = now - sent.start;
    if (lookdev.final && sent.full === null) sent.full = now - sent.start;
  }
  return { width, height };
}

function addMessages(messages) {
  const log = $('log');
  for (const m of messages) {
    if (m.index < lookdev.messages) continue;
    const item = document.createElement('li');
    item.className = m.level;
    item.textContent = m.text;
    log.appendChild(item);
    lookdev.messages = m.index + 1;
  }
  while (log.children.length > 200) log.removeChild(log.firstChild);
  log.scrollTop = log.scrollHeight;
}

// The status brings the curves of the light in view only; another light's
// are asked for when it comes into view.
function takeCurves(light, serial, data) {
  lookdev.curves = lookdev.curves || [];
  lookdev.curves[light] = data;
  if (light === lookdev.light) lookdev.curvesSerial = serial;
  drawCurves();
}

async function showLight(index) {
  lookdev.light = index;
  lookdev.curvesSerial = 0;
  buildControls();
  drawCurves();
  try {
    const c = await (await api('/api/curves?light=' + index)).json();
    takeCurves(c.light, c.serial, c.data);
  } catch (e) {
    showError(e.message);
  }
}

async function poll() {
  for (;;) {
    try {
      const query = `frame=${lookdev.frame}&messages=${lookdev.messages}&curves=${lookdev.curvesSerial}` +
        `&values=${lookdev.valuesSerial}&light=${lookdev.light}`;
      const status = await (await api('/api/status?' + query)).json();
      lookdev.status = status;
      addMessages(status.messages);
      if (status.values) {
        lookdev.valuesSerial = status.values_serial;
        takeValues(status.values);
      }
      // The image first: it is what the artist waits for.
      if (status.frame && status.frame.serial > lookdev.frame) {
        const shown = await showFrame();
        const sent = lookdev.sent;
        const ms = (v) => (v === null ? '…' : `${v.toFixed(0)} ms`);
        $('pass').textContent = `${lookdev.framePass} ${shown.width}×${shown.height}` +
          (sent ? ` · first image ${ms(sent.first)}, full ${ms(sent.full)} after the change` : '');
      }
      if (status.curves) takeCurves(status.curves.light, status.curves_serial, status.curves.data);
    } catch (e) {
      $('pass').textContent = 'server: ' + e.message;
      await new Promise((done) => setTimeout(done, 1000));
    }
  }
}

async function save() {
  if (sending) await sending;
  $('saved').textContent = 'saving…';
  try {
    const saved = await (await api('/api/save', {})).json();
    showError('');
    $('saved').textContent = `saved (previous version in ${saved.backup.split('/').pop()})`;
  } catch (e) {
    $('saved').textContent = '';
    showError(e.message);
  }
}

async function start() {
  lookdev.scene = await (await api('/api/scene')).json();
  $('file').textContent = lookdev.scene.file;
  const canvas = $('render');
  canvas.width = lookdev.scene.width;
  canvas.height = lookdev.scene.height;
  const select = $('light');
  lookdev.scene.lights.forEach((l, i) => option(select, i, `${l.name} (on ${l.object})`));
  select.addEventListener('change', () => showLight(Number(select.value)));
  $('undo').addEventListener('click', () => step(true));
  $('redo').addEventListener('click', () => step(false));
  // A drag ends wherever the pointer is released.
  document.addEventListener('pointerup', () => {
    lookdev.stroke = '';
  });
  document.addEventListener('keydown', (e) => {
    const key = e.key.toLowerCase();
    if (!(e.ctrlKey || e.metaKey) || (key !== 'z' && key !== 's')) return;
    // A text field keeps its own undo; a slider, box or choice does not.
    const typing = e.target.tagName === 'INPUT' && ['number', 'text'].includes(e.target.type);
    if (key === 'z' && typing) return;
    e.preventDefault();
    if (key === 's') save();
    else step(!e.shiftKey);
  });
  window.addEventListener('beforeunload', (e) => {
    if (lookdev.unsaved) e.preventDefault();
  });
  $('save').addEventListener('click', save);
  updateHistory();
  buildControls();
  poll();
}

start().catch((e) => {
  $('error').textContent = e.message;
});
