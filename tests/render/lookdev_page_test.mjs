// The lookdev page's logic that needs no browser, through its module's
// exports: node --test tests/render/lookdev_page_test.mjs
import assert from 'node:assert/strict';
import test from 'node:test';

import { createStore, watch } from '../../render/lookdev/page/store.js';
import {
  Latest, Newest, aboutParameter, changeRecord, display, fromHex, groupParameters, idleParameters,
  intensityRange, readNumber, sliderRange, timeImage, toCosine, toDegrees, toHex, withAllValues, withValues,
} from '../../render/lookdev/page/values.js';

// The decay laws as the server lists them.
const laws = [
  { code: 0, name: 'none', ranged: false, reads: [] },
  { code: 1, name: 'linear in range', ranged: true, reads: ['range_start', 'range_end'] },
  { code: 2, name: 'inverse power in range', ranged: true, reads: ['range_start', 'range_end'] },
  { code: 3, name: 'physical', ranged: false, reads: ['range_start'] },
];

test('a typed number is read, an emptied or foreign field is refused', () => {
  const cases = [
    ['0.5', { value: 0.5 }],
    [' 2 ', { value: 2 }],
    ['-1e-3', { value: -0.001 }],
    ['', { error: 'needs a number' }],
    ['   ', { error: 'needs a number' }],
    ['abc', { error: '"abc" is not a number' }],
    ['Infinity', { error: '"Infinity" is not a number' }],
  ];
  for (const [text, expected] of cases) assert.deepEqual(readNumber(text), expected, text);
});

test('a cutoff shown in degrees is held as its cosine', () => {
  const cases = [[1, 0], [0, 90], [-1, 180], [0.5, 60], [0.9, 25.841933], [2, 0], [-3, 180]];
  for (const [cosine, degrees] of cases) {
    assert.equal(toDegrees(cosine), degrees, `cosine ${cosine}`);
    if (Math.abs(cosine) <= 1) assert.ok(Math.abs(toCosine(degrees) - cosine) < 1e-6, `${degrees}°`);
  }
});

test('a slider spans the table range, the value, and -1 for a factor - 1', () => {
  const cases = [
    [{ range: [0, 20], unit: 'scene units' }, 5, [0, 20]],
    [{ range: [0, 20], unit: 'scene units' }, 35, [0, 35]],
    [{ range: [0, 4], unit: 'factor - 1' }, 0, [-1, 4]],
    [{ range: [0, 4], unit: 'factor - 1' }, -2, [-2, 4]],
    [{ unit: '' }, 3, [0, 6]],
    [{ unit: '' }, 0, [0, 1]],
  ];
  for (const [decl, value, expected] of cases) assert.deepEqual(sliderRange(decl, value), expected);
  assert.deepEqual(intensityRange(1.6), [0, 10]);
  assert.deepEqual(intensityRange(30), [0, 60]);
});

test('colours go to hex and back; display values stay in 0 to 255 and rise', () => {
  for (const c of [[0, 0, 0], [1, 1, 1], [1, 0.4, 0.2]]) {
    assert.ok(fromHex(toHex(c)).every((v, i) => Math.abs(v - c[i]) <= 0.5 / 255), String(c));
  }
  assert.equal(toHex([2, -1, 0.5]), '#ff0080');
  const xs = [-1, 0, 0.001, 0.1, 0.5, 0.8, 1, 4, 100, NaN];
  const shown = xs.map((x) => display(x, 0.8));
  assert.ok(shown.every((v) => v >= 0 && v <= 255));
  for (let i = 2; i < 9; ++i) assert.ok(shown[i] >= shown[i - 1], `at ${xs[i]}`);
  // The knee is the server's: below it the value is only sRGB-encoded.
  assert.equal(display(0.5, 0.8), 188);
  assert.equal(display(0.5, 0.4), 186);
  assert.equal(display(100, 0.8), 255);
});

test('while a change is on its way, only the latest value of each parameter follows', async () => {
  const sent = [];
  let release;
  const latest = new Latest(async (item) => {
    sent.push(item);
    if (sent.length === 1) await new Promise((done) => { release = done; });
  });
  latest.put('a', 1);
  for (let v = 2; v <= 50; ++v) latest.put('a', v);
  latest.put('b', 'x');
  latest.put('a', 51);
  release();
  await latest.idle();
  // The first went at once; of the rest, b's value, then a's latest (put after b).
  assert.deepEqual(sent, [1, 'x', 51]);
  assert.equal(latest.running, null);
});

