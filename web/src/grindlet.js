// QZ-Grindlet for Web Audio (and Node.js): the effect as an AudioWorkletNode, and renders of
// whole signals. Every control is named by its symbol in CONTROLS; numbers are AudioParams,
// choices are set by name. Offline renders run the engine itself, a render quantum at a time
// as a node does, in one WebAssembly instance for the page (or the Node.js process), so any
// number of them costs the same each and needs no Web Audio.
import { ENGINE, PROCESSOR } from "./grindlet-engine.js";
import { CONTROLS, PRESETS, PROCESSOR_NAME } from "./tables.js";

export { CONTROLS, PRESETS };

const PROCESSOR_URL = new URL("./grindlet-processor.js", import.meta.url);
// A node's channels (its channelCount) go up to this.
export const MOST_CHANNELS = 32;
// Web Audio's render quantum: AudioParams are read once per this many frames.
export const QUANTUM_FRAMES = 128;
// The sample rates a render takes: any a file may have, up to Web Audio's highest (a node runs
// at its context's, from 3000 Hz).
const LOWEST_RATE = 1;
const HIGHEST_RATE = 768000;

const INDEX = new Map(CONTROLS.map((control, index) => [control.symbol, index]));
const SYMBOLS = CONTROLS.map((control) => control.symbol).join(", ");

// A value as a message shows it: NaN, Infinity and BigInts as themselves, a string quoted.
function shown(value) {
  if (typeof value === "string") return JSON.stringify(value);
  if (typeof value === "bigint") return `${value}n`;
  if (typeof value === "number" || value === null || value === undefined) return String(value);
  if (Array.isArray(value)) return "an array";
  return `a ${Object.prototype.toString.call(value).slice(8, -1)}`;
}

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
  throw new RangeError(`${control.symbol} is one of ${names} (or its index); got ${shown(value)}`);
}

function checkNumber(control, value) {
  const range = control.range;  // the table's own words: "from 0 to 32 bits"
  if (typeof value !== "number") throw new TypeError(`${control.symbol} is a number ${range}; got ${shown(value)}`);
  const below = control.minimumExcluded ? value <= control.minimum : value < control.minimum;
  if (Number.isNaN(value) || below || value > control.maximum) {
    throw new RangeError(`${control.symbol} is a number ${range}; got ${shown(value)}`);
  }
  if (control.integer && !Number.isInteger(value)) {
    throw new RangeError(`${control.symbol} is a whole number ${range}; got ${shown(value)}`);
  }
  return value;
}

function isPlainObject(value) {
  if (value === null || typeof value !== "object") return false;
  const prototype = Object.getPrototypeOf(value);
  return prototype === Object.prototype || prototype === null;
}

// Settings keyed by symbol, checked: the numbers by symbol, the choices by engine index.
function parseSettings(settings) {
  if (!isPlainObject(settings)) {
    throw new TypeError(`settings must be a plain object keyed by the controls' symbols; got ${shown(settings)}`);
  }
  const numbers = {};
  const choices = {};
  for (const [symbol, value] of Object.entries(settings)) {
    if (value === undefined) continue;
    const { control, index } = controlOf(symbol);
    if (control.choices.length > 0) choices[index] = choiceIndex(control, value);
    else numbers[symbol] = checkNumber(control, value);
  }
  return { numbers, choices };
}

function checkChannelCount(channels) {
  if (!Number.isInteger(channels) || channels < 1 || channels > MOST_CHANNELS) {
    throw new RangeError(`channelCount is a whole number from 1 to ${MOST_CHANNELS}; got ${shown(channels)}`);
  }
}

function checkSampleRate(sampleRate) {
  if (typeof sampleRate !== "number" || !(sampleRate >= LOWEST_RATE && sampleRate <= HIGHEST_RATE)) {
    throw new RangeError(`sampleRate is a number of hertz from ${LOWEST_RATE} to ${HIGHEST_RATE}; got ${shown(sampleRate)}`);
  }
}

