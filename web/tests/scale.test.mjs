// The browser edition at scale, in one page: a thousand offline renders, each with the first
// one's bits; a thousand nodes made and disposed on one context, the last one still right; a
// mono source into a stereo node on both channels, and every channel count and mode a node may
// be given; and a disposed node refusing every call.
import assert from "node:assert/strict";
import { test } from "node:test";

import { harnessPage, useBrowser } from "./session.mjs";

const session = useBrowser();

test("a thousand renderOffline calls in one page give the first one's bits", async () => {
  const page = await harnessPage(session);
  const result = await page.evaluate(async () => {
    const { renderOffline } = await import("/dist/grindlet.js");
    const input = [0, 1].map((c) => new Float32Array(4800).map((_, i) => 0.8 * Math.sin((i * (c + 1)) / 9)));
    const settings = [{ bits: 4 }, { bits: 8, law: "a-law", tone: 2000, antialias: 80 }, { rate: 1000, mode: "linear" }];
    const first = [];
    for (const s of settings) first.push(await renderOffline(input, 48000, s));
    let differing = 0;
    let silent = 0;
    for (let n = 0; n < 1000; ++n) {
      const out = await renderOffline(input, 48000, settings[n % 3]);
      const want = first[n % 3];
      if (out.some((samples, c) => samples.some((x, i) => !Object.is(x, want[c][i])))) ++differing;
      if (out.every((samples) => samples.every((x) => x === 0))) ++silent;
    }
    return { differing, silent };
  });
  assert.deepEqual(result, { differing: 0, silent: 0 });
});

test("a thousand nodes made and disposed on one context, and the last is still right", async () => {
  const page = await harnessPage(session);
  const result = await page.evaluate(async () => {
    const { createGrindletNode } = await import("/dist/grindlet.js");
    const context = new AudioContext({ sampleRate: 48000 });
    let failed = 0;
    for (let n = 0; n < 1000; ++n) {
      try {
        const node = await createGrindletNode(context, { channelCount: 1 + (n % 2), settings: { bits: 2 + (n % 8) } });
        node.dispose();
      } catch {
        ++failed;
      }
    }
    // 0.3 at 2 bits (Round), unreduced: exactly 0.5 on every frame.
    const node = await createGrindletNode(context, { channelCount: 1, settings: { bits: 2, rate: 48000 } });
    const source = new ConstantSourceNode(context, { offset: 0.3 });
    const analyser = new AnalyserNode(context, { fftSize: 2048 });
    source.connect(node).connect(analyser);
    source.start();
    await context.resume();
    const frames = new Float32Array(analyser.fftSize);
    let looks = 0;
    do {
      await new Promise((resolve) => setTimeout(resolve, 20));
      analyser.getFloatTimeDomainData(frames);
    } while (frames.some((x) => x !== 0.5) && ++looks < 500);
    await context.close();
    return { failed, right: frames.every((x) => x === 0.5) };
  });
  assert.deepEqual(result, { failed: 0, right: true });
});

test("a mono source reaches both channels of a stereo node, and every channel count and mode works", async () => {
  const page = await harnessPage(session);
  const result = await page.evaluate(async () => {
    const { createGrindletNode, renderOffline } = await import("/dist/grindlet.js");
    const frames = 4096;
    const mono = new Float32Array(frames).map((_, i) => 0.7 * Math.sin(i / 11));
    const settings = { bits: 6, rate: 8000 };
    const [expected] = await renderOffline([mono], 48000, settings);
    // A one-channel source into a two-channel node, the node set up as each case says.
    const through = async (adjust) => {
      const context = new OfflineAudioContext({ numberOfChannels: 2, length: frames, sampleRate: 48000 });
      const buffer = context.createBuffer(1, frames, 48000);
      buffer.copyToChannel(mono, 0);
      const source = new AudioBufferSourceNode(context, { buffer });
      const node = await createGrindletNode(context, { channelCount: 2, settings });
      adjust(node);
      context.destination.channelInterpretation = "discrete";
      source.connect(node).connect(context.destination);
      source.start();
      const rendered = await context.startRendering();
      node.dispose();
      return [0, 1].map((c) => rendered.getChannelData(c));
    };
    const same = (channels) => channels.every((samples) => samples.every((x, i) => Object.is(x, expected[i])));
    return {
      defaults: same(await through(() => {})),
      mono: same(await through((node) => (node.channelCount = 1))),
      max: same(await through((node) => (node.channelCountMode = "max"))),
      clampedMax: same(await through((node) => (node.channelCountMode = "clamped-max"))),
      discrete: (await through((node) => (node.channelInterpretation = "discrete")))[1].every((x) => x === 0),
    };
  });
  // "discrete": Web Audio leaves the second channel empty, and so does the node.
  assert.deepEqual(result, { defaults: true, mono: true, max: true, clampedMax: true, discrete: true });
});

test("a disposed node refuses every call but dispose, naming it", async () => {
  const page = await harnessPage(session);
  const messages = await page.evaluate(async () => {
    const { createGrindletNode, GrindletNode } = await import("/dist/grindlet.js");
    const context = new OfflineAudioContext({ numberOfChannels: 2, length: 128, sampleRate: 48000 });
    const node = await createGrindletNode(context);
    const isNode = node instanceof GrindletNode && node instanceof AudioWorkletNode;
    node.dispose();
    node.dispose();
    const errors = [];
    for (const call of [() => node.set({ bits: 4 }), () => (node.bypass = true), () => node.reset(), () => node.connect(context.destination)]) {
      try {
        call();
        errors.push("none");
      } catch (error) {
        errors.push(error.message);
      }
    }
    return { isNode, errors };
  });
  assert.equal(messages.isNode, true);
  assert.deepEqual(messages.errors, [
    "set: the node was disposed",
    "bypass: the node was disposed",
    "reset: the node was disposed",
    "connect: the node was disposed",
  ]);
});
