// How the package is meant to be used: tsc --strict takes all of it.
import {
  CONTROLS,
  GrindletNode,
  PRESETS,
  createGrindletNode,
  renderOffline,
  type Settings,
} from "../../dist/grindlet.js";

export async function uses(context: AudioContext, tone: { rawContext: unknown }, input: Float32Array[]) {
  const settings: Settings = { bits: 6, rate: 4000, quantize: "round", mode: "Linear", law: 1, seed: 7 };
  const node: GrindletNode = await createGrindletNode(context, { channelCount: 2, settings, bypass: false });
  node.set({ drive: 3, dither: "tpdf" });
  node.bypass = true;
  const law: string = node.choice("law");
  node.parameters.get("rate")?.linearRampToValueAtTime(1500, context.currentTime + 1);
  await createGrindletNode(tone);
  const channels: Float32Array[] = await renderOffline(input, 48000, settings);
  const recorded = await renderOffline(input, 48000, {}, { recordControls: true });
  const rates: Float32Array = recorded.controls.rate;
  const record: boolean = Math.random() > 0.5;
  const either = await renderOffline(input, 48000, undefined, { recordControls: record });
  const isNode: boolean = node instanceof GrindletNode;
  node.dispose();
  return { law, channels, rates, either, isNode, first: CONTROLS[0].symbol, preset: PRESETS[0].settings.bits };
}
