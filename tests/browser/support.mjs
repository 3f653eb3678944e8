// Shared fixture of the browser tests: the real monitor binary on a free loopback port with its
// own data folder, a push helper for POST /ingest, and a Chromium page that records everything a
// hostile run could make it do (dialogs, page errors, console errors, policy violations).
import {spawn} from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import {chromium} from 'playwright-core';

export const SOURCE_PAGE =
    path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../assets/dashboard/index.html');

const CHROMIUM = process.env.TORVESK_CHROMIUM || '/usr/bin/chromium';
const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
                       '--disable-component-update', '--disable-sync', '--no-first-run'];
const START_TIMEOUT_MS = 15000;  // the binary loads its (empty) data folder and binds at once
const STOP_TIMEOUT_MS = 5000;    // after SIGTERM, before SIGKILL
export const POLL_MS = 2000;     // the page's refresh period

export function monitorBinary() {
  const bin = process.env.TORVESK_MONITOR_BINARY;
  if (!bin) throw new Error('TORVESK_MONITOR_BINARY must name the torvesk-monitor binary');
  return bin;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const {port} = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

// One HTTP request on loopback; resolves with status, headers and body bytes.
export function request(url, {method = 'GET', headers = {}, body = null} = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, {method, headers}, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks)}));
    });
    req.on('error', reject);
    req.setTimeout(10000, () => req.destroy(new Error('request timed out: ' + url)));
    req.end(body);
  });
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Starts the monitor with its own temporary data folder. `env` adds or overrides variables; by
// default the monitor runs in insecure local mode with no tokens.
export async function startMonitor({env = {}} = {}) {
  const dataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'torvesk-browser-'));
  let lastError = null;
  for (let attempt = 0; attempt < 3; attempt++) {
    const port = await freePort();
    const childEnv = {PATH: process.env.PATH, HOME: dataDir, MONITOR_INSECURE_LOCAL: '1',
                      MONITOR_DATA_DIR: dataDir, ...env};
    for (const [k, v] of Object.entries(childEnv)) if (v === undefined) delete childEnv[k];
    const child = spawn(monitorBinary(), [String(port)], {env: childEnv, stdio: ['ignore', 'ignore', 'pipe']});
    let stderr = '';
    child.stderr.on('data', (c) => (stderr += c));
    let exited = false;
    child.on('exit', () => (exited = true));
    const url = `http://127.0.0.1:${port}`;
    const deadline = Date.now() + START_TIMEOUT_MS;
    while (!exited && Date.now() < deadline) {
      try {
        await request(url + '/api/runs');
        const monitor = makeMonitor(child, url, port, dataDir, env.MONITOR_TOKEN);
        return monitor;
      } catch (e) {
        lastError = e;
        await sleep(50);
      }
    }
    child.kill('SIGKILL');
    lastError = new Error(`monitor did not start on port ${port}: ${stderr}`);
  }
  fs.rmSync(dataDir, {recursive: true, force: true});
  throw lastError;
}

function makeMonitor(child, url, port, dataDir, token) {
  return {
    url,
    port,
    dataDir,
    // Pushes events (objects or raw lines) as one newline-delimited batch.
    async push(events) {
      const body = events.map((e) => (typeof e === 'string' ? e : JSON.stringify(e))).join('\n') + '\n';
      const headers = {'Content-Type': 'application/x-ndjson'};
      if (token) headers.Authorization = 'Bearer ' + token;
      const res = await request(url + '/ingest', {method: 'POST', headers, body});
      if (res.status !== 200) throw new Error(`ingest answered ${res.status}: ${res.body}`);
    },
    async stop() {
      if (child.exitCode === null && child.signalCode === null) {
        const gone = new Promise((r) => child.once('exit', r));
        child.kill('SIGTERM');
        const timer = setTimeout(() => child.kill('SIGKILL'), STOP_TIMEOUT_MS);
        await gone;
        clearTimeout(timer);
      }
      fs.rmSync(dataDir, {recursive: true, force: true});
    },
  };
}

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

// Event line as a runner pushes it.
export function ev(type, runId, payload = {}, ts = undefined) {
  const e = {type, payload: {run_id: runId, ...payload}};
  if (ts !== undefined) e.ts = ts;
  return e;
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
