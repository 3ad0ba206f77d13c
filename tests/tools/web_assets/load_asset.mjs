// Runs one of kestu-web's scripts (tools/web/assets) in a context of its
// own with just enough of a browser for it to load: elements that accept
// whatever is set on them or called, requests that never answer and timers
// that never fire. What a script hands to window.kestu, and what it
// declares at the top level, can then be called by a test.
import {readFileSync} from "node:fs";
import vm from "node:vm";

const assets = new URL("../../../tools/web/assets/", import.meta.url);

// An element: any property or call yields another, reads as "" or 0 and
// holds nothing when iterated.
function stub() {
  const own = {style: {}, dataset: {}, value: "", textContent: ""};
  return new Proxy(function () {}, {
    get(target, key) {
      if (key === Symbol.toPrimitive) return (hint) => (hint === "number" ? 0 : "");
      if (key === Symbol.iterator) return function* () {};
      if (key === "then" || typeof key === "symbol") return undefined;
      if (!(key in own)) own[key] = stub();
      return own[key];
    },
    set(target, key, value) { own[key] = value; return true; },
    apply() { return stub(); },
  });
}

// `name` loaded after `before` (names of other assets, as the page loads
// them); `globals` adds to or replaces what the context holds (the
// query string as `location`, `kestuSiteZone`, ...).
export function loadAsset(name, {before = [], globals = {}} = {}) {
  const context = {
    Intl, Date, Math, JSON, Number, String, Map, Set, Promise, Object, Array,
    URLSearchParams, console,
    location: {search: ""},
    document: stub(),
    fetch: () => new Promise(() => {}),
    setTimeout: () => 0, clearTimeout: () => {}, setInterval: () => 0,
    EventSource: function () { return stub(); },
    addEventListener: () => {},
    ...globals,
  };
  context.window = context;
  vm.createContext(context);
  for (const file of [...before, name]) {
    vm.runInContext(readFileSync(new URL(file, assets), "utf8"), context, {filename: file});
  }
  return context;
}

// The value of `expression` in the context, as seen by the page's own
// top-level code (its `let` and `const` included).
export function evaluate(context, expression) {
  return vm.runInContext(expression, context);
}
