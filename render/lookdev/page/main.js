// The lookdev page: controls made from the shader's declarations, the
// progressive render, the light's response curves and the library's
// messages, all following what the server holds.
import { buildControls, option } from './controls.js?token={{TOKEN}}';
import { drawCurves, fitCurves } from './curves.js?token={{TOKEN}}';
import { setUpView, showFrame } from './image.js?token={{TOKEN}}';
import { $, api, currentLight, lookdev, showError } from './page.js?token={{TOKEN}}';
import { listen } from './news.js?token={{TOKEN}}';
import { Latest, Newest } from './values.js?token={{TOKEN}}';

// ---- Changes, undo and redo: the server holds the values and the history.
async function send({ index, name, value, stroke }) {
  showError('');
  try {
    const start = performance.now();
    const answer = await (await api('/api/change', { light: index, set: { [name]: value }, stroke })).json();
    // Timed as the artist sees it: from the change to the images it makes.
    lookdev.sent = { generation: answer.generation, start, first: null, full: null };
    Object.assign(lookdev.scene.lights[index].params, answer.values);
  } catch (e) {
    showError(e.message);
    if (index === lookdev.light) controls(); // back to the value the server holds
  }
}

const changes = new Latest(send);
const change = (name, value) =>
  changes.put(`${lookdev.light} ${name}`, { index: lookdev.light, name, value, stroke: lookdev.stroke });
lookdev.change = change;
lookdev.idle = () => changes.idle(); // every change made here has its answer
const controls = () => buildControls(change);

async function step(back) {
  await changes.idle();
  try {
    const answer = await (await api(back ? '/api/undo' : '/api/redo', {})).json();
    lookdev.sent = { generation: answer.generation, start: performance.now(), first: null, full: null };
    Object.assign(lookdev.scene.lights[answer.light].params, answer.values);
    if (answer.light !== lookdev.light) {
      $('light').value = answer.light;
      showLight(answer.light);
    } else {
      controls();
    }
  } catch (e) {
    showError(e.message);
  }
}

// Mute and solo change only what is rendered: the server says which lights
// are dark, for every page.
function updateMute() {
  const muted = lookdev.muted;
  const solo = muted.length > 1 && muted.every((m, i) => m === (i !== lookdev.light));
  $('mute').setAttribute('aria-pressed', String(Boolean(muted[lookdev.light])));
  $('solo').setAttribute('aria-pressed', String(solo));
}

async function mute(solo) {
  try {
    const body = solo ? { light: lookdev.light } : { light: lookdev.light, muted: !lookdev.muted[lookdev.light] };
    const answer = await (await api(solo ? '/api/solo' : '/api/mute', body)).json();
    lookdev.sent = { generation: answer.generation, start: performance.now(), first: null, full: null };
    lookdev.muted = answer.muted;
    updateMute();
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
  lookdev.muted = values.muted;
  updateHistory();
  updateMute();
  if (!lookdev.stroke && !changes.running && JSON.stringify(currentLight().params) !== before) {
    controls();
  }
}

// ---- The server's news, pushed to every page as it happens.
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

let relisten = null;

async function showLight(index) {
  lookdev.light = index;
  lookdev.curvesSerial = 0;
  updateMute();
  controls();
  drawCurves();
  // The news of this light's curves, once it stays in view: a stream left
  // is let go by the server only at its next sign of life.
  clearTimeout(relisten);
  relisten = setTimeout(() => listen(takeStatus, lost), 250);
  try {
    const c = await (await api('/api/curves?light=' + index)).json();
    takeCurves(c.light, c.serial, c.data);
  } catch (e) {
    showError(e.message);
  }
}

// The newest pass, fetched once an event says it is ready.
const frames = new Newest(async () => {
  const shown = await showFrame();
  const sent = lookdev.sent;
  const ms = (v) => (v === null ? '…' : `${v.toFixed(0)} ms`);
  $('pass').textContent = `${lookdev.framePass} ${shown.width}×${shown.height}` +
    (sent ? ` · first image ${ms(sent.first)}, full ${ms(sent.full)} after the change` : '');
  return lookdev.frame;
});

function takeStatus(status) {
  document.body.classList.remove('offline');
  lookdev.status = status;
  addMessages(status.messages);
  if (status.values) {
    lookdev.valuesSerial = status.values_serial;
    takeValues(status.values);
  }
  if (status.frame && status.frame.serial > lookdev.frame) {
    frames.have = lookdev.frame;
    frames.announce(status.frame.serial).catch((e) => lost(e.message));
  }
  if (status.curves) takeCurves(status.curves.light, status.curves_serial, status.curves.data);
}

// A stopped server applies nothing: the page says so until it is back.
function lost(why) {
  document.body.classList.add('offline');
  $('pass').textContent = `The server does not answer${why ? ` (${why})` : ''}: changes are not applied.`;
}

async function save() {
  await changes.idle();
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

function keys(e) {
  const key = e.key.toLowerCase();
  if (!(e.ctrlKey || e.metaKey) || (key !== 'z' && key !== 's')) return;
  // A text field keeps its own undo; a slider, box or choice does not.
  const typing = e.target.tagName === 'INPUT' && ['number', 'text'].includes(e.target.type);
  if (key === 'z' && typing) return;
  e.preventDefault();
  if (key === 's') save();
  else step(!e.shiftKey);
}

async function start() {
  lookdev.scene = await (await api('/api/scene')).json();
  lookdev.original = lookdev.scene.lights.map((l) => ({ ...l.params }));
  $('file').textContent = lookdev.scene.file;
  const canvas = $('render');
  canvas.width = lookdev.scene.width;
  canvas.height = lookdev.scene.height;
  const select = $('light');
  lookdev.scene.lights.forEach((l, i) => option(select, i, `${l.name} (on ${l.object})`));
  select.addEventListener('change', () => showLight(Number(select.value)));
  $('undo').addEventListener('click', () => step(true));
  $('redo').addEventListener('click', () => step(false));
  $('save').addEventListener('click', save);
  $('mute').addEventListener('click', () => mute(false));
  $('solo').addEventListener('click', () => mute(true));
  $('log-axis').addEventListener('change', drawCurves);
  window.addEventListener('resize', fitCurves);
  // A drag ends wherever the pointer is released.
  document.addEventListener('pointerup', () => {
    lookdev.stroke = '';
  });
  document.addEventListener('keydown', keys);
  window.addEventListener('beforeunload', (e) => {
    if (lookdev.unsaved) e.preventDefault();
  });
  setUpView((light) => {
    select.value = light;
    showLight(light);
  });
  updateHistory();
  controls();
  listen(takeStatus, lost);
}

start().catch((e) => showError(e.message));
