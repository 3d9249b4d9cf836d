// Writes what web/dist takes from dsp/ (the controls' table and the presets, read from the
// WebAssembly module built from dsp/controls.h and dsp/presets.h, web/src/table_exports.cpp):
// tables.js, the worklet's processor with its numbers filled in (so that it imports nothing),
// the types, the settings typed control by control, and grindlet-engine.js, the engine and the
// processor inside a module, for where their own files cannot be reached (a bundler's dev server
// that moves the package, a page whose server has not got them).
// Usage: node write-tables.mjs tables.wasm grindlet.wasm SOURCE_FOLDER DIST_FOLDER
import { readFileSync, renameSync, writeFileSync } from "node:fs";
import { join } from "node:path";

// The worklet's name, for both sides of the worklet.
const PROCESSOR_NAME = "qz-grindlet";
const GENERATED = "// Written by web/tools/write-tables.mjs from dsp/controls.h and dsp/presets.h: do not edit.\n";

const [wasmPath, enginePath, sourceFolder, distFolder] = process.argv.slice(2);
if (!wasmPath || !enginePath || !sourceFolder || !distFolder) {
  console.error("usage: node write-tables.mjs tables.wasm grindlet.wasm SOURCE_FOLDER DIST_FOLDER");
  process.exit(2);
}
// The texts use the C library's formatting, which links its stream functions in; the table
// never writes anything, so each is given as a stub that says so if it is ever called.
const tableModule = new WebAssembly.Module(readFileSync(wasmPath));
const imports = {};
for (const { module, name } of WebAssembly.Module.imports(tableModule)) {
  imports[module] ??= {};
  imports[module][name] = () => {
    throw new Error(`the table module called ${module}.${name}`);
  };
}
const { exports: table } = new WebAssembly.Instance(tableModule, imports);

const text = (pointer) => {
  if (pointer === 0) return "";
  const bytes = new Uint8Array(table.memory.buffer, pointer);
  return new TextDecoder().decode(bytes.subarray(0, bytes.indexOf(0)));
};

const controls = [];
for (let c = 0; c < table.control_count(); ++c) {
  const number = (field) => table.control_number(c, field);
  const choices = [];
  for (let k = 0; k < number(7); ++k) {
    choices.push({ name: text(table.choice_text(c, k, 0)), symbol: text(table.choice_text(c, k, 1)) });
  }
  controls.push({
    symbol: text(table.control_text(c, 0)),
    name: text(table.control_text(c, 1)),
    unit: text(table.control_text(c, 2)),
    minimum: number(0),
    maximum: number(1),
    minimumExcluded: number(2) !== 0,
    sliderMinimum: number(3),
    sliderMaximum: number(4),
    logarithmic: number(5) !== 0,
    integer: number(8) !== 0,
    default: number(6),
    choices,
    description: text(table.control_text(c, 3)),
    brief: text(table.control_text(c, 4)),
    range: text(table.control_text(c, 5)),
  });
}

const presets = [];
for (let p = 0; p < table.preset_count(); ++p) {
  const settings = {};
  controls.forEach((control, c) => {
    const value = table.preset_value(p, c);
    settings[control.symbol] = control.choices.length > 0 ? control.choices[value].symbol : value;
  });
  presets.push({ symbol: text(table.preset_text(p, 0)), label: text(table.preset_text(p, 1)), settings });
}

// Written whole, then put in place.
function write(name, content) {
  const path = join(distFolder, name);
  writeFileSync(`${path}.partial`, content);
  renameSync(`${path}.partial`, path);
}

function fill(template, placeholder, value) {
  if (!template.includes(placeholder)) throw new Error(`the template lacks ${placeholder}`);
  return template.replace(placeholder, value);
}

const freeze = (name, value) => `export const ${name} = deepFreeze(${JSON.stringify(value, null, 2)});\n`;
write(
  "tables.js",
  GENERATED +
    "const deepFreeze = (value) => {\n" +
    '  if (value !== null && typeof value === "object") Object.values(value).forEach(deepFreeze);\n' +
    "  return Object.freeze(value);\n" +
    "};\n\n" +
    "// The controls, in the engine's order: a control's index is its place here.\n" +
    freeze("CONTROLS", controls) +
    "\n// The factory presets: each sets every control (a choice by its symbol).\n" +
    freeze("PRESETS", presets) +
    "\n// The worklet's name.\n" +
    `export const PROCESSOR_NAME = ${JSON.stringify(PROCESSOR_NAME)};\n`,
);

const numbers = controls
  .map((control, index) => ({ control, index }))
  .filter(({ control }) => control.choices.length === 0)
  .map(({ control, index }) => ({
    symbol: control.symbol,
    index,
    default: control.default,
    minimum: control.minimum,
    maximum: control.maximum,
  }));
let processor = readFileSync(join(sourceFolder, "grindlet-processor.js"), "utf8");
processor = fill(processor, "/* @NUMBERS@ */ []", JSON.stringify(numbers));
processor = fill(processor, '/* @PROCESSOR_NAME@ */ ""', JSON.stringify(PROCESSOR_NAME));
write("grindlet-processor.js", GENERATED + processor);
write(
  "grindlet-engine.js",
  GENERATED +
    "// The engine's WebAssembly, in base64.\n" +
    `export const ENGINE = ${JSON.stringify(readFileSync(enginePath).toString("base64"))};\n` +
    "// The worklet's processor, as grindlet-processor.js holds it.\n" +
    `export const PROCESSOR = ${JSON.stringify(GENERATED + processor)};\n`,
);

// Each control a property of its own: a misspelt symbol, a string for a number and an unknown
// choice are type errors.
const settingLines = controls.map((control) => {
  const range = control.range;
  const type =
    control.choices.length > 0
      ? [
          ...control.choices.map((c) => JSON.stringify(c.symbol)),
          ...control.choices.filter((c) => c.name !== c.symbol).map((c) => JSON.stringify(c.name)),
          ...control.choices.map((_, k) => String(k)),
        ].join(" | ")
      : "number";
  const doc = control.choices.length > 0 ? `${control.brief}: ${control.choices.map((c) => c.symbol).join(", ")}` : `${control.brief}: ${range}`;
  return `  /** ${doc}. */\n  readonly ${control.symbol}?: ${type};`;
});
const symbols = (list) => list.map((c) => JSON.stringify(c.symbol)).join(" | ");
const settingsTypes =
  "/**\n * Controls by symbol: numbers in the table's units, choices by symbol, name or index. For\n" +
  ' * example `{ bits: 6, rate: 4000, quantize: "round", mode: "step", drive: 3 }`.\n */\n' +
  `export interface Settings {\n${settingLines.join("\n")}\n}\n\n` +
  `/** Every control's symbol. */\nexport type ControlSymbol = ${symbols(controls)};\n` +
  `/** The controls that take a number (each an AudioParam of a node). */\nexport type NumberSymbol = ${symbols(controls.filter((c) => c.choices.length === 0))};\n` +
  `/** The controls that take a choice. */\nexport type ChoiceSymbol = ${symbols(controls.filter((c) => c.choices.length > 0))};`;
const types = fill(readFileSync(join(sourceFolder, "grindlet.d.ts"), "utf8"), "/* @SETTINGS@ */", settingsTypes);
write("grindlet.d.ts", GENERATED + types);
