// A large run held at its event cap: every row the filters and the search keep can be reached by
// scrolling, in order and highlighted, and the counts cover every event. When new events push the
// oldest out, those leave the top while the other rows stay the same elements, and the end is still
// followed. Hostile content throughout.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {ev, openPage, openWatchedPage, POLL_MS, showRun, startMonitor} from './support.mjs';

const T0 = 1700000000000;
const RUN = 'big "><svg onload=__hit(1)> </script>';
const CAP = 3000;         // events the monitor holds per run in this test
const N = 6000;           // events pushed: the run ends up full, holding the newest CAP
const NEEDLE = "needle<'&";
const matches = (i) => i % 5 < 2;
const MAX_STEPS = 2000;   // scroll steps through the whole list, far more than it needs
let pushed = N;
const held = () => Array.from({length: CAP}, (_, i) => pushed - CAP + i);

function makeEvents(from, n) {
  return Array.from({length: n}, (_, k) => {
    const i = from + k;
    const p = {node_id: 'n' + (i % 7), level: i % 97 === 0 ? ['error'] : 'info', huge: 1e308, big: 123456789012345678901234567890,
               message: `#${i}# </script><img src=x onerror=__hit(2)> 'q' "dq" \u2028 & <b>`, label: i % 11 === 0 ? {x: 1} : 7};
    if (matches(i)) p.tag = NEEDLE;
    return ev('NodeLog', RUN, p, T0 + i);
  });
}

