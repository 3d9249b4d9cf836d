// The page: open a file, hear it through the effect with the table's controls, see a waveform
// and a spectrum of input and output, and download the whole file rendered offline as a WAV.
import { CONTROLS, MOST_CHANNELS, PRESETS, createGrindletNode, loadEngine, renderOffline } from "../dist/grindlet.js";
import { spectrumDecibels } from "./spectrum.js";
import { sampleRateOf } from "./sniff.js";
import { MOST_WAV_DATA_BYTES, decodeWav, encodeFloatWav } from "./wav.js";

// decodeAudioData holds the file and its samples at once: past this a tab runs out of memory.
const MOST_FILE_BYTES = 1024 * 1024 * 1024;
// Where the file does not say its rate, it is decoded at this one.
const FALLBACK_RATE = 48000;
// The rates the browser decodes and plays at; a WAV file at another is read here, and rendered.
const LOWEST_PLAYED_RATE = 3000;
const HIGHEST_PLAYED_RATE = 768000;
// The views: a short excerpt rendered offline whenever a control moves.
const EXCERPT_SECONDS = 0.5;
const WAVEFORM_SECONDS = 0.01;
const SPECTRUM_FRAMES = 4096;
const SLIDER_STEPS = 1000;

const $ = (id) => document.getElementById(id);
const defaults = () => Object.fromEntries(CONTROLS.map((c) => [c.symbol, c.choices.length > 0 ? c.choices[c.default].symbol : c.default]));

const state = {
  settings: defaults(),
  buffer: null, // the decoded file, at its own rate
  name: "",
  context: null,
  node: null,
  source: null,
  bypass: false,
  viewTimer: 0,
  rendering: false,
};

function say(text, kind = "info") {
  const message = $("message");
  message.textContent = text;
  message.className = kind;
  message.hidden = text === "";
}

function fail(error) {
  say(error instanceof Error ? error.message : String(error), "error");
}

// Sliders: a position from 0 to SLIDER_STEPS over the control's slider range.
function toValue(control, position) {
  const t = position / SLIDER_STEPS;
  const low = control.sliderMinimum;
  const high = control.sliderMaximum;
  const value = control.logarithmic && low > 0 ? low * (high / low) ** t : low + (high - low) * t;
  return roundForPeople(control, value);
}

function toPosition(control, value) {
  const low = control.sliderMinimum;
  const high = control.sliderMaximum;
  const clamped = Math.min(high, Math.max(low, value));
  const t = control.logarithmic && low > 0 ? Math.log(clamped / low) / Math.log(high / low) : (clamped - low) / (high - low);
  return Math.round(t * SLIDER_STEPS);
}

// What a slider gives: whole hertz from 100 Hz up, whole seeds, else two decimals.
function roundForPeople(control, value) {
  if (control.symbol === "seed" || (control.unit === "Hz" && value >= 100)) return Math.round(value);
  return Math.round(value * 100) / 100;
}

function shown(control, value) {
  if (control.choices.length > 0) return "";
  const text = Number.isInteger(value) ? String(value) : value.toFixed(2);
  return control.unit === "" ? text : `${text} ${control.unit}`;
}

function buildControls() {
  const panel = $("controls");
  for (const control of CONTROLS) {
    const row = document.createElement("label");
    row.className = "control";
    row.title = control.description;
    const name = document.createElement("span");
    name.className = "name";
    name.textContent = control.name;
    row.append(name);
    let input;
    if (control.choices.length > 0) {
      input = document.createElement("select");
      for (const choice of control.choices) input.add(new Option(choice.name, choice.symbol));
      input.addEventListener("change", () => change(control, input.value));
    } else {
      input = document.createElement("input");
      input.type = "range";
      input.min = "0";
      input.max = String(SLIDER_STEPS);
      input.addEventListener("input", () => change(control, toValue(control, Number(input.value))));
    }
    input.id = `control-${control.symbol}`;
    input.name = control.symbol;
    const value = document.createElement("output");
    value.id = `value-${control.symbol}`;
    row.append(input, value);
    const brief = document.createElement("span");
    brief.className = "brief";
    brief.textContent = control.brief;
    row.append(brief);
    panel.append(row);
  }
  const presets = $("presets");
  for (const preset of PRESETS) presets.add(new Option(preset.label, preset.symbol));
  showSettings();
}

function showSettings() {
  for (const control of CONTROLS) {
    const value = state.settings[control.symbol];
    const input = $(`control-${control.symbol}`);
    input.value = control.choices.length > 0 ? value : String(toPosition(control, value));
    $(`value-${control.symbol}`).textContent = shown(control, value);
  }
}

function change(control, value) {
  state.settings[control.symbol] = value;
  $(`value-${control.symbol}`).textContent = shown(control, value);
  $("presets").value = "";
  state.node?.set({ [control.symbol]: value });
  scheduleViews();
}

function applySettings(settings) {
  state.settings = { ...settings };
  showSettings();
  state.node?.set(state.settings);
  scheduleViews();
}

