// The real monitor binary for tests: started on a free loopback port with its own data folder and
// environment, fed through POST /ingest, stopped by pid.
import {spawn} from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

export const SOURCE_PAGE =
    path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../assets/dashboard/index.html');

const START_TIMEOUT_MS = 15000;  // the binary loads its (empty) data folder and binds at once
const STOP_TIMEOUT_MS = 5000;    // after SIGTERM, before SIGKILL
export const POLL_MS = 2000;     // the page's refresh period

export function monitorBinary() {
  const bin = process.env.TORVESK_MONITOR_BINARY;
  if (!bin) throw new Error('TORVESK_MONITOR_BINARY must name the torvesk-monitor binary');
  return bin;
}

// A loopback port nothing listens on right now (the kernel's choice).
export function freePort() {
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

// Event line as a runner pushes it.
export function ev(type, runId, payload = {}, ts = undefined) {
  const e = {type, payload: {run_id: runId, ...payload}};
  if (ts !== undefined) e.ts = ts;
  return e;
}
