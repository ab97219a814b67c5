// A small store for the page's state: `get()` gives it, `set(fields)` and
// `update(make)` replace some of its fields, and `subscribe(listener)` hears
// of every change with the state after it, the state before it and the
// names of the fields set. The state is never changed in place, so a
// listener can tell what changed, and a reader cannot change it by mistake.
export function createStore(initial) {
  let state = Object.freeze({ ...initial });
  const listeners = new Set();
  const set = (fields) => {
    const before = state;
    state = Object.freeze({ ...state, ...fields });
    for (const listener of [...listeners]) listener(state, before, Object.keys(fields));
  };
  return {
    get: () => state,
    set,
    update: (make) => set(make(state)),
    // Gives the function that ends the subscription.
    subscribe(listener) {
      listeners.add(listener);
      return () => listeners.delete(listener);
    },
  };
}

// Calls `listener(state)` whenever one of `fields` is set to another value.
export function watch(store, fields, listener) {
  return store.subscribe((state, before, set) => {
    if (set.some((f) => fields.includes(f) && state[f] !== before[f])) listener(state);
  });
}
