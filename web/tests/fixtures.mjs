// What the browser tests share: the render tool, test signals, and moving bytes in and out of
// the page.
import { execFileSync } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

import { decodeWav, encodeFloatWav } from "../page/wav.js";

export const WEB = join(dirname(fileURLToPath(import.meta.url)), "..");
export const RENDER = process.env.GRINDLET_RENDER ?? join(WEB, "..", "build", "native", "grindlet-render");

export function temporaryFolder() {
  const path = mkdtempSync(join(tmpdir(), "grindlet-web-"));
  return { path, remove: () => rmSync(path, { recursive: true, force: true }) };
}

// A test signal: a rising chirp on each channel (the second an octave apart), loud passages past
// full scale, a run of silence with negative zeros, and values too small to matter.
export function testSignal(sampleRate, channelCount, seconds) {
  const frames = Math.round(sampleRate * seconds);
  return Array.from({ length: channelCount }, (_, c) => {
    const samples = new Float32Array(frames);
    let phase = 0;
    for (let i = 0; i < frames; ++i) {
      const t = i / frames;
      phase += (2 * Math.PI * (60 + 6000 * t * t) * (c + 1)) / sampleRate;
      const level = t > 0.6 && t < 0.7 ? 1.4 : 0.7 * (0.3 + t);
      samples[i] = level * Math.sin(phase);
    }
    const quiet = Math.floor(frames * 0.4);
    for (let i = quiet; i < quiet + 400 && i < frames; ++i) samples[i] = i % 2 === 0 ? -0 : 1e-30;
    return samples;
  });
}

// The render tool's float output for this input and these settings (choices by symbol).
export function renderTool(folder, channels, sampleRate, settings) {
  const input = join(folder, "in.wav");
  const output = join(folder, "out.wav");
  writeFileSync(input, encodeFloatWav(channels, sampleRate));
  rmSync(output, { force: true });
  const options = Object.entries(settings).flatMap(([symbol, value]) => [`--${symbol}`, String(value)]);
  execFileSync(RENDER, [input, "--format", "float", "-o", output, ...options], { stdio: ["ignore", "ignore", "inherit"] });
  return decodeWav(readFileSync(output));
}

export function renderToolExists() {
  return existsSync(RENDER);
}

// Float32Arrays into the page and back as base64 of their bytes: every bit, -0 and NaN kept.
export const toBase64 = (samples) => Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength).toString("base64");
export function fromBase64(text) {
  const bytes = Buffer.from(text, "base64");
  return new Float32Array(bytes.buffer, bytes.byteOffset, bytes.length / 4);
}

// In the page: the same two as functions to evaluate there.
export const PAGE_HELPERS = `
  window.fromBase64 = (text) => {
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; ++i) bytes[i] = binary.charCodeAt(i);
    return new Float32Array(bytes.buffer);
  };
  window.toBase64 = (samples) => {
    const bytes = new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength);
    let binary = "";
    for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(binary);
  };
`;

// Where two arrays first differ in their bits, or -1.
export function firstDifference(a, b) {
  if (a.length !== b.length) return Math.min(a.length, b.length);
  const x = new Uint32Array(a.buffer, a.byteOffset, a.length);
  const y = new Uint32Array(b.buffer, b.byteOffset, b.length);
  for (let i = 0; i < x.length; ++i) if (x[i] !== y[i]) return i;
  return -1;
}
