// renderOffline in headless Chromium against the render tool, bit for bit: both sample rates,
// mono and stereo, every rounding rule, both modes, the levels and the seeded stages.
import assert from "node:assert/strict";
import { before, describe, test } from "node:test";

import { firstDifference, fromBase64, renderTool, testSignal, toBase64 } from "./fixtures.mjs";
import { harnessPage, useBrowser } from "./session.mjs";

const CASES = [
  { rate: 44100, channels: 1, settings: {} },
  { rate: 48000, channels: 2, settings: { bits: 6, rate: 4000, quantize: "floor", mode: "step" } },
  { rate: 44100, channels: 2, settings: { bits: 10.5, rate: 5535.95, quantize: "round", mode: "linear" } },
  { rate: 48000, channels: 1, settings: { bits: 3, rate: 11025, quantize: "inside", mode: "step" } },
  { rate: 44100, channels: 1, settings: { bits: 1, rate: 22050, quantize: "inside", mode: "linear", drive: 24 } },
  { rate: 44100, channels: 2, settings: { bits: 8, rate: 8000, mode: "linear", drive: 9, mix: 35, gain: -6 } },
  { rate: 48000, channels: 2, settings: { bits: 24, rate: 96000 } },
  { rate: 48000, channels: 1, settings: { bits: 0 } },
  {
    rate: 48000,
    channels: 2,
    settings: {
      bits: 8, rate: 8000, antialias: 100, tone: 3000, law: "mu-law", lfo_rate: 3, lfo_depth: 1,
      lfo_shape: "random", jitter: 20, dither: "tpdf", seed: 1234,
    },
  },
  {
    rate: 44100,
    channels: 1,
    settings: {
      bits: 5.5, rate: 6000, antialias: 40, law: "a-law", lfo_rate: 0.7, lfo_depth: 2.5,
      lfo_shape: "triangle", jitter: 55, dither: "tpdf", seed: 16777215, mix: 80,
    },
  },
  { rate: 44100, channels: 2, settings: { bits: 12, rate: 26040, lfo_depth: 0.5, tone: 9000, quantize: "floor" } },
];

describe("renderOffline against the render tool", () => {
  const session = useBrowser();
  let page;
  before(async () => {
    page = await harnessPage(session);
  });

  for (const { rate, channels, settings } of CASES) {
    test(`${rate} Hz, ${channels} channel(s): ${JSON.stringify(settings)}`, async () => {
      const input = testSignal(rate, channels, 1.5);
      const expected = renderTool(session.folder.path, input, rate, settings);
      const got = await page.evaluate(
        async ({ input, rate, settings }) => {
          const { renderOffline } = await import("/dist/grindlet.js");
          const out = await renderOffline(input.map(window.fromBase64), rate, settings);
          return out.map(window.toBase64);
        },
        { input: input.map(toBase64), rate, settings },
      );
      assert.equal(got.length, channels);
      got.forEach((text, c) => {
        const samples = fromBase64(text);
        const at = firstDifference(samples, expected.channels[c]);
        assert.equal(at, -1, `channel ${c} differs from frame ${at}: ${samples[at]} against ${expected.channels[c][at]}`);
      });
    });
  }
});
