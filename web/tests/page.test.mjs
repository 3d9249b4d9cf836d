// The page in headless Chromium: a file opened, a preset chosen, "Download WAV" equal to the
// render tool's output; and each way it can fail telling so on the page.
import assert from "node:assert/strict";
import { mkdirSync, readFileSync } from "node:fs";
import { join } from "node:path";
import { describe, test } from "node:test";
import { pathToFileURL } from "node:url";

import { PRESETS } from "../dist/tables.js";
import { encodeFloatWav, decodeFloatWav } from "../page/wav.js";
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
    const got = decodeFloatWav(readFileSync(saved));
    assert.equal(got.sampleRate, rate);
    assert.equal(got.channels.length, 2);
    got.channels.forEach((samples, c) => {
      const at = firstDifference(samples, expected.channels[c]);
      assert.equal(at, -1, `channel ${c} differs from frame ${at}: ${samples[at]} against ${expected.channels[c][at]}`);
    });
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