// Decoding: at the file's own rate where its header says it, so that nothing is resampled.
async function open(file) {
  stop();
  if (file.size > MOST_FILE_BYTES) {
    throw new Error(`"${file.name}" is ${(file.size / 2 ** 30).toFixed(1)} GiB: this page opens files up to 1 GiB (render longer ones with grindlet-render).`);
  }
  $("status").textContent = `Reading ${file.name}…`;
  const bytes = new Uint8Array(await file.arrayBuffer());
  const rate = sampleRateOf(bytes) ?? FALLBACK_RATE;
  let buffer;
  try {
    if (rate < LOWEST_PLAYED_RATE || rate > HIGHEST_PLAYED_RATE) {
      buffer = samplesOf(decodeWav(bytes)); // only a WAV file says such a rate and is read here
    } else {
      buffer = await new OfflineAudioContext(1, 1, rate).decodeAudioData(bytes.buffer);
    }
  } catch {
    state.buffer = null;
    $("play").disabled = true;
    $("download").disabled = true;
    $("status").textContent = "No file yet.";
    throw new Error(`"${file.name}" could not be decoded: it is not audio this browser reads (WAV, FLAC, MP3, Ogg and most others are).`);
  }
  if (buffer.numberOfChannels > MOST_CHANNELS) {
    throw new Error(`"${file.name}" has ${buffer.numberOfChannels} channels; the effect takes up to ${MOST_CHANNELS}.`);
  }
  state.buffer = buffer;
  state.name = file.name;
  const seconds = buffer.duration.toFixed(2);
  $("status").textContent = `${file.name}: ${seconds} s, ${buffer.numberOfChannels} channel(s), ${buffer.sampleRate} Hz.`;
  const playable = buffer instanceof AudioBuffer;
  $("play").disabled = !playable;
  $("download").disabled = false;
  say(playable ? "" : `The browser plays files from ${LOWEST_PLAYED_RATE} Hz up: this one is shown and rendered at its own ${buffer.sampleRate} Hz.`);
  scheduleViews();
}

// A decoded WAV file as the page reads an AudioBuffer.
function samplesOf({ sampleRate, channels }) {
  return {
    sampleRate,
    numberOfChannels: channels.length,
    length: channels[0].length,
    duration: channels[0].length / sampleRate,
    getChannelData: (c) => channels[c],
  };
}

// Live: the file looped through the node, made again for each file's channel count.
async function play() {
  if (state.source !== null) {
    stop();
    return;
  }
  if (state.buffer === null) return;
  state.context ??= new AudioContext();
  await state.context.resume();
  const channelCount = state.buffer.numberOfChannels;
  if (state.node === null || state.node.channelCount !== channelCount) {
    state.node?.dispose();
    state.node = await createGrindletNode(state.context, { channelCount, settings: state.settings, bypass: state.bypass });
    state.node.connect(state.context.destination);
  }
  state.source = new AudioBufferSourceNode(state.context, { buffer: state.buffer, loop: true });
  state.source.connect(state.node);
  state.source.start();
  $("play").textContent = "Stop";
}

function stop() {
  if (state.source === null) return;
  state.source.stop();
  state.source.disconnect();
  state.source = null;
  $("play").textContent = "Play";
}

function channelsOf(buffer, start = 0, frames = buffer.length) {
  return Array.from({ length: buffer.numberOfChannels }, (_, c) => buffer.getChannelData(c).slice(start, start + frames));
}

// The whole file, offline, as a 32-bit float WAV at its own rate.
async function download() {
  const buffer = state.buffer;
  if (buffer === null || state.rendering) return;
  if (buffer.length * buffer.numberOfChannels * 4 > MOST_WAV_DATA_BYTES) {
    throw new Error("The rendered file would pass the 4 GiB a WAV file can hold: render it with grindlet-render, which writes RF64.");
  }
  state.rendering = true;
  $("download").disabled = true;
  say("Rendering the whole file…");
  try {
    const out = await renderOffline(channelsOf(buffer), buffer.sampleRate, state.settings);
    const wav = encodeFloatWav(out, buffer.sampleRate);
    const link = document.createElement("a");
    link.href = URL.createObjectURL(new Blob([wav], { type: "audio/wav" }));
    link.download = `${state.name.replace(/\.[^.]*$/, "")}-grindlet.wav`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
    say(`Rendered ${link.download}.`);
  } finally {
    state.rendering = false;
    $("download").disabled = false;
  }
}

function scheduleViews() {
  clearTimeout(state.viewTimer);
  state.viewTimer = setTimeout(() => drawViews().catch(fail), 60);
}

