// A file's own sample rate from its header (WAV, RF64, FLAC, AIFF), so that it is decoded and
// rendered at its own rate rather than resampled to a device's; null when the header does not
// say (the browser then decodes at a rate of its choosing).
export function sampleRateOf(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const tag = (at) => (at + 4 <= bytes.length ? String.fromCharCode(...bytes.subarray(at, at + 4)) : "");
  if ((tag(0) === "RIFF" || tag(0) === "RF64") && tag(8) === "WAVE") {
    for (let at = 12; at + 8 <= bytes.length; ) {
      const size = view.getUint32(at + 4, true);
      if (tag(at) === "fmt " && at + 16 <= bytes.length) return view.getUint32(at + 12, true) || null;
      at += 8 + size + (size & 1);
    }
    return null;
  }
  if (tag(0) === "fLaC" && bytes.length >= 21) {
    // STREAMINFO, the first metadata block: 20 bits of rate after 10 bytes of sizes.
    return ((bytes[18] << 12) | (bytes[19] << 4) | (bytes[20] >> 4)) || null;
  }
  if (tag(0) === "FORM" && (tag(8) === "AIFF" || tag(8) === "AIFC")) {
    for (let at = 12; at + 8 <= bytes.length; ) {
      const size = view.getUint32(at + 4, false);
      if (tag(at) === "COMM" && at + 26 <= bytes.length) {
        // An 80-bit extended float: sign and exponent, then a 64-bit mantissa.
        const exponent = (view.getUint16(at + 16, false) & 0x7fff) - 16383;
        const mantissa = view.getUint32(at + 18, false);
        const rate = Math.round(mantissa * 2 ** (exponent - 31));
        return rate > 0 ? rate : null;
      }
      at += 8 + size + (size & 1);
    }
  }
  return null;
}
