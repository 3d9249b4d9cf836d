// The npm package as users get it: `npm pack`, installed into an empty folder with no network,
// imported by Node.js and, from a static server, by the browser, where it renders.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdirSync, readdirSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { after, before, test } from "node:test";

import { launch } from "./browser.mjs";
import { WEB, temporaryFolder } from "./fixtures.mjs";
import { serve } from "./serve.mjs";

const npm = (args, cwd) => execFileSync("npm", args, { cwd, encoding: "utf8", stdio: ["ignore", "pipe", "inherit"] });

let folder;
let installed;
before(() => {
  folder = temporaryFolder();
  // --ignore-scripts: the test run has just built web/dist; prepack would build it again.
  const [packed] = JSON.parse(npm(["pack", "--json", "--ignore-scripts", "--pack-destination", folder.path], WEB));
  const app = join(folder.path, "app");
  mkdirSync(app);
  writeFileSync(join(app, "package.json"), JSON.stringify({ name: "app", private: true, type: "module" }));
  npm(["install", "--offline", "--no-audit", "--no-fund", join(folder.path, packed.filename)], app);
  installed = { app, files: packed.files.map((f) => f.path).sort() };
});
after(() => folder?.remove());

test("the tarball holds the module, the worklet, the engine, the tables and the types", () => {
  assert.deepEqual(installed.files, [
    "README.md",
    "dist/LICENSE",
    "dist/grindlet-engine.js",
    "dist/grindlet-processor.js",
    "dist/grindlet.d.ts",
    "dist/grindlet.js",
    "dist/grindlet.wasm",
    "dist/tables.js",
    "package.json",
  ]);
  // No runtime dependencies: the package alone.
  assert.deepEqual(readdirSync(join(installed.app, "node_modules")).filter((f) => !f.startsWith(".")), ["qz-grindlet"]);
});

test("Node.js imports it by name", () => {
  const out = execFileSync(
    "node",
    ["--input-type=module", "-e", 'import * as g from "qz-grindlet"; console.log(JSON.stringify([g.CONTROLS.map((c) => c.symbol), typeof g.createGrindletNode, typeof g.renderOffline]))'],
    { cwd: installed.app, encoding: "utf8" },
  );
  const [symbols, create, render] = JSON.parse(out);
  assert.equal(symbols[0], "bits");
  assert.equal(symbols[1], "rate");
  assert.equal(create, "function");
  assert.equal(render, "function");
});

test("a browser imports the installed package from a static server and renders with it", async () => {
  const server = await serve({ "/": join(installed.app, "node_modules", "qz-grindlet"), "/harness/": join(WEB, "tests") });
  const browser = await launch();
  try {
    const page = await browser.context.newPage();
    await page.goto(`${server.url}/harness/harness.html`);
    const peak = await page.evaluate(async () => {
      const { renderOffline } = await import("/dist/grindlet.js");
      const input = new Float32Array(4800).map((_, i) => Math.sin(i / 7));
      const [out] = await renderOffline([input], 48000, { bits: 2, rate: 3000 });
      return Math.max(...out.map(Math.abs));
    });
    assert.equal(peak, 1);
  } finally {
    await browser.close();
    await server.close();
  }
});