test('a failed send does not stop the queue', async () => {
  const sent = [];
  const latest = new Latest(async (item) => {
    sent.push(item);
    if (item === 1) throw new Error('refused');
  });
  latest.put('a', 1);
  latest.put('b', 2);
  await latest.idle();
  assert.deepEqual(sent, [1, 2]);
});

test('what the light\'s mode leaves idle is found by role', () => {
  const d = (name, kind, ...roles) => ({ name, kind, roles });
  const declarations = [
    d('shadows', 'boolean', 'shadows'),
    // The laws as the server sends them: which work within a range is its to say.
    { ...d('decay', 'choice', 'decay'), choices: [[0, 'none'], [1, 'a'], [2, 'b'], [3, 'c'], [4, 'd']],
      ranged: [1, 2, 4] },
    d('decay_start', 'scalar', 'range_start'), d('decay_end', 'scalar', 'range_end'),
    d('burn', 'boolean', 'burn'), d('burn_multiplier', 'scalar'), d('burn_power', 'scalar'),
    d('hsv_adjust', 'boolean', 'hsv'), d('hue', 'scalar'), d('value', 'scalar'),
    d('texture_range', 'boolean'), d('use_vertex_color', 'boolean', 'vertex_data'),
    d('directional', 'boolean', 'front_only'), d('cutoff', 'scalar', 'cutoff'),
    d('max_level', 'integer', 'depth'), d('vc_color', 'boolean'), d('vc_color_channel', 'channel', 'channel'),
  ];
  const base = {
    shadows: true, decay: 1, burn: true, hsv_adjust: true, use_vertex_color: true, directional: true,
    vc_color: true,
  };
  const cases = [
    [{}, []],
    [{ decay: 0 }, ['decay_start', 'decay_end']],
    [{ decay: 2 }, []],
    [{ decay: 3 }, ['decay_end']],
    [{ decay: 7 }, ['decay_start', 'decay_end']], // an unknown code decays not at all
    [{ burn: false }, ['burn_multiplier', 'burn_power']],
    [{ hsv_adjust: false }, ['hue', 'value']],
    [{ directional: false, shadows: false }, ['cutoff', 'max_level']],
    [{ use_vertex_color: false }, ['vc_color_channel']],
    [{ vc_color: false }, ['vc_color_channel']],
  ];
  for (const [change, expected] of cases) {
    const idle = idleParameters(declarations, { ...base, ...change }, laws);
    assert.deepEqual([...idle].sort(), expected.sort(), JSON.stringify(change));
  }
});

test('passes announced faster than they are fetched: one fetch at a time, the newest last', async () => {
  // Each case: the serials announced while the first fetch is under way,
  // the serial the server has at each fetch, and the fetches expected.
  const cases = [
    { announced: [1], server: [1], fetches: 1 },
    { announced: [1, 2, 3, 4], server: [1, 4], fetches: 2 },
    { announced: [2, 1], server: [2], fetches: 1 },
    { announced: [3], server: [3, 3], fetches: 1 },
  ];
  for (const { announced, server, fetches } of cases) {
    let calls = 0;
    let running = 0;
    let most = 0;
    const newest = new Newest(async () => {
      most = Math.max(most, ++running);
      await new Promise((done) => setTimeout(done, 5));
      running -= 1;
      return server[Math.min(calls++, server.length - 1)];
    });
    await Promise.all(announced.map((serial) => newest.announce(serial)));
    assert.equal(calls, fetches, JSON.stringify(announced));
    assert.equal(most, 1, 'one fetch at a time');
    assert.equal(newest.have, Math.max(...announced));
  }
  // A failed fetch lets the next announcement try again.
  let fail = true;
  const newest = new Newest(async () => {
    if (fail) throw new Error('gone');
    return 7;
  });
  await assert.rejects(newest.announce(7), /gone/);
  fail = false;
  await newest.announce(7);
  assert.equal(newest.have, 7);
});

