// A run still running whose last event is 5 minutes old or more says so in the list and in its
// banner, and the figure follows the clock without new events.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {ev, openWatchedPage, POLL_MS, startMonitor} from './support.mjs';

const MIN = 60000;
const NOW = Date.now();
// [name, run id, status it ends with, age of its last event]
const RUNS = [
  ['silent', 'quiet "><img src=x onerror=__hit(1)>', 'running', 7.5 * MIN],
  ['just under the limit', 'recent </script>', 'running', 4 * MIN],
  ['completed long ago', 'done', 'completed', 20 * MIN],
  ['failed long ago', 'broken', 'failed', 20 * MIN],
];
const END = {completed: 'RunCompleted', failed: 'RunFailed'};

describe('silent runs', () => {
  let monitor, browser, watch, page;
  before(async () => {
    monitor = await startMonitor();
    for (const [, id, status, age] of RUNS) {
      const ts = NOW - age;
      await monitor.push([ev('RunStarted', id, {plan_name: id}, ts - 1),
                          ...(END[status] ? [ev(END[status], id, {}, ts)] : [ev('NodeLog', id, {level: 'info'}, ts)])]);
    }
    ({browser, watch, page} = await openWatchedPage(monitor.url));
    await page.waitForFunction((n) => document.querySelectorAll('#runs .run').length === n, RUNS.length,
                               {timeout: POLL_MS * 3});
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  // The silence line of every list entry, by plan name (null without one).
  const lines = () => page.$$eval('#runs .run', (els) => Object.fromEntries(
      els.map((e) => [e.querySelector('.pname').textContent, e.querySelector('.ferma')?.textContent ?? null])));
  const entry = (id) => page.locator('#runs .run').filter({has: page.locator('.pname', {hasText: id})});

  test('only running runs silent for 5 minutes or more say so, in whole minutes', async () => {
    const want = Object.fromEntries(RUNS.map(([, id, status, age]) =>
        [id, status === 'running' && age >= 5 * MIN ? `no event for ${Math.floor(age / MIN)} min` : null]));
    assert.deepEqual(await lines(), want);
    // The line comes last, under the count and the provenance.
    assert.equal(await entry(RUNS[0][1]).locator(':scope > :last-child').getAttribute('class'), 'ferma');
  });

  test('the banner says so too, and both follow the clock without new events', async () => {
    const [, quiet] = RUNS[0], [, recent] = RUNS[1];
    await entry(quiet).click();
    await page.waitForFunction((id) => document.querySelector('#detail .banner .rid')?.textContent === id, quiet);
    assert.equal(await page.textContent('#detail .banner .ferma'), 'no event for 7 min');
    assert.equal(await page.textContent('#detail .banner .brow > .muted'), '2 events');

    await page.clock.setFixedTime(NOW + 10 * MIN);
    await page.waitForFunction(() => document.querySelector('#detail .banner .ferma')?.textContent === 'no event for 17 min',
                               null, {timeout: POLL_MS * 3});
    const now = await lines();
    assert.equal(now[quiet], 'no event for 17 min');
    assert.equal(now[recent], 'no event for 14 min');

    // An event ends the silence in the list and in the banner.
    await monitor.push([ev('NodeLog', quiet, {level: 'info'}, NOW + 10 * MIN)]);
    await page.waitForFunction(() => document.querySelector('#detail .banner .brow > .muted')?.textContent === '3 events',
                               null, {timeout: POLL_MS * 3});
    assert.equal(await page.locator('#detail .banner .ferma').count(), 0);
    assert.equal((await lines())[quiet], null);
    assert.deepEqual({problems: await watch.problems(), ran: await page.evaluate(() => window.__hits)},
                     {problems: [], ran: []});
  });
});
