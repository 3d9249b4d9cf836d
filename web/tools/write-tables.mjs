// Writes tables.js, the controls' table and the presets as JavaScript, from the WebAssembly
// module built from dsp/controls.h and dsp/presets.h (web/src/table_exports.cpp).
// Usage: node write-tables.mjs tables.wasm OUT.js
import { readFileSync, renameSync, writeFileSync } from "node:fs";

const [wasmPath, outPath] = process.argv.slice(2);
if (!wasmPath || !outPath) {
  console.error("usage: node write-tables.mjs tables.wasm OUT.js");
  process.exit(2);
}
const { exports: table } = new WebAssembly.Instance(new WebAssembly.Module(readFileSync(wasmPath)));

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
  const row = {
    symbol: text(table.control_text(c, 0)),
    name: text(table.control_text(c, 1)),
    unit: text(table.control_text(c, 2)),
    minimum: number(0),
    maximum: number(1),
    minimumExcluded: number(2) !== 0,
    sliderMinimum: number(3),
    sliderMaximum: number(4),
    logarithmic: number(5) !== 0,
    default: number(6),
    choices,
    description: text(table.control_text(c, 3)),
    brief: text(table.control_text(c, 4)),
  };
  controls.push(row);
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

const freeze = (name, value) =>
  `export const ${name} = deepFreeze(${JSON.stringify(value, null, 2)});\n`;
const source =
  "// Written by web/tools/write-tables.mjs from dsp/controls.h and dsp/presets.h: do not edit.\n" +
  "const deepFreeze = (value) => {\n" +
  "  if (value !== null && typeof value === \"object\") Object.values(value).forEach(deepFreeze);\n" +
  "  return Object.freeze(value);\n" +
  "};\n\n" +
  "// The controls, in the engine's order: a control's index is its place here.\n" +
  freeze("CONTROLS", controls) +
  "\n// The factory presets: each sets every control (a choice by its symbol).\n" +
  freeze("PRESETS", presets);
writeFileSync(`${outPath}.partial`, source);
renameSync(`${outPath}.partial`, outPath);
