// The audit page's texts (audit.js): percentages, estimates with open
// bounds, directions and times in the site's zone.
import assert from "node:assert/strict";
import test from "node:test";
import {evaluate, loadAsset} from "./load_asset.mjs";

test("percent, signed and estimate", () => {
  const page = loadAsset("audit.js");
  const cases = [
    ["percent(0.0123)", "1.2 %"],
    ["signed(0.0123)", "+1.2 %"],
    ["signed(-0.05)", "-5.0 %"],
    ["signed(0)", "0.0 %"],
    ["estimate(null, percent)", "-"],
    ["estimate({value: null}, percent)", "-"],
    ["estimate({value: 0.1, low: 0.05, high: 0.2}, percent)", "10.0 % (5.0 % to 20.0 %)"],
    ["estimate({value: 0.1, low: null, high: 0.2}, percent)", "10.0 % (open to 20.0 %)"],
    ["estimate({value: -0.02, low: -0.1}, signed)", "-2.0 % (-10.0 % to open)"],
    ["estimate({value: 0, low: 0, high: 0}, signed)", "0.0 % (0.0 % to 0.0 %)"],
  ];
  for (const [expression, expected] of cases) assert.equal(evaluate(page, expression), expected, expression);
});

test("direction gives the line's name of it where there is one", () => {
  const page = loadAsset("audit.js");
  evaluate(page, 'names["door|FORWARD"] = "in"');
  const cases = [
    ['direction("door", "FORWARD")', "in (FORWARD)"],
    ['direction("door", "BACKWARD")', "BACKWARD"],
    ['direction("gate", "FORWARD")', "FORWARD"],
    ['direction("door", "FORWARD", "enter")', "enter (FORWARD)"],
  ];
  for (const [expression, expected] of cases) assert.equal(evaluate(page, expression), expected, expression);
});

test("times are read and written in the site's zone", () => {
  const page = loadAsset("audit.js");
  const cases = [
    ["Europe/Berlin", "2027-03-28T01:00:05Z", "2027-03-28T03:00:05"],
    ["Europe/Berlin", "2027-10-31T01:30:00Z", "2027-10-31T02:30:00"],
    ["America/New_York", "2027-01-01T04:59:59Z", "2026-12-31T23:59:59"],
    ["UTC", "2027-01-01T00:00:00Z", "2027-01-01T00:00:00"],
  ];
  for (const [zone, iso, expected] of cases) {
    evaluate(page, "useZone(" + JSON.stringify(zone) + ")");
    const seconds = Date.parse(iso) / 1000;
    assert.equal(evaluate(page, "local(" + seconds * 1000 + ")"), expected, zone);
    assert.equal(evaluate(page, "clock(" + seconds + ")"), expected.replace("T", " "), zone);
  }
});
