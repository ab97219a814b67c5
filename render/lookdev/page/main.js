// The lookdev page: controls made from the shader's declarations, the
// progressive render, the light's response curves and the library's
// messages, all following what the server holds.
import { buildControls, option } from './controls.js';
import { drawCurves, fitCurves } from './curves.js';
import { exposeForTests } from './hook.js';
import { setUpView, showFrame } from './image.js';
import { listen } from './news.js';
import { $, api, currentLight, showError, store } from './page.js';
import { watch } from './store.js';
import { Latest, Newest, changeRecord, withAllValues, withValues } from './values.js';

// ---- Changes, undo and redo: the server holds the values and the history.
async function send({ index, name, value, stroke }) {
  showError('');
  try {
    // Timed as the artist sees it: from the change to the images it makes.
    const start = performance.now();
    const answer = await (await api('/api/change', { light: index, set: { [name]: value }, stroke })).json();
    store.update((s) => ({
      sent: changeRecord(answer.generation, start),
      scene: withValues(s.scene, index, answer.values),
    }));
  } catch (e) {
    showError(e.message);
    if (index === store.get().light) controls(); // back to the value the server holds
  }
}

const changes = new Latest(send);
const change = (name, value) => {
  const { light, stroke } = store.get();
  return changes.put(`${light} ${name}`, { index: light, name, value, stroke });
};
// Every change made here has its answer.
const controls = () => buildControls(change, () => changes.idle());
exposeForTests(store, change);

async function step(back) {
  await changes.idle();
  try {
    const answer = await (await api(back ? '/api/undo' : '/api/redo', {})).json();
    store.update((s) => ({
      sent: changeRecord(answer.generation, performance.now()),
      scene: withValues(s.scene, answer.light, answer.values),
    }));
    if (answer.light !== store.get().light) {
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
function updateMute({ muted, light }) {
  const solo = muted.length > 1 && muted.every((m, i) => m === (i !== light));
  $('mute').setAttribute('aria-pressed', String(Boolean(muted[light])));
  $('solo').setAttribute('aria-pressed', String(solo));
}

async function mute(solo) {
  const { light, muted } = store.get();
  try {
    const body = solo ? { light } : { light, muted: !muted[light] };
    const answer = await (await api(solo ? '/api/solo' : '/api/mute', body)).json();
    store.set({ sent: changeRecord(answer.generation, performance.now()), muted: answer.muted });
  } catch (e) {
    showError(e.message);
  }
}

function updateHistory({ history, unsaved }) {
  $('undo').disabled = history.undo === 0;
  $('redo').disabled = history.redo === 0;
  $('unsaved').hidden = !unsaved;
  if (unsaved) $('saved').textContent = '';
}

// The values as the server holds them, whichever page changed them; the
// controls follow unless a drag is under way here.
function takeValues(values) {
  const before = JSON.stringify(currentLight().params);
  store.update((s) => ({
    scene: withAllValues(s.scene, values.lights),
    history: { undo: values.undo, redo: values.redo },
    unsaved: values.unsaved,
    muted: values.muted,
  }));
  if (!store.get().stroke && !changes.running && JSON.stringify(currentLight().params) !== before) {
    controls();
  }
}

// ---- The server's news, pushed to every page as it happens.
function addMessages(messages) {
  const log = $('log');
  let count = store.get().messages;
  for (const m of messages) {
    if (m.index < count) continue;
    const item = document.createElement('li');
    item.className = m.level;
    item.textContent = m.text;
    log.appendChild(item);
    count = m.index + 1;
  }
  store.set({ messages: count });
  while (log.children.length > 200) log.removeChild(log.firstChild);
  log.scrollTop = log.scrollHeight;
}

// The status brings the curves of the light in view only; another light's
// are asked for when it comes into view.
function takeCurves(light, serial, data) {
  store.update((s) => {
    const curves = [...(s.curves || [])];
    curves[light] = data;
    return light === s.light ? { curves, curvesSerial: serial } : { curves };
  });
  drawCurves();
}

let relisten = null;

async function showLight(index) {
  store.set({ light: index, curvesSerial: 0 });
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
  const { sent, framePass, frame } = store.get();
  const ms = (v) => (v === null ? '…' : `${v.toFixed(0)} ms`);
  $('pass').textContent = `${framePass} ${shown.width}×${shown.height}` +
    (sent ? ` · first image ${ms(sent.first)}, full ${ms(sent.full)} after the change` : '');
  return frame;
});

function takeStatus(status) {
  document.body.classList.remove('offline');
  store.set({ status });
  addMessages(status.messages);
  if (status.values) {
    store.set({ valuesSerial: status.values_serial });
    takeValues(status.values);
  }
  const { frame } = store.get();
  if (status.frame && status.frame.serial > frame) {
    frames.have = frame;
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
  const scene = await (await api('/api/scene')).json();
  store.set({ scene, original: scene.lights.map((l) => ({ ...l.params })) });
  watch(store, ['history', 'unsaved'], updateHistory);
  watch(store, ['muted', 'light'], updateMute);
  $('file').textContent = scene.file;
  const canvas = $('render');
  canvas.width = scene.width;
  canvas.height = scene.height;
  const select = $('light');
  scene.lights.forEach((l, i) => option(select, i, `${l.name} (on ${l.object})`));
  select.addEventListener('change', () => showLight(Number(select.value)));
  $('undo').addEventListener('click', () => step(true));
  $('redo').addEventListener('click', () => step(false));
  $('save').addEventListener('click', save);
  $('mute').addEventListener('click', () => mute(false));
  $('solo').addEventListener('click', () => mute(true));
  $('log-axis').addEventListener('change', drawCurves);
  window.addEventListener('resize', fitCurves);
  // A drag ends wherever the pointer is released.
  document.addEventListener('pointerup', () => store.set({ stroke: '' }));
  document.addEventListener('keydown', keys);
  window.addEventListener('beforeunload', (e) => {
    if (store.get().unsaved) e.preventDefault();
  });
  setUpView((light) => {
    select.value = light;
    showLight(light);
  });
  updateHistory(store.get());
  controls();
  listen(takeStatus, lost);
}

start().catch((e) => showError(e.message));
