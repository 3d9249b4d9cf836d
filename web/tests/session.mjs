// What each browser test file starts with: web/ served on 127.0.0.1, Chromium, a temporary
// folder; made before the file's (or suite's) tests and ended after them.
import { after, before } from "node:test";

import { launch } from "./browser.mjs";
import { PAGE_HELPERS, WEB, temporaryFolder } from "./fixtures.mjs";
import { serve } from "./serve.mjs";

export function useBrowser() {
  const session = { server: null, browser: null, folder: null };
  before(async () => {
    session.server = await serve({ "/": WEB });
    session.browser = await launch();
    session.folder = temporaryFolder();
  });
  after(async () => {
    await session.browser?.close();
    await session.server?.close();
    session.folder?.remove();
  });
  return session;
}

// A blank page of the server's, with the helpers that move samples in and out.
export async function harnessPage(session) {
  const page = await session.browser.context.newPage();
  await page.goto(`${session.server.url}/tests/harness.html`);
  await page.evaluate(PAGE_HELPERS);
  return page;
}
