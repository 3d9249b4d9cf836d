// 32-bit float WAV, written and read: the page's download and the tests' reading of the render
// tool's output. Plain ES, no DOM: the browser and Node.js both import it.

const HEADER_BYTES = 44;
// A RIFF size field is 32 bits: a WAV past this many bytes of samples would be misread.
export const MOST_WAV_DATA_BYTES = 0xffffffff - (HEADER_BYTES - 8);

// Interleaved IEEE float samples in one WAV file (format 3, which readers take at any channel
// count).
export function encodeFloatWav(channels, sampleRate) {
  const count = channels.length;
  const frames = count > 0 ? channels[0].length : 0;
  const dataBytes = frames * count * 4;
  if (count < 1 || channels.some((c) => c.length !== frames)) throw new RangeError("one or more channels of one length");
  if (dataBytes > MOST_WAV_DATA_BYTES) {
    throw new RangeError(`${frames} frames of ${count} channels pass what a WAV file can hold (4 GiB)`);
  }
  const bytes = new Uint8Array(HEADER_BYTES + dataBytes);
  const view = new DataView(bytes.buffer);
  const text = (at, s) => [...s].forEach((ch, i) => view.setUint8(at + i, ch.charCodeAt(0)));
  text(0, "RIFF");
  view.setUint32(4, HEADER_BYTES - 8 + dataBytes, true);
  text(8, "WAVE");
  text(12, "fmt ");
  view.setUint32(16, 16, true);
  view.setUint16(20, 3, true); // IEEE float
  view.setUint16(22, count, true);
  view.setUint32(24, sampleRate, true);
  view.setUint32(28, sampleRate * count * 4, true);
  view.setUint16(32, count * 4, true);
  view.setUint16(34, 32, true);
  text(36, "data");
  view.setUint32(40, dataBytes, true);
  // Little-endian floats, written through a Float32Array where the machine is little-endian.
  const samples = new Float32Array(bytes.buffer, HEADER_BYTES, frames * count);
  for (let c = 0; c < count; ++c) {
    const channel = channels[c];
    for (let i = 0; i < frames; ++i) samples[i * count + c] = channel[i];
  }
  return bytes;
}

// The channels and rate of a WAV file: integer PCM of 8 to 32 bits, or float of 32 or 64 (the
// extensible header's too), scaled to ±1 as decoders do. Throws what it cannot read.
export function decodeWav(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const tag = (at) => String.fromCharCode(...bytes.subarray(at, at + 4));
  if (bytes.length < 12 || tag(0) !== "RIFF" || tag(8) !== "WAVE") throw new Error("not a WAV file");
  let format = null;
  for (let at = 12; at + 8 <= bytes.length; ) {
    const id = tag(at);
    const size = view.getUint32(at + 4, true);
    const body = at + 8;
    if (id === "fmt " && body + 16 <= bytes.length) {
      const code = view.getUint16(body, true);
      const sub = code === 0xfffe && body + 26 <= bytes.length ? view.getUint16(body + 24, true) : code;
      format = {
        float: sub === 3,
        pcm: sub === 1,
        channels: view.getUint16(body + 2, true),
        sampleRate: view.getUint32(body + 4, true),
        bits: view.getUint16(body + 14, true),
      };
    } else if (id === "data") {
      if (format === null) throw new Error("a WAV file whose samples come before their format");
      const { float, pcm, channels: count, bits } = format;
      const width = bits / 8;
      if (count === 0 || !((float && (bits === 32 || bits === 64)) || (pcm && [8, 16, 24, 32].includes(bits)))) {
        throw new Error(`a WAV file of ${bits}-bit ${float ? "float" : pcm ? "PCM" : "samples of another kind"}`);
      }
      const frames = Math.floor(Math.min(size, bytes.length - body) / (width * count));
      const channels = Array.from({ length: count }, () => new Float32Array(frames));
      const read = (offset) => {
        if (float) return bits === 32 ? view.getFloat32(offset, true) : view.getFloat64(offset, true);
        if (bits === 8) return (view.getUint8(offset) - 128) / 128;
        if (bits === 16) return view.getInt16(offset, true) / 32768;
        if (bits === 24) return (((view.getUint8(offset + 2) << 24) | (view.getUint16(offset, true) << 8)) >> 8) / 8388608;
        return view.getInt32(offset, true) / 2147483648;
      };
      for (let i = 0; i < frames; ++i) {
        for (let c = 0; c < count; ++c) channels[c][i] = read(body + (i * count + c) * width);
      }
      return { sampleRate: format.sampleRate, channels };
    }
    at = body + size + (size & 1);
  }
  throw new Error("a WAV file without samples");
}
