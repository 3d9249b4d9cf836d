// A spectrum for the page's view: Hann-windowed magnitudes in dB (0 dB: a full-scale sine),
// from a radix-2 FFT of the samples zero-padded to a power of two. For drawing only.
export function spectrumDecibels(samples) {
  let size = 2;
  while (size < samples.length) size *= 2;
  const re = new Float64Array(size);
  const im = new Float64Array(size);
  const n = samples.length;
  for (let i = 0; i < n; ++i) re[i] = samples[i] * (0.5 - 0.5 * Math.cos((2 * Math.PI * i) / Math.max(1, n - 1)));
  // Bit-reversed order, then butterflies.
  for (let i = 1, j = 0; i < size; ++i) {
    let bit = size >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) {
      [re[i], re[j]] = [re[j], re[i]];
      [im[i], im[j]] = [im[j], im[i]];
    }
  }
  for (let length = 2; length <= size; length *= 2) {
    const angle = (-2 * Math.PI) / length;
    for (let start = 0; start < size; start += length) {
      for (let k = 0; k < length / 2; ++k) {
        const wr = Math.cos(angle * k);
        const wi = Math.sin(angle * k);
        const a = start + k;
        const b = a + length / 2;
        const tr = re[b] * wr - im[b] * wi;
        const ti = re[b] * wi + im[b] * wr;
        re[b] = re[a] - tr;
        im[b] = im[a] - ti;
        re[a] += tr;
        im[a] += ti;
      }
    }
  }
  // A Hann window's coherent gain is one half: a full-scale sine peaks at n / 4.
  const scale = 4 / Math.max(1, n);
  const decibels = new Float32Array(size / 2 + 1);
  for (let k = 0; k <= size / 2; ++k) {
    decibels[k] = 20 * Math.log10(Math.hypot(re[k], im[k]) * scale + 1e-12);
  }
  return decibels;
}
