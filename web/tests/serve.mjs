// A static server on 127.0.0.1 for the browser tests and the benchmark: each mount a folder.
import { createReadStream, statSync } from "node:fs";
import { createServer } from "node:http";
import { extname, join, normalize, sep } from "node:path";

const TYPES = {
  ".html": "text/html; charset=utf-8",
  ".js": "text/javascript; charset=utf-8",
  ".mjs": "text/javascript; charset=utf-8",
  ".css": "text/css; charset=utf-8",
  ".json": "application/json",
  ".wasm": "application/wasm",
  ".wav": "audio/wav",
  ".png": "image/png",
  ".svg": "image/svg+xml",
  ".txt": "text/plain; charset=utf-8",
};

// mounts: { "/": folder, "/fixtures/": folder, ... }; resolves to { url, close() }.
export function serve(mounts) {
  const prefixes = Object.keys(mounts).sort((a, b) => b.length - a.length);
  const server = createServer((request, response) => {
    const path = decodeURIComponent(new URL(request.url, "http://127.0.0.1").pathname);
    const prefix = prefixes.find((p) => path.startsWith(p));
    const root = prefix === undefined ? null : mounts[prefix];
    let file = root === null ? null : normalize(join(root, path.slice(prefix.length)));
    if (file !== null && !(file + sep).startsWith(normalize(root + sep))) file = null;
    try {
      if (file !== null && statSync(file).isDirectory()) file = join(file, "index.html");
      const size = file === null ? -1 : statSync(file).size;
      response.writeHead(200, {
        "content-type": TYPES[extname(file)] ?? "application/octet-stream",
        "content-length": size,
        "cache-control": "no-store",
      });
      createReadStream(file).pipe(response);
    } catch {
      response.writeHead(404, { "content-type": "text/plain" });
      response.end("not found\n");
    }
  });
  return new Promise((resolve, reject) => {
    server.once("error", reject);
    server.listen(0, "127.0.0.1", () => {
      resolve({
        url: `http://127.0.0.1:${server.address().port}`,
        close: () => new Promise((done) => server.close(done)),
      });
    });
  });
}