function checkOptions(options, known) {
  if (!isPlainObject(options)) throw new TypeError(`options must be a plain object; got ${shown(options)}`);
  for (const key of Object.keys(options)) {
    if (!known.includes(key)) throw new TypeError(`unknown option "${key}"; the options are ${known.join(", ")}`);
  }
}

let compiled = null;

// The engine's WebAssembly module, compiled once per page (or process) from the copy inside
// this package's modules: nothing to fetch, wherever a bundler or a server put the files.
export function loadEngine() {
  if (compiled === null) {
    const text = atob(ENGINE);
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; ++i) bytes[i] = text.charCodeAt(i);
    compiled = WebAssembly.compile(bytes);
    compiled.catch(() => {
      compiled = null; // a later call tries again
    });
  }
  return compiled;
}

let ownInstance = null;

// The page's (or process's) one instance of the engine: every offline render's engine lives in
// its memory, and what a render frees the next one uses.
async function ownEngine() {
  const module = await loadEngine();
  if (ownInstance === null) ownInstance = new WebAssembly.Instance(module, {}).exports;
  return ownInstance;
}

// Tone.js and standardized-audio-context wrap the browser's contexts and nodes. A Tone.js
// context (one with createAudioWorkletNode) makes its own kind of node, which Tone's nodes
// connect to; any other context is the browser's own, or what a wrapper holds of it.
function contextKind(context) {
  if (context !== null && typeof context === "object" && typeof context.createAudioWorkletNode === "function" &&
      "rawContext" in context) {
    return { tone: context, worklet: context.rawContext };
  }
  let found = context;
  if (found !== null && typeof found === "object" && "rawContext" in found) found = found.rawContext;
  if (found !== null && typeof found === "object" && "_nativeContext" in found) found = found._nativeContext;
  const Native = globalThis.BaseAudioContext;
  if (typeof Native !== "function" || !(found instanceof Native)) {
    throw new TypeError("context must be an AudioContext or OfflineAudioContext (a Tone.js context will do)");
  }
  return { tone: null, worklet: found };
}

// What a connection reaches: Tone's nodes through their inputs, a wrapped node as the browser's
// own where the node connecting is the browser's (a wrapped node connects to wrapped ones).
function destinationOf(destination, native) {
  let found = destination;
  for (let depth = 0; depth < 16 && found !== null && typeof found === "object"; ++depth) {
    if (found instanceof globalThis.AudioNode || found instanceof globalThis.AudioParam) return found;
    if ("_nativeAudioNode" in found) return native ? found._nativeAudioNode : found;
    if (!("input" in found) || !found.input) break;
    found = found.input;
  }
  return found;
}

const prepared = new WeakMap();

// The worklet's module added to a context, once.
async function prepare(context) {
  if (typeof globalThis.AudioWorkletNode !== "function" || !context.audioWorklet) {
    throw new Error("this browser has no AudioWorklet (it needs a current browser, and the page served over http or https)");
  }
  if (!prepared.has(context)) {
    // The processor's own file where it can be reached (a bundler copies it beside this
    // module); else the same source from this module (a dev server that moved the package).
    const ready = context.audioWorklet.addModule(PROCESSOR_URL).catch(() => {
      const url = URL.createObjectURL(new Blob([PROCESSOR], { type: "text/javascript" }));
      return context.audioWorklet.addModule(url).finally(() => URL.revokeObjectURL(url));
    });
    prepared.set(context, ready);
    ready.catch(() => prepared.delete(context));
  }
  const [module] = await Promise.all([loadEngine(), prepared.get(context)]);
  return module;
}

// A node dropped without dispose() gives its engine back when it is collected.
const collected =
  typeof FinalizationRegistry === "function" ? new FinalizationRegistry((port) => port.postMessage({ type: "dispose" })) : null;

