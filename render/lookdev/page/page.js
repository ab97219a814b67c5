// The page's shared state and its one way to the server. Every value is
// checked and applied by the server; the page only shows what it holds.
import { createStore } from './store.js';

export const token = document.querySelector('meta[name="oska-token"]').content;
export const $ = (id) => document.getElementById(id);

export const store = createStore({
  scene: null, // as /api/scene gives it, with each light's values as they are now
  original: null, // each light's values as the page first saw them
  light: 0,
  frame: 0,
  frameWidth: 0,
  frameHeight: 0,
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
  muted: [], // per light: rendered dark, by this page or another
  stroke: '', // the drag under way: its changes are one step of the history
  sent: null, // the last change: its generation and when its images came
  probe: null,
});

export async function api(path, body) {
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
    } catch {
      // not JSON: keep the status text
    }
    throw new Error(text);
  }
  return response;
}

export function currentLight() {
  const { scene, light } = store.get();
  return scene.lights[light];
}

// A refused value or a failed request, kept in view.
export function showError(text) {
  store.set({ lastError: text });
  const error = $('error');
  error.textContent = text;
  if (text) error.scrollIntoView({ block: 'nearest' });
}
