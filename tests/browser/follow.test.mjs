// Following a live run: at the end of the panel new events keep it there; scrolled away, a refresh
// leaves the scroll position, the focus and the user's text selection alone and counts the new
// rows on a control that jumps back.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {ev, openWatchedPage, POLL_MS, showRun, startMonitor} from './support.mjs';

const T0 = 1700000000000;
const RUN = 'live <img src=x onerror=__hit(1)>';
const FIRST = 390;  // rows to scroll through; the next push starts another lazily laid-out block
let ts = T0;
const logs = (n, extra = {}) => Array.from({length: n}, (_, i) =>
    ev('NodeLog', RUN, {level: 'info', message: `"><svg onload=__hit(2)> line ${ts - T0} &amp; </script>`, i, ...extra},
       ts++));

describe('following new events', () => {
  let monitor, browser, watch, page;
  before(async () => {
    monitor = await startMonitor();
    await monitor.push(logs(FIRST));
    ({browser, watch, page} = await openWatchedPage(monitor.url));
    await showRun(page, RUN);
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  const rows = (n) => page.waitForFunction((want) => document.querySelectorAll('#detail .ev').length === want, n,
                                           {timeout: POLL_MS * 3});
  // Where the panel is, after the browser has laid out what it shows.
  const position = () => page.evaluate(async () => {
    for (let i = 0; i < 3; i++) await new Promise((r) => requestAnimationFrame(r));
    const det = document.getElementById('detail');
    const last = [...document.querySelectorAll('#detail .ev')].at(-1).getBoundingClientRect();
    const box = det.getBoundingClientRect();
    return {top: det.scrollTop, atEnd: det.scrollTop + det.clientHeight >= det.scrollHeight - 4,
            lastShown: last.bottom <= box.bottom + 1 && last.top >= box.top};
  });
  const control = async () => {
    const b = page.locator('#nuovi');
    return (await b.isVisible()) ? await b.textContent() : null;
  };
  const toEnd = () => page.evaluate(async () => {
    const det = document.getElementById('detail');
    for (let i = 0; i < 10 && det.scrollTop + det.clientHeight < det.scrollHeight - 4; i++) {
      det.scrollTop = det.scrollHeight;
      await new Promise((r) => requestAnimationFrame(r));
    }
  });

  test('a run opens at its top; at the end, new events keep the panel at its end', async () => {
    const start = await position();
    assert.equal(start.top, 0);
    assert.equal(start.atEnd, false, 'the run is long enough to scroll');
    await toEnd();
    await monitor.push(logs(20));
    await rows(FIRST + 20);
    const p = await position();
    assert.deepEqual([p.atEnd, p.lastShown], [true, true]);
    assert.equal(await control(), null);
  });

  test('scrolled up, refreshes keep position, focus and selection and count the new rows', async () => {
    await page.hover('#detail');
    await page.mouse.wheel(0, -2500);
    await page.waitForFunction(() => {
      const det = document.getElementById('detail');
      return det.scrollTop + det.clientHeight < det.scrollHeight - 400;
    });
    // Text selected in a row and in the banner, and the focus on the filter bar's node select,
    // which gains an option (a hostile node id) with the next refresh.
    const selected = await page.evaluate(() => {
      const row = document.querySelectorAll('#detail .ev')[5];
      const r = document.createRange();
      r.selectNodeContents(row);
      getSelection().removeAllRanges();
      getSelection().addRange(r);
      return getSelection().toString();
    });
    await monitor.push([ev('NodeStarted', RUN, {node_id: 'first'}, ts++)]);
    await rows(FIRST + 21);
    await page.focus('#detail .filt select');
    await page.evaluate(() => (document.querySelector('#detail .filt select').__marker = 1));
    // (Focusing the select brought it into view.)
    const {top, atEnd} = await position();
    assert.equal(atEnd, false);
    await monitor.push([ev('NodeStarted', RUN, {node_id: '"><img src=x onerror=__hit(3)>'}, ts++), ...logs(2)]);
    await rows(FIRST + 24);
    assert.deepEqual(await page.$$eval('#detail .filt select option', (els) => els.map((o) => o.textContent)),
                     ['all nodes', '"><img src=x onerror=__hit(3)>', 'first']);
    assert.equal((await position()).top, top);
    assert.equal(await control(), '4 new events');
    assert.deepEqual(await page.evaluate(() => ({
      selection: getSelection().toString(),
      focused: document.activeElement === document.querySelector('#detail .filt select') &&
               document.activeElement.__marker === 1,
    })), {selection: selected, focused: true});

    // The banner's run id stays selected while its event count changes.
    await page.evaluate(() => {
      const r = document.createRange();
      r.selectNodeContents(document.querySelector('#detail .banner .rid'));
      getSelection().removeAllRanges();
      getSelection().addRange(r);
    });
    await monitor.push(logs(1));
    await rows(FIRST + 25);
    assert.equal(await page.textContent('#detail .banner .brow > .muted'), `${FIRST + 25} events`);
    assert.equal(await page.evaluate(() => getSelection().toString()), RUN);
    assert.equal(await control(), '5 new events');
    assert.equal((await position()).top, top);
  });

  test('the control jumps to the end and follows again; reaching the end by hand hides it too', async () => {
    await page.click('#nuovi');
    assert.equal((await position()).atEnd, true);
    assert.equal(await control(), null);
    await monitor.push(logs(3));
    await rows(FIRST + 28);
    const p = await position();
    assert.deepEqual([p.atEnd, p.lastShown], [true, true]);

    await page.hover('#detail');
    await page.mouse.wheel(0, -1500);
    await monitor.push(logs(1));
    await rows(FIRST + 29);
    assert.equal(await control(), '1 new events');
    await toEnd();
    await page.waitForFunction(() => document.getElementById('nuovi').hidden);
    await monitor.push(logs(1));
    await rows(FIRST + 30);
    assert.equal((await position()).atEnd, true);
    assert.deepEqual({problems: await watch.problems(), ran: await page.evaluate(() => window.__hits)},
                     {problems: [], ran: []});
  });
});
