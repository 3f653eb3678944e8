// The node timeline: a bar per node from its start to its end, coloured by outcome, a running node
// reaching the run's last event; a click on a bar shows only that node. Hostile names and times.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {ev, openWatchedPage, POLL_MS, showRun, startMonitor} from './support.mjs';

const T0 = 1700000000000;
const RUN = 'timeline "><svg onload=__hit(1)>';
const FAILED = 'f "><img src=x onerror=__hit(2)> </script> \u2028';
const LABEL = '<b onmouseover=__hit(3)>Loader</b>';

const EVENTS = [
  ev('NodeStarted', RUN, {node_id: 'a', label: LABEL}, T0),
  ev('NodeStarted', RUN, {node_id: 'int'}, T0 + 200),
  ev('NodeStarted', RUN, {node_id: FAILED}, T0 + 500),
  ev('NodeInterrupted', RUN, {node_id: 'int'}, T0 + 700),
  ev('NodeCompleted', RUN, {node_id: 'a', stats: {rows_in: 1, rows_out: 1}}, T0 + 1000),
  ev('NodeStarted', RUN, {node_id: 'run'}, T0 + 1000),
  ev('NodeFailed', RUN, {node_id: FAILED}, T0 + 1500),
  // No bar: an end without a start, a start without a node.
  ev('NodeCompleted', RUN, {node_id: 'never started'}, T0 + 1600),
  ev('NodeStarted', RUN, {node_id: {not: 'an id'}}, T0 + 1700),
  ev('NodeLog', RUN, {node_id: 'run', message: 'last', huge: 1e308}, T0 + 2000),
];
// [name shown, class, x %, width %]
const BARS = [[LABEL, 'completed', 0, 50], ['int', 'interrupted', 10, 25], [FAILED, 'failed', 25, 50], ['run', 'running', 50, 50]];

describe('the node timeline', () => {
  let monitor, browser, watch, page;
  before(async () => {
    monitor = await startMonitor();
    await monitor.push(EVENTS);
    await monitor.push([ev('NodeStarted', 'huge times', {node_id: 'x'}, -1e308), ev('NodeLog', 'huge times', {}, 1e308)]);
    ({browser, watch, page} = await openWatchedPage(monitor.url));
    await showRun(page, RUN);
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  const bars = () => page.$$eval('#detail .tempi .tl', (rows) => rows.map((r) => {
    const rect = r.querySelector('svg rect');
    return [r.querySelector('.tl-nome').textContent, rect.getAttribute('class'),
            Number.parseFloat(rect.getAttribute('x')), Number.parseFloat(rect.getAttribute('width'))];
  }));

  test('each started node has one bar from its start to its end, coloured by its outcome', async () => {
    const got = await bars();
    assert.equal(got.length, BARS.length, JSON.stringify(got));
    for (const [i, want] of BARS.entries()) {
      const [name, cls, x, w] = got[i];
      assert.deepEqual([name, cls], want.slice(0, 2), `bar ${i}`);
      assert.ok(Math.abs(x - want[2]) < 0.1 && Math.abs(w - want[3]) < 0.1, `bar ${i}: ${x} ${w}`);
    }
    assert.equal(await page.$$eval('#detail .tempi svg title', (t) => t[2].textContent), FAILED + ' \u00b7 failed \u00b7 1000 ms');
  });

  test('a click on a bar shows only its node', async () => {
    await page.locator('#detail .tempi .tl svg').nth(2).click();
    await page.waitForFunction((want) => {
      const s = document.querySelector('#detail .filt select');
      return s !== null && s.options[s.selectedIndex].textContent === want;
    }, FAILED, {timeout: POLL_MS});
    assert.equal(await page.locator('#detail .ev').count(), 2);
    await page.selectOption('#detail .filt select', '');
  });

  test('a running node grows to the run\'s last event', async () => {
    await monitor.push([ev('NodeLog', RUN, {node_id: 'run', message: 'later'}, T0 + 4000)]);
    await page.waitForFunction(() => document.querySelectorAll('#detail .ev').length === 11, null, {timeout: POLL_MS * 3});
    const got = await bars();
    // The span is now 4000 ms: the running node starts at 25 % and reaches the end.
    assert.deepEqual(got.at(-1).slice(0, 2), ['run', 'running']);
    assert.ok(Math.abs(got.at(-1)[2] - 25) < 0.1 && Math.abs(got.at(-1)[3] - 75) < 0.1, JSON.stringify(got.at(-1)));
  });

  test('huge times draw no broken figure', async () => {
    await showRun(page, 'huge times');
    const got = await bars();
    assert.equal(got.length, 1);
    assert.ok(got.every(([, , x, w]) => Number.isFinite(x) && Number.isFinite(w) && x >= 0 && x + w <= 100.01), JSON.stringify(got));
  });

  test('nothing of the hostile content ran or broke the page', async () => {
    await page.hover('#detail .tempi .tl');
    assert.deepEqual(await page.evaluate(() => window.__hits), []);
    assert.deepEqual(await watch.problems(), []);
  });
});
