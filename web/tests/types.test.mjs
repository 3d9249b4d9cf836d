// The package's types against tsc --strict (TypeScript from the npm registry, in the lock file):
// a file of right usage compiles, and in a file of mistakes every one is an error.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { join } from "node:path";
import { test } from "node:test";

import { WEB } from "./fixtures.mjs";

const TSC = join(WEB, "node_modules", "typescript", "bin", "tsc");

function tsc(file) {
  try {
    execFileSync(
      process.execPath,
      [TSC, "--strict", "--noEmit", "--target", "es2022", "--module", "esnext", "--moduleResolution", "bundler",
        "--lib", "es2022,dom,dom.iterable", join(WEB, "tests", "types", file)],
      { encoding: "utf8", stdio: ["ignore", "pipe", "pipe"] },
    );
    return "";
  } catch (error) {
    return `${error.stdout}${error.stderr}`;
  }
}

test("right usage compiles under tsc --strict", () => {
  assert.equal(tsc("right.ts"), "");
});

test("every mistake in the file of mistakes is a type error", () => {
  assert.equal(tsc("wrong.ts"), "");
});
