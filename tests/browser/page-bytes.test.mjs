// The page the monitor serves is the source file, byte for byte, on every non-API path. Needs no
// browser: it runs wherever node and the binary are.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import {after, before, test} from 'node:test';
import {SOURCE_PAGE, request, startMonitor} from './monitor.mjs';

let monitor;
before(async () => (monitor = await startMonitor()));
after(async () => monitor?.stop());

test('GET / and every other page path serve assets/dashboard/index.html unchanged', async () => {
  const source = fs.readFileSync(SOURCE_PAGE);
  for (const path of ['/', '/index.html', '/some/other/path?x=1']) {
    const res = await request(monitor.url + path);
    assert.equal(res.status, 200, path);
    assert.equal(res.headers['content-type'], 'text/html; charset=utf-8', path);
    assert.ok(res.body.equals(source), `${path}: served bytes differ from assets/dashboard/index.html`);
  }
});
