// Automation through AudioParams: a node whose Rate and Bits ramp gives, bit for bit, what the
// Python package gives for the values each render quantum read, as one value per 128-frame block.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { readFileSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { test } from "node:test";

import { WEB, firstDifference, fromBase64, testSignal, toBase64 } from "./fixtures.mjs";
import { harnessPage, useBrowser } from "./session.mjs";

const PYTHON = process.env.GRINDLET_PYTHON ?? "/usr/bin/python3";
const PYTHON_PATH = process.env.GRINDLET_PYTHONPATH ?? join(WEB, "..", "build", "native", "python");

// The package's process() on planar float32 channels, with per-block Bits and Rate.
const PROCESS = `
import json, sys
import numpy as np
import qz_grindlet
folder = sys.argv[1]
job = json.load(open(folder + "/job.json"))
audio = np.fromfile(folder + "/in.f32", dtype=np.float32).reshape(job["channels"], -1)
per_block = {k: np.array(v, dtype=np.float64) for k, v in job["per_block"].items()}
out = qz_grindlet.process(audio, job["rate"], block=128, **per_block, **job["settings"])
out.astype(np.float32).tofile(folder + "/out.f32")
`;

const session = useBrowser();

test("Rate and Bits ramped through AudioParams give qz_grindlet.process with the values read", async () => {
  const rate = 48000;
  const input = testSignal(rate, 2, 1);
  const settings = { quantize: "inside", mode: "linear", drive: 3 };
  const page = await harnessPage(session);
  const got = await page.evaluate(
    async ({ input, rate, settings }) => {
      const { renderOffline } = await import("/dist/grindlet.js");
      const automate = (node) => {
        node.parameters.get("rate").setValueAtTime(12000, 0);
        node.parameters.get("rate").exponentialRampToValueAtTime(900, 0.8);
        node.parameters.get("bits").setValueAtTime(12, 0);
        node.parameters.get("bits").linearRampToValueAtTime(2.5, 1);
      };
      const { channels, controls } = await renderOffline(input.map(window.fromBase64), rate, settings, {
        automate,
        recordControls: true,
      });
      return { channels: channels.map(window.toBase64), rate: Array.from(controls.rate), bits: Array.from(controls.bits) };
    },
    { input: input.map(toBase64), rate, settings },
  );
  assert.equal(got.rate.length, Math.ceil(input[0].length / 128));
  assert.ok(got.rate[0] === 12000 && got.rate.at(-1) === 900, "the ramp ran");
  assert.ok(new Set(got.bits).size > 100, "Bits moved quantum by quantum");

  const planar = new Float32Array(input.length * input[0].length);
  input.forEach((channel, c) => planar.set(channel, c * channel.length));
  writeFileSync(join(session.folder.path, "in.f32"), planar);
  const job = { channels: input.length, rate, settings, per_block: { rate: got.rate, bits: got.bits } };
  writeFileSync(join(session.folder.path, "job.json"), JSON.stringify(job));
  execFileSync(PYTHON, ["-c", PROCESS, session.folder.path], {
    env: { ...process.env, PYTHONPATH: PYTHON_PATH },
    stdio: ["ignore", "inherit", "inherit"],
  });
  const expected = new Float32Array(readFileSync(join(session.folder.path, "out.f32")).buffer.slice(0));
  got.channels.forEach((text, c) => {
    const frames = input[0].length;
    const want = expected.subarray(c * frames, (c + 1) * frames);
    const samples = fromBase64(text);
    const at = firstDifference(samples, want);
    assert.equal(at, -1, `channel ${c} differs from frame ${at}: ${samples[at]} against ${want[at]}`);
  });
});
