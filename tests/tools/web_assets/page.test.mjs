// Which driver the page shows first (page.js): a configured one before
// the first reachable one, the one the address names, and never another
// once the operator picked one.
import assert from "node:assert/strict";
import test from "node:test";
import {evaluate, loadAsset} from "./load_asset.mjs";

const SCRIPTS = ["totals.js", "chart.js", "editor.js"];

const driver = (key, configured) => ({key, configured});
const STATE = {processes: [
  {name: "p1", reachable: false, drivers: [driver("d0", true)]},
  {name: "p2", reachable: true, drivers: [driver("d1", false), driver("d2", true), driver("d3", true)]},
  {name: "p3", reachable: true, drivers: [driver("d1", false)]},
]};
const UNCONFIGURED = {processes: [
  {name: "p2", reachable: true, drivers: [driver("d1", false), driver("d2", false)]},
]};

// The driver chosen once `state` is read, from the address `search`,
// after `before` was chosen (null: none yet).
function chosenAfter(state, {search = "", before = null, picked = false} = {}) {
  const page = loadAsset("page.js", {before: SCRIPTS, globals: {location: {search}}});
  evaluate(page, "chosen = " + JSON.stringify(before) + "; picked = " + picked +
                     "; state = " + JSON.stringify(state) + "; chooseFirst();");
  const chosen = evaluate(page, "chosen");
  return chosen && chosen.process + "/" + chosen.driver;
}

test("the first driver shown", () => {
  const configuredD3 = {process: "p2", driver: "d3"}, unconfiguredD1 = {process: "p2", driver: "d1"};
  const cases = [
    ["configured before the first reachable", STATE, {}, "p2/d2"],
    ["nothing configured: the first reachable", UNCONFIGURED, {}, "p2/d1"],
    ["the address names the driver", STATE, {search: "?driver=d1"}, "p2/d1"],
    ["and the process", STATE, {search: "?process=p3&driver=d1"}, "p3/d1"],
    ["an unreachable process is not shown", STATE, {search: "?driver=d0"}, null],
    ["a configured one stays", STATE, {before: configuredD3}, "p2/d3"],
    ["an unconfigured one yields", STATE, {before: unconfiguredD1}, "p2/d2"],
    ["an unconfigured one stays while none is", UNCONFIGURED, {before: {process: "p2", driver: "d2"}}, "p2/d2"],
    ["the operator's pick stays", STATE, {before: unconfiguredD1, picked: true}, "p2/d1"],
  ];
  for (const [name, state, options, expected] of cases) {
    assert.equal(chosenAfter(state, options), expected, name);
  }
});
