// The monitor behind a real nginx that terminates TLS (certificate made here), with
// MONITOR_TRUSTED_PROXIES naming nginx: clients behind it keep their own address for the lockout
// and the observed address, and a forged X-Forwarded-For gets nobody anything. The nginx server
// block is the one the README recommends (packaging/nginx/torvesk-monitor.conf).
import assert from 'node:assert/strict';
import {spawn, spawnSync} from 'node:child_process';
import fs from 'node:fs';
import https from 'node:https';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import {after, before, test} from 'node:test';
import {fileURLToPath} from 'node:url';

import {freePort, request, startMonitor} from '../browser/monitor.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const SITE = path.resolve(here, '../../packaging/nginx/torvesk-monitor.conf');
const INGEST_TOKEN = '0123456789abcdef0123456789abcdef';
const READ_TOKEN = 'fedcba9876543210fedcba9876543210';
const NGINX_START_MS = 10000;

let monitor;
let nginx;
let proxyPort;
let work;

// One HTTPS request through nginx from the loopback address `from`.
function viaProxy(from, urlPath, {method = 'GET', headers = {}, body = null} = {}) {
  return new Promise((resolve, reject) => {
    const req = https.request({host: '127.0.0.1', port: proxyPort, path: urlPath, method, headers,
                               localAddress: from, rejectUnauthorized: false, agent: false}, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({status: res.statusCode, body: Buffer.concat(chunks).toString()}));
    });
    req.on('error', reject);
    req.setTimeout(10000, () => req.destroy(new Error('request through nginx timed out')));
    req.end(body);
  });
}

const readAs = (token) => ({Authorization: 'Basic ' + Buffer.from('reader:' + token).toString('base64')});
const pushHeaders = {'Content-Type': 'application/x-ndjson', Authorization: 'Bearer ' + INGEST_TOKEN};
const runStarted = (id) => JSON.stringify({type: 'RunStarted', ts: 1, payload: {run_id: id}}) + '\n';

async function observedIp(runId) {
  const res = await viaProxy('127.0.0.2', '/api/runs', {headers: readAs(READ_TOKEN)});
  assert.equal(res.status, 200, res.body);
  const run = JSON.parse(res.body).runs.find((r) => r.run_id === runId);
  assert.ok(run, `run ${runId} is listed`);
  return run.observed_ip;
}

before(async () => {
  work = fs.mkdtempSync(path.join(os.tmpdir(), 'torvesk-proxy-'));
  const made = spawnSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
                                     '-nodes', '-days', '1', '-subj', '/CN=localhost',
                                     '-keyout', path.join(work, 'key.pem'), '-out', path.join(work, 'cert.pem')],
                         {stdio: 'pipe'});
  assert.equal(made.status, 0, 'openssl made the certificate: ' + made.stderr);

  monitor = await startMonitor({env: {MONITOR_INSECURE_LOCAL: undefined, MONITOR_TOKEN: INGEST_TOKEN,
                                      MONITOR_READ_TOKEN: READ_TOKEN, MONITOR_AUTH_FAIL_MAX: '2',
                                      MONITOR_TRUSTED_PROXIES: '127.0.0.1'}});
  proxyPort = await freePort();
  const site = fs.readFileSync(SITE, 'utf8')
      .replace('listen 443 ssl;', `listen 127.0.0.1:${proxyPort} ssl;`)
      .replace('/etc/ssl/certs/torvesk-monitor.pem', path.join(work, 'cert.pem'))
      .replace('/etc/ssl/private/torvesk-monitor.key', path.join(work, 'key.pem'))
      .replace('http://127.0.0.1:8787', `http://127.0.0.1:${monitor.port}`);
  assert.ok(site.includes(String(monitor.port)) && site.includes(String(proxyPort)), 'the site was filled in');
  fs.mkdirSync(path.join(work, 'logs'));
  fs.writeFileSync(path.join(work, 'nginx.conf'), `daemon off;
master_process off;
pid ${work}/nginx.pid;
error_log ${work}/logs/error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path ${work};
  proxy_temp_path ${work};
  fastcgi_temp_path ${work};
  uwsgi_temp_path ${work};
  scgi_temp_path ${work};
${site}
}
`);
  nginx = spawn('nginx', ['-p', work, '-c', path.join(work, 'nginx.conf')], {stdio: ['ignore', 'ignore', 'pipe']});
  let stderr = '';
  nginx.stderr.on('data', (c) => (stderr += c));
  const deadline = Date.now() + NGINX_START_MS;
  for (;;) {
    try {
      await viaProxy('127.0.0.9', '/api/runs');
      break;
    } catch (e) {
      if (Date.now() > deadline || nginx.exitCode !== null) {
        throw new Error('nginx did not start: ' + stderr + fs.readFileSync(path.join(work, 'logs/error.log'), 'utf8'));
      }
      await new Promise((r) => setTimeout(r, 50));
    }
  }
});

