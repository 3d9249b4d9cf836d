// QZ-Grindlet for Web Audio: the effect as an AudioWorkletNode, and an offline render through
// the same node. Every control is named by its symbol in CONTROLS; numbers are AudioParams,
// choices are set by name.
import { CONTROLS, PRESETS } from "./tables.js";

export { CONTROLS, PRESETS };

const PROCESSOR_NAME = "qz-grindlet";
const PROCESSOR_URL = new URL("./grindlet-processor.js", import.meta.url);
const WASM_URL = new URL("./grindlet.wasm", import.meta.url);
// A node's channels (its channelCount) go up to this.
export const MOST_CHANNELS = 32;
// Web Audio's render quantum: AudioParams are read once per this many frames.
export const QUANTUM_FRAMES = 128;

const INDEX = new Map(CONTROLS.map((control, index) => [control.symbol, index]));
const SYMBOLS = CONTROLS.map((control) => control.symbol).join(", ");

function controlOf(symbol) {
  const index = INDEX.get(symbol);
  if (index === undefined) throw new TypeError(`unknown control "${symbol}"; the controls are ${SYMBOLS}`);
  return { control: CONTROLS[index], index };
}

// A choice's index from its symbol, its name (any case) or its index.
function choiceIndex(control, value) {
  if (Number.isInteger(value) && value >= 0 && value < control.choices.length) return value;
  if (typeof value === "string") {
    const wanted = value.toLowerCase();
    const found = control.choices.findIndex(
      (choice) => choice.symbol === wanted || choice.name.toLowerCase() === wanted,
    );
    if (found >= 0) return found;
  }
  const names = control.choices.map((choice) => choice.symbol).join(", ");
  throw new RangeError(`${control.symbol} is one of ${names}; got ${JSON.stringify(value)}`);
}

function checkNumber(control, value) {
  const below = control.minimumExcluded ? value <= control.minimum : value < control.minimum;
  if (typeof value !== "number" || Number.isNaN(value) || below || value > control.maximum) {
    const from = control.minimumExcluded ? `above ${control.minimum}` : `from ${control.minimum}`;
    throw new RangeError(
      `${control.symbol} is a number ${from} to ${control.maximum} ${control.unit}; got ${JSON.stringify(value)}`.trimEnd(),
    );
  }
  return value;
}

// Settings keyed by symbol, checked: the numbers by symbol, the choices by engine index.
function parseSettings(settings) {
  if (settings === null || typeof settings !== "object") throw new TypeError("settings must be an object keyed by the controls' symbols");
  const numbers = {};
  const choices = {};
  for (const [symbol, value] of Object.entries(settings)) {
    const { control, index } = controlOf(symbol);
    if (control.choices.length > 0) choices[index] = choiceIndex(control, value);
    else numbers[symbol] = checkNumber(control, value);
  }
  return { numbers, choices };
}

let compiled = null;

// The engine's WebAssembly module, fetched and compiled once per page.
export function loadEngine() {
  if (compiled === null) {
    compiled = fetch(WASM_URL)
      .then((response) => {
        if (!response.ok) throw new Error(`grindlet.wasm: ${response.status} ${response.statusText}`);
        return response.arrayBuffer();
      })
      .then((bytes) => WebAssembly.compile(bytes));
    compiled.catch(() => {
      compiled = null; // a later call tries again
    });
  }
  return compiled;
}

const prepared = new WeakMap();

// The worklet's module added to a context, once.
async function prepare(context) {
  if (typeof AudioWorkletNode !== "function" || !context.audioWorklet) {
    throw new Error("this browser has no AudioWorklet (it needs a current browser, and the page served over http or https)");
  }
  if (!prepared.has(context)) {
    const ready = context.audioWorklet.addModule(PROCESSOR_URL);
    prepared.set(context, ready);
    ready.catch(() => prepared.delete(context));
  }
  const [module] = await Promise.all([loadEngine(), prepared.get(context)]);
  return module;
}

let GrindletNode = null;