// An excerpt from a quarter into the file, through the effect, drawn over the input.
async function drawViews() {
  const buffer = state.buffer;
  if (buffer === null) return;
  const frames = Math.min(buffer.length, Math.round(EXCERPT_SECONDS * buffer.sampleRate));
  const start = Math.min(Math.floor(buffer.length / 4), buffer.length - frames);
  const input = channelsOf(buffer, start, frames);
  const output = await renderOffline(input, buffer.sampleRate, state.settings);
  if (buffer !== state.buffer) return;
  const shownFrames = Math.min(frames, Math.round(WAVEFORM_SECONDS * buffer.sampleRate));
  const from = frames - shownFrames; // the end: the smoothing of a level has settled
  drawWaveform($("waveform"), input[0].subarray(from), output[0].subarray(from));
  const tail = Math.max(0, frames - SPECTRUM_FRAMES);
  drawSpectrum($("spectrum"), spectrumDecibels(input[0].subarray(tail)), spectrumDecibels(output[0].subarray(tail)), buffer.sampleRate);
  document.body.dataset.views = String(Number(document.body.dataset.views ?? 0) + 1);
}

function colors() {
  const style = getComputedStyle(document.documentElement);
  return { input: style.getPropertyValue("--input").trim(), output: style.getPropertyValue("--output").trim(), grid: style.getPropertyValue("--grid").trim() };
}

function drawWaveform(canvas, input, output) {
  const g = canvas.getContext("2d");
  const { width, height } = canvas;
  const { input: inputColor, output: outputColor, grid } = colors();
  g.clearRect(0, 0, width, height);
  g.strokeStyle = grid;
  g.beginPath();
  g.moveTo(0, height / 2);
  g.lineTo(width, height / 2);
  g.stroke();
  const trace = (samples, color, lineWidth) => {
    g.strokeStyle = color;
    g.lineWidth = lineWidth;
    g.beginPath();
    for (let i = 0; i < samples.length; ++i) {
      const x = (i / (samples.length - 1)) * width;
      const y = height / 2 - Math.max(-1.2, Math.min(1.2, samples[i])) * (height / 2.5);
      if (i === 0) g.moveTo(x, y);
      else g.lineTo(x, y);
    }
    g.stroke();
  };
  trace(input, inputColor, 1.5);
  trace(output, outputColor, 2);
}

function drawSpectrum(canvas, input, output, sampleRate) {
  const g = canvas.getContext("2d");
  const { width, height } = canvas;
  const { input: inputColor, output: outputColor, grid } = colors();
  const lowest = 20;
  const nyquist = sampleRate / 2;
  const floor = -120;
  g.clearRect(0, 0, width, height);
  g.strokeStyle = grid;
  g.fillStyle = grid;
  g.font = "11px sans-serif";
  for (const hertz of [100, 1000, 10000]) {
    const x = (Math.log(hertz / lowest) / Math.log(nyquist / lowest)) * width;
    g.beginPath();
    g.moveTo(x, 0);
    g.lineTo(x, height);
    g.stroke();
    g.fillText(hertz >= 1000 ? `${hertz / 1000} kHz` : `${hertz} Hz`, x + 3, height - 4);
  }
  const trace = (decibels, color) => {
    g.strokeStyle = color;
    g.lineWidth = 1.5;
    g.beginPath();
    const bins = decibels.length;
    for (let x = 0; x < width; ++x) {
      const hertz = lowest * (nyquist / lowest) ** (x / width);
      const bin = Math.min(bins - 1, Math.round((hertz / nyquist) * (bins - 1)));
      const y = (Math.max(floor, decibels[bin]) / floor) * height;
      if (x === 0) g.moveTo(x, y);
      else g.lineTo(x, y);
    }
    g.stroke();
  };
  trace(input, inputColor);
  trace(output, outputColor);
}

function openFirst(files) {
  if (files.length > 0) open(files[0]).catch(fail);
}

function start() {
  if (window.grindletProblem) return;
  buildControls();
  $("file").addEventListener("change", (event) => openFirst(event.target.files));
  for (const type of ["dragenter", "dragover"]) {
    document.addEventListener(type, (event) => {
      event.preventDefault();
      $("drop").classList.add("over");
    });
  }
  document.addEventListener("dragleave", () => $("drop").classList.remove("over"));
  document.addEventListener("drop", (event) => {
    event.preventDefault();
    $("drop").classList.remove("over");
    openFirst(event.dataTransfer.files);
  });
  $("play").addEventListener("click", () => play().catch(fail));
  $("download").addEventListener("click", () => download().catch(fail));
  $("bypass").addEventListener("change", (event) => {
    state.bypass = event.target.checked;
    if (state.node !== null) state.node.bypass = state.bypass;
  });
  $("presets").addEventListener("change", (event) => {
    const preset = PRESETS.find((p) => p.symbol === event.target.value);
    if (preset !== undefined) {
      applySettings(preset.settings);
      $("presets").value = preset.symbol;
    }
  });
  $("defaults").addEventListener("click", () => applySettings(defaults()));
  window.addEventListener("unhandledrejection", (event) => fail(event.reason));
  // The engine is fetched now, so that a missing or refused file is told before any click.
  loadEngine().then(
    () => document.body.setAttribute("data-ready", "true"),
    (error) => fail(new Error(`The effect's engine did not load (${error.message}): reload the page.`)),
  );
}

start();
