// The engine in Node.js, without Web Audio: renderOffline gives the render tool's bits in render
// quanta, over and over in one instance; what needs Web Audio says so; and every mistake in
// settings and options is an error that names the control or the call.
import assert from "node:assert/strict";
import { test } from "node:test";

import { CONTROLS, GrindletNode, createGrindletNode, renderOffline } from "../dist/grindlet.js";
import { firstDifference, renderTool, renderToolExists, temporaryFolder, testSignal } from "./fixtures.mjs";

test("renderOffline in Node.js gives the render tool's bits", { skip: !renderToolExists() && "no render tool built" }, async () => {
  const folder = temporaryFolder();
  try {
    const cases = [
      [44100, 2, { bits: 6, rate: 4000, quantize: "floor", drive: 6, mix: 70 }],
      [48000, 1, { bits: 8, rate: 8000, law: "mu-law", antialias: 100, tone: 3400, dither: "tpdf", seed: 9 }],
      [96000, 3, { bits: 12, rate: 11025, mode: "linear", lfo_depth: 1, jitter: 20, lfo_shape: "random" }],
    ];
    for (const [rate, channels, settings] of cases) {
      const input = testSignal(rate, channels, 0.5);
      const got = await renderOffline(input, rate, settings);
      const expected = renderTool(folder.path, input, rate, settings);
      got.forEach((samples, c) =>
        assert.equal(firstDifference(samples, expected.channels[c]), -1, `${JSON.stringify(settings)}, channel ${c}`),
      );
    }
  } finally {
    folder.remove();
  }
});

test("a thousand renders in one process give the first one's bits", async () => {
  const input = testSignal(48000, 2, 0.05);
  const settings = [{ bits: 4 }, { bits: 8, law: "a-law", tone: 2000 }, { rate: 1000, mode: "linear" }];
  const first = await Promise.all(settings.map((s) => renderOffline(input, 48000, s)));
  for (let n = 0; n < 1000; ++n) {
    const out = await renderOffline(input, 48000, settings[n % 3]);
    out.forEach((samples, c) => assert.equal(firstDifference(samples, first[n % 3][c]), -1, `render ${n}`));
  }
});

test("what needs Web Audio says so", async () => {
  await assert.rejects(createGrindletNode({}), /needs Web Audio's AudioWorklet/);
  await assert.rejects(renderOffline([new Float32Array(10)], 48000, {}, { automate: () => {} }), /automate needs Web Audio/);
  assert.equal({} instanceof GrindletNode, false);
});

test("every mistake names the control or the option", async () => {
  const one = [new Float32Array(8)];
  const cases = [
    [{ bits: Number.NaN }, /bits is a number from 0 to 32 bits; got NaN/],
    [{ rate: Number.POSITIVE_INFINITY }, /rate is a number above 0 Hz and at most 1 MHz; got Infinity/],
    [{ bits: "6" }, /bits is a number from 0 to 32 bits; got "6"/],
    [{ drive: 3n }, /drive is a number from -24 to 24 dB; got 3n/],
    [{ bitz: 6 }, /unknown control "bitz"; the controls are bits, rate/],
    [{ law: "u-law" }, /law is one of linear, mu-law, a-law \(or its index\); got "u-law"/],
    [{ law: 7 }, /law is one of linear, mu-law, a-law \(or its index\); got 7/],
    [{ seed: 1.5 }, /seed is a whole number from 0 to 16777215; got 1.5/],
    [new Map([["bits", 6]]), /settings must be a plain object keyed by the controls' symbols; got a Map/],
    [[6], /settings must be a plain object keyed by the controls' symbols; got an array/],
  ];
  for (const [settings, message] of cases) await assert.rejects(renderOffline(one, 48000, settings), message);
  await assert.rejects(renderOffline(one, 0, {}), /sampleRate is a number of hertz from 1 to 768000; got 0/);
  await assert.rejects(renderOffline(one, Number.NaN, {}), /sampleRate is a number of hertz from 1 to 768000; got NaN/);
  await assert.rejects(renderOffline(one, 48000, {}, { recordcontrols: true }), /unknown option "recordcontrols"/);
  await assert.rejects(renderOffline(one, 48000, {}, { recordControls: 1 }), /recordControls is true or false; got 1/);
  await assert.rejects(renderOffline([[0, 1]], 48000), /channels must be an array of Float32Arrays/);
  // A choice by symbol, name (any case) or index; a whole seed; undefined is left at its default.
  const a = await renderOffline(one, 48000, { law: "Mu-law", seed: 3, tone: undefined });
  const b = await renderOffline(one, 48000, { law: 1, seed: 3 });
  assert.equal(firstDifference(a[0], b[0]), -1);
  assert.equal(CONTROLS.find((c) => c.symbol === "seed").integer, true);
});
