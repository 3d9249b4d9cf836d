// With Tone.js (its UMD build from the npm registry, in the lock file): a node made on Tone's
// context and on its raw context, Tone's nodes connected into it and out of it, and inside
// Tone.Offline, where the node gives the bits renderOffline gives for what Tone played into it.
import assert from "node:assert/strict";
import { join } from "node:path";
import { after, before, test } from "node:test";

import { launch } from "./browser.mjs";
import { PAGE_HELPERS, WEB } from "./fixtures.mjs";
import { serve } from "./serve.mjs";

let server;
let browser;
before(async () => {
  server = await serve({ "/": WEB, "/tone/": join(WEB, "node_modules", "tone", "build") });
  browser = await launch();
});
after(async () => {
  await browser?.close();
  await server?.close();
});

async function tonePage() {
  const page = await browser.context.newPage();
  await page.goto(`${server.url}/tests/harness.html`);
  await page.addScriptTag({ url: "/tone/Tone.js" });
  await page.evaluate(PAGE_HELPERS);
  return page;
}

// On Tone's context the node is Tone's kind, which Tone's nodes connect into; on its raw
// context it is the browser's own, which connects out to Tone's nodes.
test("a node on Tone's context and its raw one, with Tone's nodes into and out of it", async () => {
  const page = await tonePage();
  const result = await page.evaluate(async () => {
    const { createGrindletNode, GrindletNode } = await import("/dist/grindlet.js");
    const context = Tone.getContext();
    const onTone = await createGrindletNode(context, { settings: { bits: 4 } });
    const onRaw = await createGrindletNode(context.rawContext, { channelCount: 1 });
    const oscillator = new Tone.Oscillator(220).connect(onTone);
    const gain = new Tone.Gain(0.5);
    onTone.connect(gain);
    gain.toDestination();
    onRaw.connect(gain);
    onRaw.connect(Tone.getDestination());
    onTone.set({ law: "mu-law", rate: 4000 });
    const made = onTone instanceof GrindletNode && onRaw instanceof GrindletNode && onTone.choice("law") === "mu-law";
    oscillator.dispose();
    onTone.dispose();
    onRaw.dispose();
    return made;
  });
  assert.equal(result, true);
});

test("inside Tone.Offline the node gives renderOffline's bits for what Tone played", async () => {
  const page = await tonePage();
  const result = await page.evaluate(async () => {
    const { createGrindletNode, renderOffline } = await import("/dist/grindlet.js");
    const settings = { bits: 5, rate: 6000, tone: 4000 };
    const play = (through) =>
      Tone.Offline(async () => {
        const oscillator = new Tone.Oscillator(330, "sawtooth");
        if (through) {
          const node = await createGrindletNode(Tone.getContext(), { channelCount: 1, settings });
          oscillator.connect(node);
          node.connect(Tone.getDestination());
        } else {
          oscillator.toDestination();
        }
        oscillator.start(0);
      }, 0.2, 1, 48000);
    const played = (await play(false)).getChannelData(0);
    const crushed = (await play(true)).getChannelData(0);
    const [expected] = await renderOffline([Float32Array.from(played)], 48000, settings);
    return {
      same: crushed.every((x, i) => Object.is(x, expected[i])),
      loud: expected.some((x) => x !== 0),
    };
  });
  assert.deepEqual(result, { same: true, loud: true });
});
