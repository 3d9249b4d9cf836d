// The floor of the benchmark: a worklet that copies its input to its output.
class PassThrough extends AudioWorkletProcessor {
  process(inputs, outputs) {
    const input = inputs[0];
    const output = outputs[0];
    for (let c = 0; c < output.length; ++c) {
      if (c < input.length) output[c].set(input[c]);
    }
    return true;
  }
}
registerProcessor("pass-through", PassThrough);