after(async () => {
  if (nginx && nginx.exitCode === null) {
    const gone = new Promise((r) => nginx.once('exit', r));
    nginx.kill('SIGTERM');
    await gone;
  }
  if (monitor) await monitor.stop();
  if (work) fs.rmSync(work, {recursive: true, force: true});
});

test('two readers behind the proxy get separate lockouts', async () => {
  for (let i = 0; i < 2; i++) {
    const wrong = await viaProxy('127.0.0.3', '/api/runs', {headers: readAs('wrong-token-0123456789')});
    assert.equal(wrong.status, 401);
  }
  const locked = await viaProxy('127.0.0.3', '/api/runs', {headers: readAs(READ_TOKEN)});
  assert.equal(locked.status, 429, 'the reader who failed is locked out');
  const other = await viaProxy('127.0.0.4', '/api/runs', {headers: readAs(READ_TOKEN)});
  assert.equal(other.status, 200, 'another reader behind the same proxy is not');
});

test("a runner's RunStarted shows the runner's own address", async () => {
  const res = await viaProxy('127.0.0.5', '/ingest', {method: 'POST', headers: pushHeaders, body: runStarted('via-proxy')});
  assert.equal(res.status, 200, res.body);
  assert.equal(await observedIp('via-proxy'), '127.0.0.5');
});

test('a forged X-Forwarded-For gets nothing, through the proxy or past it', async () => {
  const forged = {...pushHeaders, 'X-Forwarded-For': '10.66.66.66'};
  const through = await viaProxy('127.0.0.6', '/ingest', {method: 'POST', headers: forged, body: runStarted('forged-through')});
  assert.equal(through.status, 200, through.body);
  assert.equal(await observedIp('forged-through'), '127.0.0.6');

  // Straight to the monitor from an address it does not trust: the header is ignored.
  const direct = await new Promise((resolve, reject) => {
    const req = net.connect({host: '127.0.0.1', port: monitor.port, localAddress: '127.0.0.7'}, () => {
      const body = runStarted('forged-direct');
      req.write(`POST /ingest HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-ndjson\r\n` +
                `Authorization: Bearer ${INGEST_TOKEN}\r\nX-Forwarded-For: 10.66.66.66\r\n` +
                `Content-Length: ${Buffer.byteLength(body)}\r\nConnection: close\r\n\r\n${body}`);
    });
    let text = '';
    req.on('data', (c) => (text += c));
    req.on('end', () => resolve(text));
    req.on('error', reject);
    req.setTimeout(10000, () => req.destroy(new Error('direct push timed out')));
  });
  assert.match(direct, /^HTTP\/1\.1 200 /);
  assert.equal(await observedIp('forged-direct'), '127.0.0.7');
  // Reads straight to the monitor work as before with the token.
  const read = await request(monitor.url + '/api/runs', {headers: readAs(READ_TOKEN)});
  assert.equal(read.status, 200);
});
