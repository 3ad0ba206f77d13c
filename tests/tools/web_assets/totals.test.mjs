// The site's clock and the totals' texts (totals.js): times in the site's
// time zone whatever node's own, across daylight saving changes.
import assert from "node:assert/strict";
import test from "node:test";
import {loadAsset} from "./load_asset.mjs";

const at = (iso) => Date.parse(iso);
const siteIn = (timeZone) => loadAsset("totals.js", {globals: {kestuSiteZone: {timeZone}}}).kestu;

test("dateTime reads the site's zone", () => {
  const cases = [
    ["Europe/Berlin", "2027-03-28T00:59:59Z", "2027-03-28 01:59:59"],  // last second of winter time
    ["Europe/Berlin", "2027-03-28T01:00:05Z", "2027-03-28 03:00:05"],  // 02:xx does not exist
    ["Europe/Berlin", "2027-10-31T00:30:00Z", "2027-10-31 02:30:00"],  // 02:30 summer time
    ["Europe/Berlin", "2027-10-31T01:30:00Z", "2027-10-31 02:30:00"],  // and again in winter time
    ["America/New_York", "2027-01-01T04:59:59Z", "2026-12-31 23:59:59"],
    ["Asia/Kolkata", "2027-01-01T00:00:00Z", "2027-01-01 05:30:00"],
    ["UTC", "2027-01-01T00:00:00Z", "2027-01-01 00:00:00"],  // midnight is 00, not 24
  ];
  for (const [zone, iso, expected] of cases) {
    assert.equal(siteIn(zone).dateTime(at(iso)), expected, zone + " at " + iso);
  }
});

test("a zone the browser does not know, or none, is UTC", () => {
  for (const globals of [{kestuSiteZone: {timeZone: "Nowhere/Atlantis"}}, {}]) {
    const kestu = loadAsset("totals.js", {globals}).kestu;
    assert.equal(kestu.siteZone, "UTC");
    assert.equal(kestu.dateTime(at("2027-03-28T01:00:05Z")), "2027-03-28 01:00:05");
  }
});

test("clock gives the time alone for the site's today", () => {
  const kestu = siteIn("Pacific/Kiritimati");  // UTC+14: seldom node's own day
  const now = new Date();
  assert.match(kestu.clock(now), /^\d\d:\d\d:\d\d$/);
  const before = new Date(now.getTime() - 2 * 86400000);
  assert.equal(kestu.clock(before), kestu.dateTime(before.getTime()));
  assert.match(kestu.clock(before), /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);
});

test("directionName follows the names the state gives", () => {
  const kestu = siteIn("UTC");
  assert.equal(kestu.directionName("p", "d0", "door", "FORWARD"), "FORWARD");
  const state = (forwardName, backwardName) => ({processes: [{name: "p", drivers: [
      {key: "d0", zoneCounts: [{zoneName: "door", forwardName, backwardName}]}]}]});
  for (const f of kestu.onState) f(state("in", ""));
  const cases = [
    ["p", "d0", "door", "FORWARD", "in"],
    ["p", "d0", "door", "BACKWARD", "BACKWARD"],  // no name given
    ["p", "d1", "door", "FORWARD", "FORWARD"],    // another driver's line
    ["p", "d0", "gate", "FORWARD", "FORWARD"],
    ["p", "d0", "door", "", ""],
  ];
  for (const [process, driver, zone, direction, expected] of cases) {
    assert.equal(kestu.directionName(process, driver, zone, direction), expected,
                 [process, driver, zone, direction].join("|"));
  }
  for (const f of kestu.onState) f(state("", "out"));  // renamed
  assert.equal(kestu.directionName("p", "d0", "door", "FORWARD"), "FORWARD");
  assert.equal(kestu.directionName("p", "d0", "door", "BACKWARD"), "out");
});

test("countedSince says since when a line counts", () => {
  const kestu = siteIn("Europe/Berlin");
  const start = at("2027-03-28T01:00:05Z") / 1000, first = at("2027-03-20T09:15:00Z") / 1000;
  const cases = [
    [{}, "since the history began"],
    [{countedSince: start}, "since 2027-03-28 03:00"],
    [{countedSince: start, firstSeenFromHistory: true}, "since 2027-03-28 03:00, the oldest exit kept"],
    [{countedSince: start, pruned: true}, "since 2027-03-28 03:00; older exits are no longer kept"],
    [{countedSince: start, pruned: true, firstSeen: first},
     "since 2027-03-28 03:00; older exits are no longer kept (line first seen 2027-03-20 10:15)"],
  ];
  for (const [totals, expected] of cases) assert.equal(kestu.countedSince(totals), expected);
});
