// The page in headless Chromium: a file opened, a preset chosen, "Download WAV" equal to the
// render tool's output; and each way it can fail telling so on the page.
import assert from "node:assert/strict";
import { mkdirSync, readFileSync } from "node:fs";
import { join } from "node:path";
import { describe, test } from "node:test";
import { pathToFileURL } from "node:url";

import { PRESETS } from "../dist/tables.js";
import { encodeFloatWav, decodeWav } from "../page/wav.js";
import { WEB, firstDifference, renderTool, testSignal } from "./fixtures.mjs";
import { useBrowser } from "./session.mjs";

// The README's picture of the page.
const SCREENSHOT = process.env.GRINDLET_SCREENSHOT ?? join(WEB, "..", "build", "web", "page.png");

const session = useBrowser();

async function openPage(prepare = null) {
  const page = await session.browser.context.newPage();
  if (prepare !== null) await page.addInitScript(prepare);
  await page.goto(`${session.server.url}/index.html`);
  return page;
}

const message = (page) => page.locator("#message").textContent();

describe("the page", () => {
  test("turns a file into a downloadable WAV equal to the render tool's", async () => {
    const rate = 44100;
    const input = testSignal(rate, 2, 2);
    const preset = PRESETS.find((p) => p.symbol === "home-console");
    const expected = renderTool(session.folder.path, input, rate, preset.settings);
    const page = await openPage();
    await page.waitForSelector("body[data-ready]");
    await page.setInputFiles("#file", { name: "chirp.wav", mimeType: "audio/wav", buffer: Buffer.from(encodeFloatWav(input, rate)) });
    await page.waitForFunction(() => document.querySelector("#status").textContent.startsWith("chirp.wav: 2.00 s"));
    await page.waitForFunction(() => Number(document.body.dataset.views ?? 0) >= 1);
    await page.selectOption("#presets", preset.symbol);
    await page.waitForFunction(() => Number(document.body.dataset.views ?? 0) >= 2);
    mkdirSync(join(SCREENSHOT, ".."), { recursive: true });
    await page.setViewportSize({ width: 1180, height: 900 });
    await page.screenshot({ path: SCREENSHOT, fullPage: true });

    const [download] = await Promise.all([page.waitForEvent("download"), page.click("#download")]);
    assert.equal(download.suggestedFilename(), "chirp-grindlet.wav");
    const saved = join(session.folder.path, "downloaded.wav");
    await download.saveAs(saved);
    const got = decodeWav(readFileSync(saved));
    assert.equal(got.sampleRate, rate);
    assert.equal(got.channels.length, 2);
    got.channels.forEach((samples, c) => {
      const at = firstDifference(samples, expected.channels[c]);
      assert.equal(at, -1, `channel ${c} differs from frame ${at}: ${samples[at]} against ${expected.channels[c][at]}`);
    });
    await page.close();
  });

  // Every slider move renders the views again: a hundred and fifty of them in one page, and the
  // download after them still gives the render tool's bits (it once wrote silence from the
  // 124th render on).
  test("renders right after many moves of a slider", async () => {
    const rate = 22050;
    const input = testSignal(rate, 1, 1);
    const preset = PRESETS.find((p) => p.symbol === "walkie-talkie");
    const expected = renderTool(session.folder.path, input, rate, preset.settings);
    const page = await openPage();
    await page.waitForSelector("body[data-ready]");
    await page.setInputFiles("#file", { name: "many.wav", mimeType: "audio/wav", buffer: Buffer.from(encodeFloatWav(input, rate)) });
    await page.waitForFunction(() => Number(document.body.dataset.views ?? 0) >= 1);
    for (let move = 0; move < 150; ++move) {
      const views = await page.evaluate(() => Number(document.body.dataset.views));
      await page.locator("#control-bits").fill(String(100 + (move % 7) * 100));
      await page.waitForFunction((before) => Number(document.body.dataset.views) > before, views);
    }
    await page.selectOption("#presets", preset.symbol);
    const [download] = await Promise.all([page.waitForEvent("download"), page.click("#download")]);
    const saved = join(session.folder.path, "many.wav");
    await download.saveAs(saved);
    const got = decodeWav(readFileSync(saved));
    assert.equal(firstDifference(got.channels[0], expected.channels[0]), -1);
    assert.ok(got.channels[0].some((x) => x !== 0));
    await page.close();
  });

  // The browser decodes and plays from 3000 Hz up: a WAV file at 1000 Hz is read by the page,
  // shown and rendered at its own rate, and play says why it is not offered.
  test("opens a WAV file at a rate the browser does not play", async () => {
    const rate = 1000;
    const frames = 2000;
    const bytes = new Uint8Array(44 + 2 * frames);
    const view = new DataView(bytes.buffer);
    bytes.set(Buffer.from("RIFF"), 0);
    view.setUint32(4, 36 + 2 * frames, true);
    bytes.set(Buffer.from("WAVEfmt "), 8);
    [16, 1, 1, rate, 2 * rate, 2, 16].forEach((v, k) => (k < 1 || k === 3 || k === 4 ? view.setUint32 : view.setUint16).call(view, [16, 20, 22, 24, 28, 32, 34][k], v, true));
    bytes.set(Buffer.from("data"), 36);
    view.setUint32(40, 2 * frames, true);
    const samples = new Float32Array(frames);
    for (let i = 0; i < frames; ++i) {
      view.setInt16(44 + 2 * i, Math.round(20000 * Math.sin(i / 5)), true);
      samples[i] = view.getInt16(44 + 2 * i, true) / 32768;
    }
    const expected = renderTool(session.folder.path, [samples], rate, {});
    const page = await openPage();
    await page.waitForSelector("body[data-ready]");
    await page.setInputFiles("#file", { name: "low.wav", mimeType: "audio/wav", buffer: Buffer.from(bytes) });
    await page.waitForFunction(() => document.querySelector("#status").textContent.startsWith("low.wav: 2.00 s, 1 channel(s), 1000 Hz"));
    assert.match(await message(page), /plays files from 3000 Hz up: this one is shown and rendered at its own 1000 Hz/);
    assert.equal(await page.locator("#play").isDisabled(), true);
    const [download] = await Promise.all([page.waitForEvent("download"), page.click("#download")]);
    const saved = join(session.folder.path, "low-out.wav");
    await download.saveAs(saved);
    const got = decodeWav(readFileSync(saved));
    assert.equal(got.sampleRate, rate);
    assert.equal(firstDifference(got.channels[0], expected.channels[0]), -1);
    await page.close();
  });

  test("says when a file is not audio", async () => {
    const page = await openPage();
    await page.waitForSelector("body[data-ready]");
    await page.setInputFiles("#file", { name: "notes.wav", mimeType: "audio/wav", buffer: Buffer.from("these are not samples") });
    await page.waitForSelector("#message.error");
    assert.match(await message(page), /"notes\.wav" could not be decoded/);
    assert.equal(await page.locator("#download").isDisabled(), true);
    await page.close();
  });

  test("says when a file is too big to open, before reading it", async () => {
    const page = await openPage(() => {
      Object.defineProperty(File.prototype, "size", { get: () => 3 * 2 ** 30 });
    });
    await page.waitForSelector("body[data-ready]");
    await page.setInputFiles("#file", { name: "hours.wav", mimeType: "audio/wav", buffer: Buffer.from("RIFF") });
    await page.waitForSelector("#message.error");
    assert.match(await message(page), /"hours\.wav" is 3\.0 GiB: this page opens files up to 1 GiB/);
    await page.close();
  });

  test("says when the browser has no AudioWorklet", async () => {
    const page = await openPage(() => {
      delete window.AudioWorkletNode;
    });
    await page.waitForSelector("#message.error");
    assert.match(await message(page), /no AudioWorklet/);
    await page.close();
  });

  test("says when it is opened as a file rather than served", async () => {
    const page = await session.browser.context.newPage();
    await page.goto(pathToFileURL(join(WEB, "index.html")).href);
    await page.waitForSelector("#message.error");
    assert.match(await message(page), /must be served over http or https/);
    await page.close();
  });
});
