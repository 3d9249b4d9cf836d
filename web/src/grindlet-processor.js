// The AudioWorkletProcessor that runs the engine (grindlet.wasm) on each render quantum. The
// numeric controls are k-rate AudioParams, read once per quantum at its first frame; the choices
// arrive as processor options and messages. Nothing in process() allocates.
import { CONTROLS } from "./tables.js";

export const PROCESSOR_NAME = "qz-grindlet";

// The controls a number sets (AudioParams), with their index in the engine's table.
const NUMBERS = CONTROLS.map((control, index) => ({ control, index })).filter(
  ({ control }) => control.choices.length === 0,
);

class GrindletProcessor extends AudioWorkletProcessor {
  static get parameterDescriptors() {
    return NUMBERS.map(({ control }) => ({
      name: control.symbol,
      defaultValue: control.default,
      minValue: control.minimum,
      maxValue: control.maximum,
      automationRate: "k-rate",
    }));
  }

  constructor(options) {
    super();
    const { module, channels, choices, bypass, recordQuanta } = options.processorOptions;
    this.wasm = new WebAssembly.Instance(module, {}).exports;
    this.channels = channels;
    this.handle = this.wasm.grindlet_create(sampleRate, channels);
    if (this.handle === 0) throw new RangeError(`the engine takes no ${channels} channels at ${sampleRate} Hz`);
    this.frames = this.wasm.grindlet_buffer_frames();
    for (const [index, choice] of Object.entries(choices)) this.wasm.grindlet_set(this.handle, Number(index), choice);
    this.wasm.grindlet_set_enabled(this.handle, bypass ? 0 : 1);
    // What each number was last set to: a control is set again only when its value moved.
    this.sent = new Float64Array(NUMBERS.length).fill(Number.NaN);
    this.views = [];
    this.memory = null;
    // For tests and tools: each quantum's numbers as the engine read them.
    this.record = recordQuanta > 0 ? new Float32Array(recordQuanta * NUMBERS.length) : null;
    this.recorded = 0;
    this.alive = true;
    this.port.onmessage = (event) => this.receive(event.data);
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
        this.alive = false;
        this.wasm.grindlet_destroy(this.handle);
        this.handle = 0;
        break;
      default:
        break;
    }
  }

  // Once, when the record is full: each quantum's numbers by symbol.
  sendRecord() {
    const used = {};
    NUMBERS.forEach(({ control }, k) => {
      const values = new Float32Array(this.recorded);
      for (let q = 0; q < this.recorded; ++q) values[q] = this.record[q * NUMBERS.length + k];
      used[control.symbol] = values;
    });
    this.port.postMessage({ type: "record", used });
  }

  // Views of the engine's buffers, made again only if its memory grew (which detaches them).
  viewBuffers() {
    this.memory = this.wasm.memory.buffer;
    this.views.length = 0;
    for (let c = 0; c < this.channels; ++c) {
      this.views.push(new Float32Array(this.memory, this.wasm.grindlet_buffer(this.handle, c), this.frames));
    }
  }

  process(inputs, outputs, parameters) {
    if (!this.alive) return false;
    for (let k = 0; k < NUMBERS.length; ++k) {
      const value = parameters[NUMBERS[k].control.symbol][0];
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
    // No input connected or playing: silence, so the stream (and its modulation) goes on.
    const playing = input.length === this.channels;
    if (frames === this.frames) {
      for (let c = 0; c < this.channels; ++c) {
        if (playing) this.views[c].set(input[c]);
        else this.views[c].fill(0);
      }
      this.wasm.grindlet_process(this.handle, frames);
      for (let c = 0; c < this.channels; ++c) output[c].set(this.views[c]);
      return true;
    }
    // A render quantum of another size: in parts of the engine's buffer.
    for (let start = 0; start < frames; start += this.frames) {
      const count = Math.min(this.frames, frames - start);
      for (let c = 0; c < this.channels; ++c) {
        if (playing) this.views[c].set(input[c].subarray(start, start + count));
        else this.views[c].fill(0);
      }
      this.wasm.grindlet_process(this.handle, count);
      for (let c = 0; c < this.channels; ++c) output[c].set(this.views[c].subarray(0, count), start);
    }
    return true;
  }
}

registerProcessor(PROCESSOR_NAME, GrindletProcessor);
