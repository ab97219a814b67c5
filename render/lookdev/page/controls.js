// A control for each parameter of the light's shader: its kind, range, unit
// and description come from the server, which has them from the shader's
// parameter table.
import { $, currentLight, showError, store } from './page.js';
import {
  aboutParameter, degreesRange, fromHex, groupParameters, idleParameters, intensityRange, readNumber, round,
  sliderRange, toCosine, toDegrees, toHex,
} from './values.js';

export function option(select, value, text) {
  const o = document.createElement('option');
  o.value = value;
  o.textContent = text;
  select.appendChild(o);
}

function number(v, step) {
  const field = document.createElement('input');
  field.type = 'number';
  field.step = step;
  field.value = v;
  return field;
}

// A slider with its number field; `show` and `hold` convert between what
// they show and what the server holds.
function slider(decl, v, [min, max], send, show = (x) => x, hold = (x) => x) {
  const range = document.createElement('input');
  range.type = 'range';
  range.min = min;
  range.max = max;
  range.step = (max - min) / 1000;
  range.value = show(v);
  const field = number(round(show(v)), 'any');
  range.addEventListener('pointerdown', () => {
    store.set({ stroke: `${decl.name} ${performance.now()}` });
  });
  range.addEventListener('input', () => {
    field.value = round(Number(range.value));
    send(hold(Number(field.value)));
  });
  field.addEventListener('change', () => {
    const typed = readNumber(field.value);
    if (typed.error) return showError(`${decl.name}: ${typed.error}`);
    send(hold(typed.value));
  });
  return [range, field];
}

function colour(decl, v, send) {
  const picker = document.createElement('input');
  picker.type = 'color';
  picker.value = toHex(v);
  picker.title = `r ${v[0]}, g ${v[1]}, b ${v[2]}`;
  picker.addEventListener('input', () => {
    send([...fromHex(picker.value).map(round), currentLight().params[decl.name][3]]);
  });
  // The alpha: for the light's colour, its intensity.
  const alpha = slider({ name: decl.name }, v[3], intensityRange(v[3]),
    (a) => send([...currentLight().params[decl.name].slice(0, 3), a]));
  alpha[0].title = alpha[1].title = 'alpha (the intensity for the light colour)';
  return [picker, document.createTextNode('α'), ...alpha];
}

function choice(entries, v, send, parse = Number) {
  const select = document.createElement('select');
  for (const [value, text] of entries) option(select, value, text);
  select.value = v;
  select.addEventListener('change', () => send(parse(select.value)));
  return [select];
}

function inputs(decl, v, light, send) {
  switch (decl.kind) {
    case 'color':
      return colour(decl, v, send);
    case 'scalar':
      // A cosine is worked in degrees, as the angle curve shows it.
      if (decl.unit === 'cosine') return slider(decl, v, degreesRange(decl), send, toDegrees, toCosine);
      return slider(decl, v, sliderRange(decl, v), send);
    case 'boolean': {
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.checked = v;
      box.addEventListener('change', () => send(box.checked));
      return [box];
    }
    case 'choice': {
      const entries = decl.choices.map(([code, text]) => [code, `${code}: ${text}`]);
      if (!decl.choices.some(([code]) => code === v)) entries.push([v, `${v}: ${decl.choices[0][1]}`]);
      return choice(entries, v, send);
    }
    case 'channel': {
      const entries = [[0, '0: texture coordinate'], ...light.channels.map((c) => [c, `channel ${c}`])];
      if (v !== 0 && !light.channels.includes(v)) entries.push([v, `${v} (not on the object)`]);
      return choice(entries, v, send);
    }
    case 'integer': {
      const field = number(v, 1);
      field.addEventListener('change', () => send(field.value === '' ? field.value : Number(field.value)));
      return [field];
    }
    case 'tag':
      return choice([['', '(none)'], ...store.get().scene.textures.map((t) => [t, t])], v, send, String);
    default:
      return [];
  }
}

function label(decl) {
  const name = document.createElement('label');
  name.className = 'name';
  name.textContent = decl.name;
  const unit = decl.unit && decl.unit !== 'cosine' ? decl.unit : decl.unit ? 'degrees' : '';
  name.title = `${decl.name} (${decl.type}${unit ? ', ' + unit : ''})` +
    (decl.description ? `: ${decl.description}` : '');
  return name;
}

function row(decl, light, original, change, idle) {
  const row = document.createElement('div');
  row.className = 'param';
  row.dataset.param = decl.name;
  const value = document.createElement('div');
  value.className = 'value';
  const v = light.params[decl.name];
  value.append(...inputs(decl, v, light, (newValue) => change(decl.name, newValue)));
  const reset = document.createElement('button');
  reset.type = 'button';
  reset.className = 'reset';
  reset.textContent = '↺';
  // The default, as the parameter table gives it; with Alt, the value the
  // scene file gave.
  const fallback = decl.default ?? original[decl.name];
  const same = (a) => JSON.stringify(v) === JSON.stringify(a);
  reset.title = `Back to the default (${JSON.stringify(fallback)}); Alt+click: to the scene file's value`;
  reset.disabled = same(fallback) && same(original[decl.name]);
  reset.addEventListener('click', async (e) => {
    change(decl.name, e.altKey ? original[decl.name] : fallback);
    await idle(); // the row has no field of its own that shows the new value
    buildControls(change, idle);
  });
  const about = document.createElement('div');
  about.className = 'about';
  about.textContent = aboutParameter(decl);
  row.append(label(decl), value, reset, about);
  return row;
}

// Rebuilds the controls for the light in view; `change(name, value)` sends,
// `idle()` resolves once every change sent has its answer. What acts in the
// light's mode comes first; what it leaves idle follows, dimmed, and is
// still there to set.
export function buildControls(change, idle) {
  const { scene, original, light: index } = store.get();
  const light = currentLight();
  const box = $('params');
  box.textContent = '';
  const unused = idleParameters(scene.declarations, light.params, scene.decay_laws);
  for (const group of groupParameters(scene.declarations, unused)) {
    const section = document.createElement('section');
    section.className = group.idle ? 'group idle' : 'group';
    const heading = document.createElement('h3');
    heading.textContent = group.title;
    section.appendChild(heading);
    for (const decl of group.declarations) {
      const r = row(decl, light, original[index], change, idle);
      if (group.idle) r.classList.add('idle');
      section.appendChild(r);
    }
    box.appendChild(section);
  }
}
