// The charts' arithmetic (chart.js): series, counts per bucket, the axis
// and the ticks.
import assert from "node:assert/strict";
import test from "node:test";
import {loadAsset} from "./load_asset.mjs";

const plain = (value) => JSON.parse(JSON.stringify(value));

function chartWithNames() {
  const kestu = loadAsset("chart.js", {before: ["totals.js"]}).kestu;
  const state = {processes: [{name: "p", drivers: [{key: "d0", zoneCounts: [
      {zoneName: "door", forwardName: "in", backwardName: ""}]}]}]};
  for (const f of kestu.onState) f(state);
  return kestu.chart;
}

test("tickText reads the bucket's local start", () => {
  const chart = chartWithNames();
  const cases = [
    ["hour", "2027-03-28T03:00:00+02:00", "03:00"],
    ["hour", "2027-10-31T02:00:00+01:00", "02:00"],
    ["day", "2027-03-08T00:00:00+01:00", "8/3"],
    ["day", "2027-12-31T00:00:00-05:00", "31/12"],
  ];
  for (const [bucket, startLocal, expected] of cases) {
    assert.equal(chart.tickText({bucket}, {startLocal}), expected, startLocal);
  }
});

test("axisValues names nought, the middle and the top", () => {
  const chart = chartWithNames();
  const cases = [[0, [0]], [1, [0, 1, 1]], [2, [0, 1, 2]], [7, [0, 4, 7]]];
  for (const [most, expected] of cases) assert.deepEqual(plain(chart.axisValues(most)), expected);
});

test("tally adds up rows per series and bucket", () => {
  const chart = chartWithNames();
  const row = (zone, direction, tag, epoch, count) =>
      ({process: "p", driver: "d0", zone, direction, tag, epoch, count});
  const answer = {
    buckets: [{epoch: 3600}, {epoch: 7200}],
    rows: [
      row("door", "FORWARD", "ZONE_EXIT", 3600, 2),
      row("door", "FORWARD", "ZONE_CROSSING", 3600, 3),  // same series, same bucket
      row("door", "BACKWARD", "ZONE_EXIT", 7200, 1),
      row("", "", "LOITERING", 7200, 4),
      row("gate", "FORWARD", "ZONE_EXIT", 0, 9),        // before the buckets
    ],
  };
  const {series, counts, most} = chart.tally(answer);
  assert.deepEqual(plain(series), ["LOITERING ", "door BACKWARD", "door in", "gate FORWARD"]);
  assert.deepEqual(Object.fromEntries(counts),
                   {"door in|0": 5, "door BACKWARD|1": 1, "LOITERING |1": 4});
  assert.equal(most, 5);
});

test("tally of no rows draws nothing", () => {
  const {series, counts, most} = chartWithNames().tally({buckets: [{epoch: 0}]});
  assert.equal(series.length, 0);
  assert.equal(counts.size, 0);
  assert.equal(most, 0);
});