test('what acts in the mode comes first, the idle after it, each in the table\'s order', () => {
  const decls = ['a', 'b', 'c', 'd'].map((name) => ({ name }));
  const cases = [
    [[], [['In effect', ['a', 'b', 'c', 'd']]]],
    [['b', 'd'], [['In effect', ['a', 'c']], ['Idle in this mode', ['b', 'd']]]],
    [['a', 'b', 'c', 'd'], [['Idle in this mode', ['a', 'b', 'c', 'd']]]],
  ];
  for (const [idle, expected] of cases) {
    const groups = groupParameters(decls, new Set(idle));
    assert.deepEqual(groups.map((g) => [g.title, g.declarations.map((d) => d.name)]), expected);
    assert.ok(groups.every((g) => g.idle === (g.title !== 'In effect')));
  }
});

test('a parameter is described by its range, unit and description as the control shows them', () => {
  const cases = [
    [{ range: [0, 20], unit: 'scene units', description: 'where decay ends' }, '0 to 20 scene units · where decay ends'],
    [{ unit: 'cosine', description: 'the cone' }, '0 to 180 degrees · the cone'],
    [{ range: [-1, 1], unit: 'cosine' }, '0 to 180 degrees'],
    [{ range: [0, 1], unit: 'cosine' }, '0 to 90 degrees'],
    [{ range: [0, 4], unit: '' }, '0 to 4'],
    [{ range: [0, 4], unit: 'factor - 1', description: 'hue' }, '-1 to 4 factor - 1 · hue'],
    [{ description: 'on or off' }, 'on or off'],
    [{}, ''],
  ];
  for (const [decl, expected] of cases) assert.equal(aboutParameter(decl), expected);
});

test('the store replaces its state, and tells each listener what changed', () => {
  const store = createStore({ light: 0, muted: [], stroke: '' });
  const heard = [];
  const seen = [];
  const stop = store.subscribe((state, before, fields) => heard.push([before.light, state.light, fields]));
  watch(store, ['light', 'muted'], (state) => seen.push(state.light));
  const first = store.get();
  store.set({ light: 2 });
  store.update((s) => ({ light: s.light + 1, stroke: 'drag' }));
  store.set({ stroke: '' }); // not watched
  store.set({ light: 3 }); // the same value: watched, but no change
  stop();
  store.set({ muted: [true] });
  assert.deepEqual(heard, [[0, 2, ['light']], [2, 3, ['light', 'stroke']], [3, 3, ['stroke']], [3, 3, ['light']]]);
  assert.deepEqual(seen, [2, 3, 3]);
  assert.deepEqual(first, { light: 0, muted: [], stroke: '' }, 'an old state is left as it was');
  assert.throws(() => {
    'use strict';
    store.get().light = 9;
  }, TypeError);
});

test('a change is timed to the first image of its generation and to the full one', () => {
  const sent = changeRecord(5, 1000);
  assert.deepEqual(sent, { generation: 5, start: 1000, first: null, full: null });
  // Each case: the images in view in turn (generation, final, at), and the record after them.
  const cases = [
    [[[4, true, 1100]], { first: null, full: null }],
    [[[5, false, 1100]], { first: 100, full: null }],
    [[[5, false, 1100], [5, true, 1400]], { first: 100, full: 400 }],
    [[[6, true, 1300], [7, true, 1500]], { first: 300, full: 300 }],
  ];
  for (const [images, expected] of cases) {
    let now = sent;
    for (const [generation, final, at] of images) now = timeImage(now, generation, final, at);
    assert.deepEqual(now, { ...sent, ...expected }, JSON.stringify(images));
  }
  assert.equal(timeImage(null, 5, true, 1100), null, 'no change made: nothing to time');
  const done = timeImage(sent, 5, true, 1200);
  assert.equal(timeImage(done, 6, true, 1300), done, 'a timed change stays as it was');
  assert.deepEqual(sent.first, null, 'the record is not changed in place');
});

test('a light\'s values are merged into a new scene, the others kept as they are', () => {
  const scene = { file: 'a.json', lights: [{ name: 'a', params: { x: 1, y: 2 } }, { name: 'b', params: { x: 3 } }] };
  const merged = withValues(scene, 1, { x: 4, z: 5 });
  assert.deepEqual(merged.lights.map((l) => l.params), [{ x: 1, y: 2 }, { x: 4, z: 5 }]);
  assert.equal(merged.lights[0], scene.lights[0]);
  assert.deepEqual(scene.lights[1].params, { x: 3 });
  const all = withAllValues(scene, [{ x: 7 }, { x: 8 }]);
  assert.deepEqual(all.lights.map((l) => [l.name, l.params]), [['a', { x: 7 }], ['b', { x: 8 }]]);
  assert.equal(all.file, 'a.json');
});
