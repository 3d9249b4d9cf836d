// The AudioWorkletProcessor that runs the engine (grindlet.wasm) on each render quantum. One
// WebAssembly instance serves every node of an AudioWorkletGlobalScope: each node's engine lives
// in its memory, and the memory a disposed node frees is used again. The numeric controls are
// k-rate AudioParams, read once per quantum at its first frame; the choices arrive as processor
// options and messages. Nothing in process() allocates. The build writes this file into dist/
// with the table of controls filled in, so that it imports nothing: a bundler can copy it as it
// stands, and any loader can evaluate it.

// The controls a number sets (AudioParams), with their index in the engine's table.
const NUMBERS = /* @NUMBERS@ */ [];
const PROCESSOR_NAME = /* @PROCESSOR_NAME@ */ "";

// This scope's one instance of the engine, made by the first node.
let engine = null;

function engineOf(module) {
  if (engine === null) engine = new WebAssembly.Instance(module, {}).exports;
  return engine;
}

class GrindletProcessor extends AudioWorkletProcessor {
  static get parameterDescriptors() {
    return NUMBERS.map((number) => ({
      name: number.symbol,
      defaultValue: number.default,
      minValue: number.minimum,
      maxValue: number.maximum,
      automationRate: "k-rate",
    }));
  }

  constructor(options) {
    super();
    this.alive = false;
    this.port.onmessage = (event) => this.receive(event.data);
    try {
      const { module, channels, choices, bypass, recordQuanta } = options.processorOptions;
      this.wasm = engineOf(module);
      this.channels = channels;
      this.handle = this.wasm.grindlet_create(sampleRate, channels);
      if (this.handle === 0) {
        throw new RangeError(`no room for an engine of ${channels} channels at ${sampleRate} Hz`);
      }
      this.frames = this.wasm.grindlet_buffer_frames();
      for (const [index, choice] of Object.entries(choices)) {
        this.wasm.grindlet_set(this.handle, Number(index), choice);
      }
      this.wasm.grindlet_set_enabled(this.handle, bypass ? 0 : 1);
      // What each number was last set to: a control is set again only when its value moved.
      this.sent = new Float64Array(NUMBERS.length).fill(Number.NaN);
      this.views = [];
      this.memory = null;
      // For tests and tools: each quantum's numbers as the engine read them.
      this.record = recordQuanta > 0 ? new Float32Array(recordQuanta * NUMBERS.length) : null;
      this.recorded = 0;
      this.alive = true;
      this.port.postMessage({ type: "ready" });
    } catch (error) {
      this.port.postMessage({ type: "failed", reason: error instanceof Error ? error.message : String(error) });
    }
  }

  receive(message) {
    if (!this.alive) return;
    switch (message.type) {
      case "choice":
        this.wasm.grindlet_set(this.handle, message.index, message.value);
        break;
      case "bypass":
        this.wasm.grindlet_set_enabled(this.handle, message.on ? 0 : 1);
        break;
      case "reset":
        this.wasm.grindlet_reset(this.handle);
        break;
      case "dispose":
        this.end();
        break;
      default:
        break;
    }
  }

  // The engine's memory goes back to the instance; process() returns false from now on.
  end() {
    if (!this.alive) return;
    this.alive = false;
    this.wasm.grindlet_destroy(this.handle);
    this.handle = 0;
    this.views.length = 0;
  }

  // Once, when the record is full: each quantum's numbers by symbol.
  sendRecord() {
    const used = {};
    NUMBERS.forEach((number, k) => {
      const values = new Float32Array(this.recorded);
      for (let q = 0; q < this.recorded; ++q) values[q] = this.record[q * NUMBERS.length + k];
      used[number.symbol] = values;
    });
    this.port.postMessage({ type: "record", used });
  }

  // Views of the engine's buffers, made again where the memory grew (which detaches them).
  viewBuffers() {
    this.memory = this.wasm.memory.buffer;
    this.views.length = 0;
    for (let c = 0; c < this.channels; ++c) {
      this.views.push(new Float32Array(this.memory, this.wasm.grindlet_buffer(this.handle, c), this.frames));
    }
  }

  // The input's channel c as the engine's channel takes it: a mono input reaches every channel
  // (as Web Audio's "speakers" up-mixing gives it), a channel the input lacks is silence, and
  // channels past the engine's are left out.
  inputChannel(input, c) {
    if (input.length === 0) return null;
    if (input.length === 1) return input[0];
    return c < input.length ? input[c] : null;
  }

  process(inputs, outputs, parameters) {
    if (!this.alive) return false;
    for (let k = 0; k < NUMBERS.length; ++k) {
      const value = parameters[NUMBERS[k].symbol][0];
      if (value !== this.sent[k]) {
        this.wasm.grindlet_set(this.handle, NUMBERS[k].index, value);
        this.sent[k] = value;
      }
    }
    if (this.record !== null && this.recorded * NUMBERS.length < this.record.length) {
      this.record.set(this.sent, this.recorded * NUMBERS.length);
      this.recorded += 1;
      if (this.recorded * NUMBERS.length === this.record.length) this.sendRecord();
    }
    if (this.wasm.memory.buffer !== this.memory) this.viewBuffers();
    const input = inputs[0];
    const output = outputs[0];
    const frames = output[0].length;
    // Without an input, silence, so that the stream (and its modulation) goes on.
    if (frames === this.frames) {
      for (let c = 0; c < this.channels; ++c) {
        const source = this.inputChannel(input, c);
        if (source === null) this.views[c].fill(0);
        else this.views[c].set(source);
      }
      this.wasm.grindlet_process(this.handle, frames);
      for (let c = 0; c < this.channels; ++c) output[c].set(this.views[c]);
      return true;
    }
    // A render quantum of another size: in parts of the engine's buffer.
    for (let start = 0; start < frames; start += this.frames) {
      const count = Math.min(this.frames, frames - start);
      for (let c = 0; c < this.channels; ++c) {
        const source = this.inputChannel(input, c);
        if (source === null) this.views[c].fill(0);
        else this.views[c].set(source.subarray(start, start + count));
      }
      this.wasm.grindlet_process(this.handle, count);
      for (let c = 0; c < this.channels; ++c) output[c].set(this.views[c].subarray(0, count), start);
    }
    return true;
  }
}

registerProcessor(PROCESSOR_NAME, GrindletProcessor);