// Each node's own state: the browser's nodes and Tone's alike.
const STATES = new WeakMap();

function stateOf(node, what) {
  const state = STATES.get(node);
  if (state === undefined) throw new TypeError(`${what}: not a node of this effect`);
  if (state.disposed && what !== "dispose") throw new Error(`${what}: the node was disposed`);
  return state;
}

// Takes a node made on the processor: its state, and what its processor says.
function adopt(node, parsed, bypass, recordQuanta, own) {
  const choices = {};
  for (const control of CONTROLS) {
    if (control.choices.length > 0) choices[control.symbol] = control.default;
  }
  for (const [index, choice] of Object.entries(parsed.choices)) choices[CONTROLS[index].symbol] = choice;
  let ready;
  let record;
  const state = { bypassed: bypass, choices, disposed: false, record: null, own };
  state.ready = new Promise((resolve, reject) => {
    ready = { resolve, reject };
  });
  state.ready.catch(() => {});
  state.record = recordQuanta > 0 ? new Promise((resolve) => (record = resolve)) : null;
  STATES.set(node, state);
  // The handler does not hold the node: a dropped node can be collected.
  node.port.onmessage = (event) => {
    const message = event.data;
    if (message.type === "ready") ready.resolve();
    else if (message.type === "failed") ready.reject(new Error(`the effect could not start: ${message.reason}`));
    else if (message.type === "record") record(message.used);
  };
  node.onprocessorerror = () => ready.reject(new Error("the effect's processor failed in the audio thread"));
  collected?.register(node, node.port, node);
}

// The calls of a node, the browser's own or Tone's.
const API = {
  // Resolves once the effect runs in the audio thread.
  get ready() {
    return stateOf(this, "ready").ready;
  },

  // Sets controls by symbol: numbers at the context's current time (their AudioParams take
  // any automation too), choices from the next quantum on.
  set(settings) {
    const state = stateOf(this, "set");
    const parsed = parseSettings(settings);
    for (const [symbol, value] of Object.entries(parsed.numbers)) {
      this.parameters.get(symbol).setValueAtTime(value, this.context.currentTime);
    }
    for (const [index, choice] of Object.entries(parsed.choices)) {
      state.choices[CONTROLS[index].symbol] = choice;
      this.port.postMessage({ type: "choice", index: Number(index), value: choice });
    }
  },

  // A choice's symbol as last set.
  choice(symbol) {
    const state = stateOf(this, "choice");
    const { control } = controlOf(symbol);
    if (control.choices.length === 0) throw new TypeError(`${symbol} is a number: read node.parameters.get("${symbol}")`);
    return control.choices[state.choices[symbol]].symbol;
  },

  // true: the dry signal (crossfaded, without a click).
  get bypass() {
    return stateOf(this, "bypass").bypassed;
  },

  set bypass(on) {
    const state = stateOf(this, "bypass");
    state.bypassed = Boolean(on);
    this.port.postMessage({ type: "bypass", on: state.bypassed });
  },

  // As if just made, with the controls as they are.
  reset() {
    stateOf(this, "reset");
    this.port.postMessage({ type: "reset" });
  },

  // A Tone.js node (or a standardized-audio-context one) as well as the browser's own.
  connect(destination, ...rest) {
    const state = stateOf(this, "connect");
    return state.own.connect.call(this, destinationOf(destination, state.own.native), ...rest);
  },

  // The numbers each of the first recordQuanta quanta read, by symbol, once they have run.
  controlsUsed() {
    const state = stateOf(this, "controlsUsed");
    if (state.record === null) throw new Error("a node made with recordQuanta records the controls it used");
    return state.record;
  },

  // Frees the engine; the node outputs nothing from then on. Again: nothing.
  dispose() {
    const state = stateOf(this, "dispose");
    if (state.disposed) return;
    state.disposed = true;
    collected?.unregister(this);
    this.port.postMessage({ type: "dispose" });
    state.own.disconnect.call(this);
  },
};
const API_PROPERTIES = Object.getOwnPropertyDescriptors(API);
for (const property of Object.values(API_PROPERTIES)) property.enumerable = false;

