// What the browser test reaches of the page, set up in one place: a copy of
// any field of the state (the state itself stays the page's), and a change
// made as a control makes it, timed afresh.
export function exposeForTests(store, change) {
  window.oskaLookdev = Object.freeze({
    get: (field) => structuredClone(store.get()[field]),
    change(name, value) {
      store.set({ sent: null });
      return change(name, value);
    },
  });
}
