// What the lookdev page computes without the browser: display values, the
// conversions between what a control shows and what the server holds, and
// the queue that lets the latest value of a parameter win.

// The renderer's tone map and sRGB, 0 to 255, for swatches.
export function display(x) {
  if (!(x > 0)) return 0;
  let v = x <= 0.8 ? x : 0.8 + 0.2 * (1 - Math.exp(-(x - 0.8) / 0.2));
  v = v <= 0.0031308 ? 12.92 * v : 1.055 * Math.pow(v, 1 / 2.4) - 0.055;
  return Math.round(Math.min(1, v) * 255);
}

export const cssColor = (rgb) => `rgb(${display(rgb[0])}, ${display(rgb[1])}, ${display(rgb[2])})`;
const hex2 = (v) => Math.round(Math.min(1, Math.max(0, v)) * 255).toString(16).padStart(2, '0');
export const toHex = (c) => '#' + hex2(c[0]) + hex2(c[1]) + hex2(c[2]);
export const fromHex = (h) => [1, 3, 5].map((i) => parseInt(h.substr(i, 2), 16) / 255);
export const round = (v) => Math.round(v * 1e6) / 1e6;

// A number typed in a field: {value} or {error}. An emptied field is not 0.
export function readNumber(text) {
  const t = String(text).trim();
  if (t === '') return { error: 'needs a number' };
  const value = Number(t);
  return Number.isFinite(value) ? { value } : { error: `"${t}" is not a number` };
}

// A cutoff is held as the cosine of an angle and shown in degrees.
export const toDegrees = (cosine) => round((Math.acos(Math.min(1, Math.max(-1, cosine))) * 180) / Math.PI);
export const toCosine = (degrees) => round(Math.cos((degrees * Math.PI) / 180));

// The span of a scalar's slider: the parameter table's range, widened to
// take the value; a "factor - 1" scales by 1 + value, so it may go down to
// -1 (off) as well as up.
export function sliderRange(decl, value) {
  const [low, high] = decl.range || [0, Math.max(1, Math.abs(value) * 2)];
  const min = decl.unit === 'factor - 1' ? Math.min(low, -1) : low;
  return [Math.min(min, value), Math.max(high, value)];
}

// The intensity (a light colour's alpha) on a slider from 0 to 10, or to
// twice the value when that is more.
export const intensityRange = (alpha) => [0, Math.max(10, 2 * alpha)];

// Sends one item at a time with `send` (async). While one is on its way,
// items put under the same key replace each other: only the latest is sent.
export class Latest {
  constructor(send) {
    this.send = send;
    this.waiting = new Map();
    this.running = null;
  }

  put(key, item) {
    this.waiting.delete(key); // the latest goes to the back of the queue
    this.waiting.set(key, item);
    if (!this.running) this.running = this.drain();
    return this.running;
  }

  async drain() {
    try {
      while (this.waiting.size > 0) {
        const [key, item] = this.waiting.entries().next().value;
        this.waiting.delete(key);
        try {
          await this.send(item);
        } catch (e) {
          // the sender reports its own failures; the queue goes on
        }
      }
    } finally {
      this.running = null;
    }
  }

  // Resolves once everything put so far is sent.
  async idle() {
    while (this.running) await this.running;
  }
}

// The parameters the light's mode leaves idle (they change nothing as the
// other values stand), by the roles the parameter table gives them.
export function idleParameters(declarations, params) {
  const has = (d, role) => Boolean(d.roles && d.roles.includes(role));
  const switchOn = (role) => {
    const d = declarations.find((x) => has(x, role));
    return d ? Boolean(params[d.name]) : true;
  };
  const decay = declarations.find((d) => has(d, 'decay'));
  const law = decay ? params[decay.name] : 0;
  // The server says which laws work within a range; its first choice is no decay.
  const ranged = (decay && decay.ranged) || [];
  const decays = Boolean(decay && decay.choices &&
    decay.choices.some(([code], k) => k > 0 && code === law));
  const idle = new Set();
  declarations.forEach((d, k) => {
    const before = declarations[k - 1];
    if ((has(d, 'range_end') && !ranged.includes(law)) ||
        (has(d, 'range_start') && !decays) ||
        (has(d, 'cutoff') && !switchOn('front_only')) ||
        (has(d, 'depth') && !switchOn('shadows')) ||
        // A vertex channel needs the vertex data on and its own switch, the row before it.
        (has(d, 'channel') && (!switchOn('vertex_data') ||
          (before && before.kind === 'boolean' && !params[before.name])))) {
      idle.add(d.name);
    }
  });
  // The scalars that follow the HSV and burn switches act only when it is on.
  for (const role of ['hsv', 'burn']) {
    const at = declarations.findIndex((d) => has(d, role));
    if (at < 0 || switchOn(role)) continue;
    for (let k = at + 1; k < declarations.length && declarations[k].kind === 'scalar'; ++k) {
      idle.add(declarations[k].name);
    }
  }
  return idle;
}

// Follows the newest of something announced faster than it can be fetched
// (the passes of a render): one fetch at a time, and one more after it when
// a newer one was announced meanwhile, never a queue of stale ones.
// `fetch()` gives the serial of what it got.
export class Newest {
  constructor(fetch) {
    this.fetch = fetch;
    this.wanted = 0;
    this.have = 0;
    this.running = null;
  }

  announce(serial) {
    this.wanted = Math.max(this.wanted, serial);
    if (!this.running) this.running = this.run();
    return this.running;
  }

  async run() {
    try {
      while (this.wanted > this.have) {
        const got = await this.fetch();
        if (!(got > this.have)) break; // nothing newer: the next announcement asks again
        this.have = got;
      }
    } finally {
      this.running = null;
    }
  }
}

// The parameters in two groups, each in the table's order: those that act in
// the light's current mode, then those it leaves idle.
export function groupParameters(declarations, idle) {
  const live = declarations.filter((d) => !idle.has(d.name));
  const rest = declarations.filter((d) => idle.has(d.name));
  return [
    { title: 'In effect', idle: false, declarations: live },
    { title: 'Idle in this mode', idle: true, declarations: rest },
  ].filter((g) => g.declarations.length > 0);
}

// What the table says of a parameter beside its name: its range and unit
// as the control shows them, and its description.
export function aboutParameter(decl) {
  const unit = decl.unit === 'cosine' ? 'degrees' : decl.unit || '';
  const range = decl.unit === 'cosine' ? [0, 180] : decl.range && sliderRange(decl, decl.range[0]);
  const span = range ? `${range[0]} to ${range[1]}` : '';
  return [[span, unit].filter(Boolean).join(' '), decl.description || ''].filter(Boolean).join(' · ');
}