// Where no AudioWorkletNode exists (Node.js), the class is still there for instanceof.
const NodeBase = typeof globalThis.AudioWorkletNode === "function" ? globalThis.AudioWorkletNode : class {};

// The effect as an AudioWorkletNode: made by createGrindletNode. A node made on a Tone.js
// context is Tone's kind of node with the same calls, and an instance of this class too.
export class GrindletNode extends NodeBase {
  static [Symbol.hasInstance](value) {
    return STATES.has(value);
  }

  constructor(context, options, parsed, bypass, recordQuanta) {
    super(context, PROCESSOR_NAME, options);
    const base = NodeBase.prototype;
    adopt(this, parsed, bypass, recordQuanta, { connect: base.connect, disconnect: base.disconnect, native: true });
  }
}
Object.defineProperties(GrindletNode.prototype, API_PROPERTIES);

// An AudioWorkletNode running the effect on `channelCount` channels (2 by default), its
// controls set from `settings` (keyed by symbol; the rest at their defaults). It resolves once
// the effect runs in the audio thread, and rejects saying why where it cannot.
export async function createGrindletNode(context, options = {}) {
  if (typeof globalThis.AudioWorkletNode !== "function") {
    throw new Error(
      "createGrindletNode needs Web Audio's AudioWorklet (a current browser, the page served over http or https); renderOffline runs anywhere",
    );
  }
  checkOptions(options, ["channelCount", "settings", "bypass", "recordQuanta"]);
  const { channelCount = 2, settings = {}, bypass = false, recordQuanta = 0 } = options;
  checkChannelCount(channelCount);
  if (!Number.isInteger(recordQuanta) || recordQuanta < 0) {
    throw new RangeError(`recordQuanta is a whole number of quanta; got ${shown(recordQuanta)}`);
  }
  const parsed = parseSettings(settings);
  const kind = contextKind(context);
  const module = await prepare(kind.worklet);
  const nodeOptions = {
    numberOfInputs: 1,
    numberOfOutputs: 1,
    outputChannelCount: [channelCount],
    channelCount,
    channelCountMode: "explicit",
    channelInterpretation: "speakers",
    parameterData: parsed.numbers,
    processorOptions: { module, channels: channelCount, choices: parsed.choices, bypass: Boolean(bypass), recordQuanta },
  };
  let node;
  if (kind.tone === null) {
    node = new GrindletNode(kind.worklet, nodeOptions, parsed, Boolean(bypass), recordQuanta);
  } else {
    node = kind.tone.createAudioWorkletNode(PROCESSOR_NAME, nodeOptions);
    const own = { connect: node.connect, disconnect: node.disconnect, native: false };
    adopt(node, parsed, Boolean(bypass), recordQuanta, own);
    Object.defineProperties(node, API_PROPERTIES);
  }
  await node.ready;
  return node;
}