// Made on first use: a browser without AudioWorkletNode can still import this module.
function nodeClass() {
  if (GrindletNode !== null) return GrindletNode;
  GrindletNode = class extends AudioWorkletNode {
    constructor(context, module, channels, parsed, bypass, recordQuanta) {
      super(context, PROCESSOR_NAME, {
        numberOfInputs: 1,
        numberOfOutputs: 1,
        outputChannelCount: [channels],
        channelCount: channels,
        channelCountMode: "explicit",
        channelInterpretation: "discrete",
        parameterData: parsed.numbers,
        processorOptions: { module, channels, choices: parsed.choices, bypass, recordQuanta },
      });
      this.bypassed = bypass;
      // The processor sends its record when it is full.
      this.record =
        recordQuanta > 0
          ? new Promise((resolve) => {
              this.port.onmessage = (event) => {
                if (event.data.type === "record") resolve(event.data.used);
              };
            })
          : null;
      this.choiceIndices = {};
      for (const control of CONTROLS) {
        if (control.choices.length > 0) this.choiceIndices[control.symbol] = control.default;
      }
      for (const [index, choice] of Object.entries(parsed.choices)) this.choiceIndices[CONTROLS[index].symbol] = choice;
    }

    // Sets controls by symbol: numbers at the context's current time (their AudioParams take
    // any automation too), choices from the next quantum on.
    set(settings) {
      const parsed = parseSettings(settings);
      for (const [symbol, value] of Object.entries(parsed.numbers)) {
        this.parameters.get(symbol).setValueAtTime(value, this.context.currentTime);
      }
      for (const [index, choice] of Object.entries(parsed.choices)) {
        this.choiceIndices[CONTROLS[index].symbol] = choice;
        this.port.postMessage({ type: "choice", index: Number(index), value: choice });
      }
    }

    // A choice's symbol as last set.
    choice(symbol) {
      const { control } = controlOf(symbol);
      if (control.choices.length === 0) throw new TypeError(`${symbol} is a number: read node.parameters.get("${symbol}")`);
      return control.choices[this.choiceIndices[symbol]].symbol;
    }

    // true: the dry signal (crossfaded, without a click).
    get bypass() {
      return this.bypassed;
    }

    set bypass(on) {
      this.bypassed = Boolean(on);
      this.port.postMessage({ type: "bypass", on: this.bypassed });
    }

    // As if just made, with the controls as they are.
    reset() {
      this.port.postMessage({ type: "reset" });
    }

    // The numbers each of the first recordQuanta quanta read, by symbol, once they have run.
    controlsUsed() {
      if (this.record === null) throw new Error("a node made with recordQuanta records the controls it used");
      return this.record;
    }

    // Frees the engine; the node outputs nothing from then on.
    dispose() {
      this.port.postMessage({ type: "dispose" });
      this.disconnect();
    }
  };
  return GrindletNode;
}

function checkChannelCount(channels) {
  if (!Number.isInteger(channels) || channels < 1 || channels > MOST_CHANNELS) {
    throw new RangeError(`channelCount is a whole number from 1 to ${MOST_CHANNELS}; got ${channels}`);
  }
}

// An AudioWorkletNode running the effect on `channelCount` channels (2 by default), its
// controls set from `settings` (keyed by symbol; the rest at their defaults).
export async function createGrindletNode(context, options = {}) {
  const { channelCount = 2, settings = {}, bypass = false, recordQuanta = 0 } = options;
  checkChannelCount(channelCount);
  const parsed = parseSettings(settings);
  const module = await prepare(context);
  const Node = nodeClass();
  return new Node(context, module, channelCount, parsed, Boolean(bypass), recordQuanta);
}

// The channels (Float32Arrays of one length) through the effect with these settings, rendered
// by an OfflineAudioContext at `sampleRate` through the same node as live. `automate(node,
// context)` may schedule the AudioParams before rendering; with `recordControls` the promise
// gives { channels, controls }, controls holding each quantum's numbers by symbol.
export async function renderOffline(channels, sampleRate, settings = {}, options = {}) {
  if (!Array.isArray(channels) || channels.length === 0 || !channels.every((c) => c instanceof Float32Array)) {
    throw new TypeError("channels must be an array of Float32Arrays, one per channel");
  }
  checkChannelCount(channels.length);
  const frames = channels[0].length;
  if (frames === 0 || channels.some((c) => c.length !== frames)) {
    throw new RangeError("the channels must be of one length, at least one frame");
  }
  const { automate = null, recordControls = false } = options;
  const context = new OfflineAudioContext({ numberOfChannels: channels.length, length: frames, sampleRate });
  const buffer = context.createBuffer(channels.length, frames, sampleRate);
  channels.forEach((samples, c) => buffer.copyToChannel(samples, c));
  const source = new AudioBufferSourceNode(context, { buffer });
  const quanta = recordControls ? Math.ceil(frames / QUANTUM_FRAMES) : 0;
  const node = await createGrindletNode(context, { channelCount: channels.length, settings, recordQuanta: quanta });
  context.destination.channelInterpretation = "discrete";
  source.connect(node).connect(context.destination);
  if (automate !== null) automate(node, context);
  source.start(0);
  const rendered = await context.startRendering();
  const out = channels.map((_, c) => rendered.getChannelData(c));
  if (!recordControls) {
    node.dispose();
    return out;
  }
  const controls = await node.controlsUsed();
  node.dispose();
  return { channels: out, controls };
}
