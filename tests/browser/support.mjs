// Shared fixture of the browser tests: a Chromium page on a fresh profile that records everything
// a hostile run could make it do (dialogs, page errors, console errors, policy violations), and
// helpers to drive the run list. The monitor itself comes from monitor.mjs.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {chromium} from 'playwright-core';
import {POLL_MS} from './monitor.mjs';

export * from './monitor.mjs';

const CHROMIUM = process.env.TORVESK_CHROMIUM || '/usr/bin/chromium';
const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
                       '--disable-component-update', '--disable-sync', '--no-first-run'];

// A fresh browser profile; `options` go to the context (httpCredentials, for example).
export async function launchBrowser(options = {}) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'torvesk-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: CHROMIUM_ARGS,
    timezoneId: 'UTC',
    ...options,
  });
  context.setDefaultTimeout(10000);
  return {
    context,
    async close() {
      await context.close();
      fs.rmSync(profile, {recursive: true, force: true});
    },
  };
}

// Opens a page that records what a hostile input could make it do. `watch.problems()` lists
// dialogs, uncaught errors, console errors and policy violations seen so far.
export async function openPage(context, url) {
  const page = await context.newPage();
  const seen = [];
  page.on('dialog', (d) => {
    seen.push('dialog: ' + d.message());
    d.dismiss().catch(() => {});
  });
  page.on('pageerror', (e) => seen.push('page error: ' + e.message));
  page.on('console', (m) => {
    if (m.type() === 'error' || m.type() === 'warning') seen.push(`console ${m.type()}: ${m.text()}`);
  });
  await page.addInitScript(() => {
    window.__violations = [];
    document.addEventListener('securitypolicyviolation',
                              (e) => window.__violations.push(e.violatedDirective + ' ' + e.blockedURI));
  });
  if (url) await page.goto(url);
  return {
    page,
    async problems() {
      const v = await page.evaluate(() => window.__violations).catch(() => []);
      return [...seen, ...v.map((x) => 'policy violation: ' + x)];
    },
  };
}

// A browser with one page opened by openPage on `url`, where hostile content that manages to run
// script calls window.__hit(n) and is recorded in window.__hits. `viewport` sizes the page first.
export async function openWatchedPage(url, {viewport} = {}) {
  const browser = await launchBrowser();
  const watch = await openPage(browser.context);
  await watch.page.addInitScript(() => {
    window.__hits = [];
    window.__hit = (n) => window.__hits.push(n);
  });
  if (viewport) await watch.page.setViewportSize(viewport);
  await watch.page.goto(url);
  return {browser, watch, page: watch.page};
}

// Waits (bounded) for the page's run list to show a run entry with the given id.
export async function waitForRun(page, id) {
  await page.locator('#runs .run[data-id]').filter({has: page.locator('.rid', {hasText: id})}).first()
      .waitFor({timeout: POLL_MS * 3});
}

// Clicks the run entry whose data-id is exactly `id`.
export async function clickRun(page, id) {
  const handle = await page.waitForFunction(
      (want) => [...document.querySelectorAll('#runs .run[data-id]')].find((el) => el.dataset.id === want),
      id, {timeout: POLL_MS * 3});
  await handle.asElement().click();
}

// Opens a run from the list and waits until the detail panel shows it.
export async function showRun(page, id) {
  await clickRun(page, id);
  await page.waitForFunction((want) => {
    const rid = document.querySelector('#detail .banner .rid');
    return rid !== null && rid.textContent === want;
  }, id, {timeout: POLL_MS * 3});
}

// The text of every element matching `selector`, in document order.
export function texts(page, selector) {
  return page.$$eval(selector, (els) => els.map((el) => el.textContent));
}