describe('a large run at its event cap', () => {
  let monitor, browser, watch, page;
  before(async () => {
    monitor = await startMonitor({env: {MONITOR_MAX_EVENTS: String(CAP)}});
    for (let i = 0; i < N; i += 2000) await monitor.push(makeEvents(i, 2000));
    ({browser, watch, page} = await openWatchedPage(monitor.url, {viewport: {width: 1200, height: 800}}));
    await showRun(page, RUN);
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  // Scrolls the panel from its top to its end and returns the row numbers seen, in order, with
  // whether each row had a highlight.
  const scrollThrough = () => page.evaluate(async (maxSteps) => {
    const det = document.getElementById('detail');
    const frame = () => new Promise((r) => requestAnimationFrame(() => setTimeout(r, 0)));
    det.scrollTop = 0;
    await frame();
    const seen = new Map();
    const order = [];
    for (let step = 0; step < maxSteps; step++) {
      const box = det.getBoundingClientRect();
      for (const row of det.querySelectorAll('.ev')) {
        const r = row.getBoundingClientRect();
        if (r.bottom < box.top || r.top > box.bottom) continue;
        const m = /#(\d+)#/.exec(row.textContent);
        const i = m ? Number(m[1]) : -1;
        if (!seen.has(i)) {
          seen.set(i, row.querySelector('mark') !== null);
          order.push(i);
        }
      }
      if (det.scrollTop + det.clientHeight >= det.scrollHeight - 2) break;
      det.scrollTop += Math.floor(det.clientHeight * 0.8);
      await frame();
    }
    return {order, marked: [...seen.values()].every(Boolean)};
  }, MAX_STEPS);

  test('every row can be reached by scrolling, in order, and the banner counts every event', async () => {
    const banner = await page.textContent('#detail .banner');
    assert.ok(banner.includes(CAP + ' events'), banner);
    const {order} = await scrollThrough();
    assert.deepEqual(order, held());
  });

  test('a search covers every event: its summary counts all matches, each is reachable and highlighted', async () => {
    await page.fill('#q', NEEDLE);
    const expected = held().filter(matches);
    await page.waitForFunction((want) => (document.querySelector('#detail .cerca')?.textContent || '').startsWith(want),
                               `${expected.length} events out of ${CAP} contain ${NEEDLE}`, {timeout: POLL_MS * 3});
    const {order, marked} = await scrollThrough();
    assert.deepEqual(order, expected);
    assert.ok(marked, 'every found row highlights the search text');
    const tags = await page.textContent('#detail .cerca .tags');
    assert.equal(tags, `NodeLog ${expected.length}`);
    // A node filter on top: the node select lists every node of the run.
    const nodes = await page.$$eval('#detail .filt select option', (os) => os.map((o) => o.textContent));
    assert.deepEqual(nodes, ['all nodes', 'n0', 'n1', 'n2', 'n3', 'n4', 'n5', 'n6']);
    await page.fill('#q', '');
    await page.waitForFunction(() => document.querySelector('#detail .cerca') === null, null, {timeout: POLL_MS * 3});
  });

  test('a click on a row far down links to that row, and the link brings it back into view', async () => {
    const target = await page.evaluate(async () => {
      const det = document.getElementById('detail');
      det.scrollTop = det.scrollHeight * 0.6;
      for (let i = 0; i < 3; i++) await new Promise((r) => requestAnimationFrame(r));
      const box = det.getBoundingClientRect();
      const row = [...det.querySelectorAll('.ev')].find((r) => r.getBoundingClientRect().top > box.top + 50);
      const r = row.querySelector('.ty').getBoundingClientRect();
      return {x: r.left + 2, y: r.top + 2};
    });
    await page.mouse.click(target.x, target.y);
    await page.waitForFunction(() => /[#&]ev=\d+/.test(location.hash), null, {timeout: POLL_MS * 3});
    const hash = await page.evaluate(() => location.hash);
    // The link names the row by its position among the events the run holds.
    const pos = pushed - CAP + Number(new URLSearchParams(hash.slice(1)).get('ev'));
    const chosen = await page.textContent('#detail .ev.scelto');
    assert.ok(chosen.includes(`#${pos}#`), chosen);
    // The same link in a fresh page shows that row.
    const fresh = await openPage(browser.context);
    await fresh.page.setViewportSize({width: 1200, height: 800});
    await fresh.page.goto(monitor.url + '/' + hash);
    const shown = await fresh.page.waitForFunction(() => {
      const det = document.getElementById('detail');
      const row = document.querySelector('#detail .ev.scelto');
      if (row === null) return null;
      const a = row.getBoundingClientRect(), b = det.getBoundingClientRect();
      return a.top >= b.top && a.bottom <= b.bottom ? row.textContent : null;
    }, null, {timeout: POLL_MS * 3});
    assert.ok((await shown.jsonValue()).includes(`#${pos}#`));
    assert.deepEqual(await fresh.problems(), []);
    await fresh.page.close();
  });

  test('at the end, new events are followed; scrolled away, they are counted', async () => {
    await page.evaluate(async () => {
      const det = document.getElementById('detail');
      for (let i = 0; i < 10 && det.scrollTop + det.clientHeight < det.scrollHeight - 4; i++) {
        det.scrollTop = det.scrollHeight;
        await new Promise((r) => requestAnimationFrame(r));
      }
    });
    // One row that stays is marked: it must stay the same element while older rows leave.
    await page.evaluate(() => {
      const row = [...document.querySelectorAll('#detail .ev')].find((r) => r.textContent.includes('#5000#'));
      row.__marker = 1;
    });
    await monitor.push(makeEvents(N, 30));
    pushed += 30;
    const lastShown = () => page.waitForFunction((want) => {
      const det = document.getElementById('detail');
      const rows = det.querySelectorAll('.ev');
      const last = rows[rows.length - 1];
      if (!last || !last.textContent.includes(want)) return false;
      const a = last.getBoundingClientRect(), b = det.getBoundingClientRect();
      return a.bottom <= b.bottom + 1 && a.top >= b.top;
    }, `#${N + 29}#`, {timeout: POLL_MS * 4});
    await lastShown();
    const rows = await page.evaluate(() => {
      const all = [...document.querySelectorAll('#detail .ev')];
      return {n: all.length, first: /#(\d+)#/.exec(all[0].textContent)[1],
              marked: all.filter((r) => r.__marker === 1).map((r) => /#(\d+)#/.exec(r.textContent)[1])};
    });
    assert.deepEqual(rows, {n: CAP, first: String(pushed - CAP), marked: ['5000']});
    await page.mouse.move(600, 400);
    await page.mouse.wheel(0, -3000);
    await page.waitForFunction(() => {
      const det = document.getElementById('detail');
      return det.scrollTop + det.clientHeight < det.scrollHeight - 400;
    }, null, {timeout: POLL_MS});
    await monitor.push(makeEvents(N + 30, 20));
    pushed += 20;
    await page.waitForFunction(() => {
      const b = document.getElementById('nuovi');
      return !b.hidden && b.textContent === '20 new events';
    }, null, {timeout: POLL_MS * 4});
    await page.click('#nuovi');
    await lastShown().catch(() => {});
    const text = await page.evaluate(() => [...document.querySelectorAll('#detail .ev')].at(-1).textContent);
    assert.ok(text.includes(`#${N + 49}#`), text);
  });

  test('nothing of the hostile content ran or broke the page', async () => {
    assert.deepEqual(await page.evaluate(() => window.__hits), []);
    assert.deepEqual(await watch.problems(), []);
  });
});
