// Mistakes the types catch: each marked line must fail tsc --strict, or tsc reports the
// directive before it as unused and the test fails.
import { createGrindletNode, renderOffline, type Settings } from "../../dist/grindlet.js";

export async function mistakes(context: AudioContext, input: Float32Array[]) {
  // @ts-expect-error a misspelt control
  const misspelt: Settings = { bitz: 6 };
  // @ts-expect-error a string for a number
  const text: Settings = { bits: "6" };
  // @ts-expect-error an unknown choice
  const unknown: Settings = { law: "u-law" };
  // @ts-expect-error a choice index past the list
  const past: Settings = { mode: 2 };
  const node = await createGrindletNode(context);
  // @ts-expect-error a number has no choice
  node.choice("bits");
  // @ts-expect-error an unknown option
  await renderOffline(input, 48000, {}, { recordcontrols: true });
  // @ts-expect-error channels are Float32Arrays
  await renderOffline([[0, 1]], 48000);
  return { misspelt, text, unknown, past };
}
