// The browser edition's speed: renderOffline of 60 s of stereo at 44.1 kHz against Tone.js's
// BitCrusher and a pass-through worklet, in one page of headless Chromium, best of alternating
// rounds. Needs the web preset built and web/node_modules (scripts/setup.sh).
// Usage: node bench/web_bench.mjs [ROUNDS]
import { join } from "node:path";

import { launch } from "../web/tests/browser.mjs";
import { WEB } from "../web/tests/fixtures.mjs";
import { serve } from "../web/tests/serve.mjs";

const rounds = Number(process.argv[2] ?? 5);
const server = await serve({
  "/": WEB,
  "/bench/": join(WEB, "..", "bench", "web"),
  "/tone/": join(WEB, "node_modules", "tone", "build"),
});
const browser = await launch();
try {
  const page = await browser.context.newPage();
  page.on("pageerror", (error) => console.error(error));
  await page.goto(`${server.url}/bench/bench.html`);
  await page.waitForSelector("body[data-ready]");
  const version = await page.evaluate(() => Tone.version);
  const best = await page.evaluate((options) => window.runBenchmark(options), { seconds: 60, sampleRate: 44100, rounds });
  const floor = best["pass-through worklet"];
  console.log(`60 s of stereo at 44.1 kHz rendered offline, best of ${rounds} rounds (Chromium ${browser.context.browser()?.version() ?? ""}, Tone.js ${version}):`);
  for (const [name, ms] of Object.entries(best)) {
    console.log(`  ${name.padEnd(60)} ${ms.toFixed(0).padStart(6)} ms  ${(ms / floor).toFixed(2)}x pass-through`);
  }
} finally {
  await browser.close();
  await server.close();
}
