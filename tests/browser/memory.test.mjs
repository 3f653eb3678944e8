// The memory chart: RSS over time from the memory samples, the peak marked and its value shown,
// while the samples' own rows stay hidden. Wrongly typed and huge sizes draw no broken figure.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {ev, openWatchedPage, showRun, startMonitor} from './support.mjs';

const T0 = 1700000000000;
const MB = 1048576;
const RUN = 'memory "><svg onload=__hit(1)> </script> \u2028';

const EVENTS = [
  ev('MemorySample', RUN, {rss: 100 * MB}, T0),
  ev('MemorySample', RUN, {rss: 300 * MB, detail: {processes: '<img src=x onerror=__hit(2)>'}}, T0 + 1000),
  ev('MemorySample', RUN, {rss: '999999999999'}, T0 + 1500),  // not a number: no point
  ev('MemorySample', RUN, {rss: 200 * MB}, T0 + 2000),
  ev('MemorySample', RUN, {rss: null, detail: {total_rss: 50 * MB}}, T0 + 3000),
  ev('NodeLog', RUN, {level: 'info', message: '</script><img src=x onerror=__hit(3)>'}, T0 + 3500),
];

describe('the memory chart', () => {
  let monitor, browser, watch, page;
  before(async () => {
    monitor = await startMonitor();
    await monitor.push(EVENTS);
    await monitor.push([ev('MemorySample', 'huge', {rss: 1e308}, T0), ev('MemorySample', 'huge', {rss: 1}, T0 + 1),
                        ev('MemorySample', 'huge', {rss: -5}, T0 + 2)]);
    ({browser, watch, page} = await openWatchedPage(monitor.url));
    await showRun(page, RUN);
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  const chart = () => page.evaluate(() => {
    const m = document.querySelector('#detail .memoria');
    if (m === null) return null;
    const points = m.querySelector('polyline').getAttribute('points').split(' ').map((p) => p.split(',').map(Number));
    return {caption: m.querySelector('.mem-cap').textContent, points, peakX: Number(m.querySelector('line').getAttribute('x1'))};
  });

  test('the chart shows every numeric sample and the peak while the sample rows are hidden', async () => {
    const got = await chart();
    assert.equal(got.caption, 'RSS over time \u00b7 peak 300.0 MB at 22:13:21.000');
    assert.deepEqual(got.points.map(([x]) => Math.round(x)), [0, 333, 667, 1000]);
    assert.equal(Math.round(got.peakX), 333);
    const ys = got.points.map(([, y]) => y);
    assert.equal(Math.min(...ys), ys[1], 'the peak is the highest point');
    assert.equal(await page.locator('#detail .ev').count(), 1, 'only the log row is drawn');
    // Shown or hidden memory rows change nothing in the chart.
    await page.click('#detail .filt button:has-text("hide memory")');
    await page.waitForFunction(() => document.querySelectorAll('#detail .ev').length === 6);
    assert.deepEqual(await chart(), got);
    await page.click('#detail .filt button:has-text("hide memory")');
  });

  test('huge and negative sizes draw no broken figure', async () => {
    await showRun(page, 'huge');
    const got = await chart();
    assert.equal(got.points.length, 2);
    for (const [x, y] of got.points) assert.ok(Number.isFinite(x) && Number.isFinite(y) && y >= 0 && y <= 60, JSON.stringify(got));
  });

  test('nothing of the hostile content ran or broke the page', async () => {
    assert.deepEqual(await page.evaluate(() => window.__hits), []);
    assert.deepEqual(await watch.problems(), []);
  });
});