// The channels through the engine in render quanta, as a node runs them with steady controls.
async function renderDirect(channels, sampleRate, parsed, quanta) {
  const wasm = await ownEngine();
  const frames = channels[0].length;
  const handle = wasm.grindlet_create(sampleRate, channels.length);
  if (handle === 0) throw new RangeError(`no room for an engine of ${channels.length} channels at ${sampleRate} Hz`);
  try {
    for (const [index, choice] of Object.entries(parsed.choices)) wasm.grindlet_set(handle, Number(index), choice);
    for (const [symbol, value] of Object.entries(parsed.numbers)) wasm.grindlet_set(handle, INDEX.get(symbol), value);
    const out = channels.map(() => new Float32Array(frames));
    const quantum = wasm.grindlet_buffer_frames();
    const views = channels.map((_, c) => new Float32Array(wasm.memory.buffer, wasm.grindlet_buffer(handle, c), quantum));
    for (let start = 0; start < frames; start += quantum) {
      const count = Math.min(quantum, frames - start);
      channels.forEach((samples, c) => views[c].set(samples.subarray(start, start + count)));
      wasm.grindlet_process(handle, count);
      views.forEach((view, c) => out[c].set(view.subarray(0, count), start));
    }
    if (quanta === 0) return out;
    const controls = {};
    for (const control of CONTROLS) {
      if (control.choices.length > 0) continue;
      controls[control.symbol] = new Float32Array(quanta).fill(parsed.numbers[control.symbol] ?? control.default);
    }
    return { channels: out, controls };
  } finally {
    wasm.grindlet_destroy(handle);
  }
}

// Through a node in an OfflineAudioContext: what AudioParam automation needs.
async function renderThroughWebAudio(channels, sampleRate, settings, automate, quanta) {
  if (typeof globalThis.OfflineAudioContext !== "function") {
    throw new Error("automate needs Web Audio (a browser): without it renderOffline takes steady settings only");
  }
  const frames = channels[0].length;
  const context = new OfflineAudioContext({ numberOfChannels: channels.length, length: frames, sampleRate });
  const buffer = context.createBuffer(channels.length, frames, sampleRate);
  channels.forEach((samples, c) => buffer.copyToChannel(samples, c));
  const source = new AudioBufferSourceNode(context, { buffer });
  const node = await createGrindletNode(context, { channelCount: channels.length, settings, recordQuanta: quanta });
  try {
    context.destination.channelInterpretation = "discrete";
    source.connect(node).connect(context.destination);
    automate(node, context);
    source.start(0);
    const failed = new Promise((_, reject) => {
      node.onprocessorerror = () => reject(new Error("the effect's processor failed in the audio thread"));
    });
    const rendered = await Promise.race([context.startRendering(), failed]);
    const out = channels.map((_, c) => rendered.getChannelData(c));
    if (quanta === 0) return out;
    return { channels: out, controls: await node.controlsUsed() };
  } finally {
    node.dispose();
  }
}

// The channels (Float32Arrays of one length) through the effect with these settings, at
// `sampleRate`, exactly as a node renders them. `automate(node, context)` may schedule the
// AudioParams of a node in an OfflineAudioContext (a browser's); with `recordControls` the
// promise gives { channels, controls }, controls holding each quantum's numbers by symbol.
export async function renderOffline(channels, sampleRate, settings = {}, options = {}) {
  if (!Array.isArray(channels) || channels.length === 0 || !channels.every((c) => c instanceof Float32Array)) {
    throw new TypeError("channels must be an array of Float32Arrays, one per channel");
  }
  checkChannelCount(channels.length);
  const frames = channels[0].length;
  if (frames === 0 || channels.some((c) => c.length !== frames)) {
    throw new RangeError("the channels must be of one length, at least one frame");
  }
  checkSampleRate(sampleRate);
  checkOptions(options, ["automate", "recordControls"]);
  if (options.automate !== undefined && sampleRate < 3000) {
    throw new RangeError(`automate renders through Web Audio, whose rates start at 3000 Hz; got ${sampleRate}`);
  }
  const { automate = null, recordControls = false } = options;
  if (automate !== null && typeof automate !== "function") throw new TypeError(`automate is a function; got ${shown(automate)}`);
  if (typeof recordControls !== "boolean") throw new TypeError(`recordControls is true or false; got ${shown(recordControls)}`);
  const parsed = parseSettings(settings);
  const quanta = recordControls ? Math.ceil(frames / QUANTUM_FRAMES) : 0;
  if (automate !== null) return renderThroughWebAudio(channels, sampleRate, settings, automate, quanta);
  return renderDirect(channels, sampleRate, parsed, quanta);
}
