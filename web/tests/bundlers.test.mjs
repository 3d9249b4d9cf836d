// The package in an app built by a bundler: Vite (from the npm registry, in the lock file) with
// its default configuration bundles an app that imports "qz-grindlet"; served as built, and by
// Vite's dev server (which moves the package into a folder of its own), the app makes a node in
// an OfflineAudioContext and renders directly, both with the package's bits.
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { mkdirSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { after, before, test } from "node:test";

import { launch } from "./browser.mjs";
import { WEB, temporaryFolder } from "./fixtures.mjs";
import { serve } from "./serve.mjs";

const VITE = join(WEB, "node_modules", "vite", "bin", "vite.js");

const MAIN = `
import { createGrindletNode, renderOffline } from "qz-grindlet";

async function run() {
  const frames = 4800;
  const input = new Float32Array(frames).map((_, i) => 0.8 * Math.sin(i / 13));
  const settings = { bits: 5, rate: 6000, tone: 3000 };
  const [direct] = await renderOffline([input], 48000, settings);
  const context = new OfflineAudioContext({ numberOfChannels: 1, length: frames, sampleRate: 48000 });
  const buffer = context.createBuffer(1, frames, 48000);
  buffer.copyToChannel(input, 0);
  const source = new AudioBufferSourceNode(context, { buffer });
  const node = await createGrindletNode(context, { channelCount: 1, settings });
  source.connect(node).connect(context.destination);
  source.start();
  const live = (await context.startRendering()).getChannelData(0);
  const same = live.every((x, i) => Object.is(x, direct[i]));
  const loud = direct.some((x) => x !== 0);
  return { same, loud };
}
run().then((result) => (window.result = result), (error) => (window.result = { error: String(error) }));
`;

let folder;
let app;
before(() => {
  folder = temporaryFolder();
  const npm = (args, cwd) => execFileSync("npm", args, { cwd, encoding: "utf8", stdio: ["ignore", "pipe", "inherit"] });
  const [packed] = JSON.parse(npm(["pack", "--json", "--ignore-scripts", "--pack-destination", folder.path], WEB));
  app = join(folder.path, "app");
  mkdirSync(join(app, "src"), { recursive: true });
  writeFileSync(join(app, "package.json"), JSON.stringify({ name: "app", private: true, type: "module" }));
  npm(["install", "--offline", "--no-audit", "--no-fund", join(folder.path, packed.filename)], app);
  writeFileSync(join(app, "index.html"), '<!doctype html><meta charset="utf-8"><script type="module" src="/src/main.js"></script>\n');
  writeFileSync(join(app, "src", "main.js"), MAIN);
});
after(() => folder?.remove());

test("an app Vite built with its defaults renders through the worklet and directly", async () => {
  execFileSync(process.execPath, [VITE, "build", "--logLevel", "warn"], { cwd: app, stdio: ["ignore", "inherit", "inherit"] });
  const server = await serve({ "/": join(app, "dist") });
  const browser = await launch();
  try {
    const page = await browser.context.newPage();
    await page.goto(server.url);
    await page.waitForFunction(() => window.result !== undefined);
    assert.deepEqual(await page.evaluate(() => window.result), { same: true, loud: true });
  } finally {
    await browser.close();
    await server.close();
  }
});

test("the same app from Vite's dev server", async () => {
  // Its port from its own first line, once it listens: nothing waits on the clock.
  const server = spawn(process.execPath, [VITE, "--port", "0", "--host", "127.0.0.1", "--clearScreen", "false"], {
    cwd: app,
    stdio: ["ignore", "pipe", "inherit"],
  });
  const browser = await launch();
  try {
    const url = await new Promise((resolve, reject) => {
      let text = "";
      server.stdout.on("data", (chunk) => {
        text += chunk;
        const found = /http:\/\/127\.0\.0\.1:\d+\//.exec(text.replace(/\x1b\[[0-9;]*m/g, ""));
        if (found) resolve(found[0]);
      });
      server.once("exit", (code) => reject(new Error(`vite's dev server ended (${code}): ${text}`)));
    });
    const page = await browser.context.newPage();
    await page.goto(url);
    await page.waitForFunction(() => window.result !== undefined);
    assert.deepEqual(await page.evaluate(() => window.result), { same: true, loud: true });
  } finally {
    await browser.close();
    server.kill();
  }
});
