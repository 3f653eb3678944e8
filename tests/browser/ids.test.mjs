// Run ids and node ids that the HTML parser would change on their way through an attribute
// (U+0000 becomes U+FFFD, a carriage return a line feed) or that look like escapes and markup:
// clicking an entry opens exactly its run, and choosing an option shows exactly its node.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {POLL_MS, launchBrowser, openPage, request, startMonitor} from './support.mjs';

const T0 = 1700000000000;

// Each pair differs only where the parser would fold one into the other, so opening the wrong one
// is seen. Every string is one JSON string literal, as the runner writes it on the wire.
const IDS = [
  ['nul', '"spoof\\u0000x"'],
  ['replacement character', '"spoof\\uFFFDx"'],
  ['nul alone', '"\\u0000"'],
  ['carriage return', '"cr\\rx"'],
  ['line feed', '"cr\\nx"'],
  ['carriage return and line feed', '"cr\\r\\nx"'],
  ['escape-looking text', '"\\\\u0000 &#0; &#xFFFD; &amp; %00"'],
  ['quotes and markup', '"\\"q\' </script><script>__hit(1)</script>"'],
];
const value = (literal) => JSON.parse(literal);

// Distinct texts carried by each run and node, to tell from the panel which one is shown.
const planOf = (k) => `plan number ${k}`;
const tagOf = (k) => `tag-${k}`;
const NODE_RUN = 'nodes';

function lines() {
  const out = [];
  IDS.forEach(([, id], k) => {
    out.push(`{"type":"RunStarted","ts":${T0 + k},"payload":{"run_id":${id},"plan_name":"${planOf(k)}"}}`);
    out.push(`{"type":"NodeStarted","ts":${T0 + 100 + k},"payload":{"run_id":"${NODE_RUN}","node_id":${id},` +
             `"tag":"${tagOf(k)}"}}`);
  });
  return out;
}

describe('ids the HTML parser would change', () => {
  let monitor, browser, watch, page;
  const detailRequests = [];
  before(async () => {
    monitor = await startMonitor();
    const pushed = lines();
    assert.ok(pushed.some((l) => l.includes('"spoof\\u0000x"')), 'U+0000 travels as a JSON escape');
    await monitor.push(pushed);
    browser = await launchBrowser();
    watch = await openPage(browser.context);
    page = watch.page;
    await page.addInitScript(() => {
      window.__hits = [];
      window.__hit = (n) => window.__hits.push(n);
    });
    page.on('request', (r) => {
      const path = new URL(r.url()).pathname;
      if (path.startsWith('/api/runs/')) detailRequests.push(path);
    });
    await page.goto(monitor.url);
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  test('clicking a run entry opens exactly that run', async () => {
    const listed = JSON.parse((await request(monitor.url + '/api/runs')).body).runs.map((r) => r.run_id);
    assert.equal(listed.length, IDS.length + 1);
    await page.waitForFunction((n) => document.querySelectorAll('#runs .run').length === n, listed.length,
                               {timeout: POLL_MS * 3});
    let previous = null;
    for (const [k, [name, literal]] of IDS.entries()) {
      const id = value(literal);
      const at = listed.indexOf(id);
      assert.ok(at >= 0, `${name}: listed by the monitor`);
      detailRequests.length = 0;
      await page.locator('#runs .run').nth(at).click();
      await page.waitForFunction((plan) => document.querySelector('#detail .banner b')?.textContent === plan,
                                 planOf(k), {timeout: POLL_MS * 3}).catch(() => {});
      assert.equal(await page.textContent('#detail .banner b'), planOf(k), `${name}: banner of the run`);
      // (A refresh tick may still ask for the run shown before.)
      const path = '/api/runs/' + encodeURIComponent(id);
      assert.ok(detailRequests.includes(path) && detailRequests.every((p) => p === path || p === previous),
                `${name}: detail requests ${detailRequests}`);
      previous = path;
      assert.equal(await page.getAttribute('#detail .banner a.save', 'href'),
                   '/api/runs/' + encodeURIComponent(id) + '/download', `${name}: save link`);
      assert.deepEqual(await page.$$eval('#runs .run', (els) => els.flatMap((e, i) => (e.classList.contains('sel') ? [i] : []))),
                       [at], `${name}: selected entry`);
    }
    assert.deepEqual({problems: await watch.problems(), ran: await page.evaluate(() => window.__hits)},
                     {problems: [], ran: []});
  });

  test('choosing a node in the node select shows exactly that node', async () => {
    const listed = JSON.parse((await request(monitor.url + '/api/runs')).body).runs.map((r) => r.run_id);
    await page.locator('#runs .run').nth(listed.indexOf(NODE_RUN)).click();
    await page.waitForFunction((run) => document.querySelector('#detail .banner .rid')?.textContent === run, NODE_RUN,
                               {timeout: POLL_MS * 3});
    // Options come sorted by id after "all nodes".
    const sorted = IDS.map(([, literal]) => value(literal)).sort();
    assert.equal(await page.locator('#detail .filt select option').count(), sorted.length + 1);
    for (const [k, [name, literal]] of IDS.entries()) {
      const at = sorted.indexOf(value(literal)) + 1;
      await page.selectOption('#detail .filt select', {index: at});
      const rows = await page.$$eval('#detail .ev', (els) => els.map((e) => e.textContent));
      assert.equal(rows.length, 1, `${name}: rows of one node`);
      assert.ok(rows[0].includes(`"tag":"${tagOf(k)}"`), `${name}: the node's own row, not ${rows[0]}`);
      assert.equal(await page.$eval('#detail .filt select', (s) => s.selectedIndex), at, `${name}: option kept`);
    }
    await page.selectOption('#detail .filt select', {index: 0});
    assert.equal(await page.locator('#detail .ev').count(), IDS.length);
    assert.deepEqual({problems: await watch.problems(), ran: await page.evaluate(() => window.__hits)},
                     {problems: [], ran: []});
  });
});
