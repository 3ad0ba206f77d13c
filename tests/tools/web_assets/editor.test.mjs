// The zone editor's geometry (editor.js): a line's band as the zone reader
// builds it, the band's height from the pointer, and hits in an area.
import assert from "node:assert/strict";
import test from "node:test";
import {loadAsset} from "./load_asset.mjs";

const plain = (value) => JSON.parse(JSON.stringify(value));
const geometry = () => loadAsset("editor.js", {before: ["totals.js", "chart.js"]}).kestu.geometry;
const p = (x, y) => ({x, y});

test("band puts the first line on the side of the normal", () => {
  const cases = [
    [{a: p(0, 100), b: p(200, 100), height: 20},
     {c: p(100, 100), n: p(0, 1), corners: [p(0, 110), p(0, 90), p(200, 90), p(200, 110)]}],
    [{a: p(50, 0), b: p(50, 100), height: 10},
     {c: p(50, 50), n: p(-1, 0), corners: [p(45, 0), p(55, 0), p(55, 100), p(45, 100)]}],
    [{a: p(200, 100), b: p(0, 100), height: 20},  // drawn the other way: the sides swap
     {c: p(100, 100), n: p(0, -1), corners: [p(200, 90), p(200, 110), p(0, 110), p(0, 90)]}],
    [{a: p(10, 10), b: p(10, 10), height: 4},  // a point: no NaN
     {c: p(10, 10), n: p(0, 0), corners: [p(10, 10), p(10, 10), p(10, 10), p(10, 10)]}],
  ];
  const g = geometry();
  for (const [line, expected] of cases) {
    assert.deepEqual(plain(g.band(line)), expected, JSON.stringify(line));
  }
});

test("bandHeight is twice the pointer's distance from the line, at least 2", () => {
  const line = {a: p(0, 100), b: p(200, 100)};
  const cases = [[p(50, 130), 60], [p(50, 70), 60], [p(500, 110), 20], [p(50, 100), 2], [p(50, 100.4), 2]];
  const g = geometry();
  for (const [pointer, expected] of cases) {
    assert.equal(g.bandHeight(line, pointer), expected, JSON.stringify(pointer));
  }
});

test("inside tells the points of an area, a concave one too", () => {
  const square = [p(0, 0), p(10, 0), p(10, 10), p(0, 10)];
  const ell = [p(0, 0), p(10, 0), p(10, 4), p(4, 4), p(4, 10), p(0, 10)];
  const cases = [
    [square, p(5, 5), true], [square, p(15, 5), false], [square, p(-1, 5), false],
    [square, p(5, 11), false],
    [ell, p(2, 8), true], [ell, p(8, 2), true], [ell, p(7, 7), false],  // the notch
  ];
  const g = geometry();
  for (const [polygon, point, expected] of cases) {
    assert.equal(g.inside(point, polygon), expected, JSON.stringify([polygon.length, point]));
  }
});
