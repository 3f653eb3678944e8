// Keyboard use of the page: j/k and the arrow keys move between the runs of the list, Enter opens
// the run, "/" goes to the search field, and what has the focus shows it.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {ev, openWatchedPage, POLL_MS, startMonitor} from './support.mjs';

const T0 = 1700000000000;
// Newest first in the list; the ids are hostile, and two of them are the keys themselves.
const IDS = ['"><img src=x onerror=__hit(1)>', 'k', "</script><script>__hit(2)</script>\r'", 'j'];

describe('keyboard', () => {
  let monitor, browser, watch, page;
  before(async () => {
    monitor = await startMonitor();
    await monitor.push(IDS.map((id, i) => ev('RunStarted', id, {plan_name: `plan ${i}`}, T0 + IDS.length - i)));
    ({browser, watch, page} = await openWatchedPage(monitor.url));
    await page.waitForFunction((n) => document.querySelectorAll('#runs .run').length === n, IDS.length,
                               {timeout: POLL_MS * 3});
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  // The position in the list of the focused entry, the plan name of its run and its outline.
  const focused = () => page.evaluate(() => {
    const el = document.activeElement;
    const all = [...document.querySelectorAll('#runs .run')];
    return {at: all.indexOf(el), plan: el.querySelector?.('.pname')?.textContent ?? null,
            outline: getComputedStyle(el).outlineStyle};
  });

  test('j, k and the arrows move the focus along the list, within its ends', async () => {
    const steps = [['j', 0], ['j', 1], ['ArrowDown', 2], ['ArrowDown', 3], ['j', 3], ['k', 2], ['ArrowUp', 1],
                   ['k', 0], ['ArrowUp', 0]];
    for (const [key, at] of steps) {
      await page.keyboard.press(key);
      const f = await focused();
      assert.deepEqual(f, {at, plan: `plan ${at}`, outline: 'solid'}, `after ${key}`);
    }
    assert.equal(await page.locator('#detail .banner').count(), 0, 'moving opens nothing');
  });

  test('Enter opens the focused run, and the focus stays on it across refreshes', async () => {
    await page.keyboard.press('j');
    await page.keyboard.press('j');
    await page.keyboard.press('Enter');
    await page.waitForFunction(() => document.querySelector('#detail .banner b')?.textContent === 'plan 2',
                               null, {timeout: POLL_MS * 3});
    assert.equal(await page.textContent('#detail .banner .rid'), IDS[2]);
    assert.deepEqual(await focused(), {at: 2, plan: 'plan 2', outline: 'solid'});
    // A new event moves the focused run to the top of the list: the focus goes with it.
    await monitor.push([ev('NodeLog', IDS[2], {level: 'info'}, T0 + 100)]);
    await page.waitForFunction(() => document.querySelector('#runs .run .pname')?.textContent === 'plan 2', null,
                               {timeout: POLL_MS * 3});
    assert.deepEqual(await focused(), {at: 0, plan: 'plan 2', outline: 'solid'});
    assert.deepEqual(await page.$$eval('#runs .run.sel .pname', (els) => els.map((e) => e.textContent)), ['plan 2']);
  });

  test('"/" goes to the search field, where the keys are typed and move nothing', async () => {
    await page.keyboard.press('/');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'q');
    await page.keyboard.type('jk/');
    await page.keyboard.press('ArrowDown');
    assert.equal(await page.inputValue('#q'), 'jk/');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'q');
    assert.equal(await page.evaluate(() => getComputedStyle(document.activeElement).outlineStyle), 'solid');
    await page.fill('#q', '');
    assert.deepEqual({problems: await watch.problems(), ran: await page.evaluate(() => window.__hits)},
                     {problems: [], ran: []});
  });
});
