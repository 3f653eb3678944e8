// The run at a glance: the banner counts error and warning events, marks a completed run that
// rejected rows or broke rules, and jumps to the first error; a failed node's chip and a rule's chip
// show only that node. Hostile ids, labels and wrongly typed values throughout.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {ev, openWatchedPage, POLL_MS, showRun, startMonitor} from './support.mjs';

const T0 = 1700000000000;
const BAD = '"><img src=x onerror=__hit(1)> </script> \u2028 \'';
const FAILED = 'fail ' + BAD;
const RULED = 'rule <svg onload=__hit(2)>';
const FILLER = 600;  // rows before the first error: it starts out of view

function violations(id) {
  let ts = T0;
  const out = [ev('RunStarted', id, {plan_name: '<b>plan</b>'}, ts++)];
  for (let i = 0; i < FILLER; i++) out.push(ev('NodeLog', id, {node_id: 'other', level: 'info', message: `filler ${i} ` + BAD}, ts++));
  out.push(ev('NodeStarted', id, {node_id: FAILED, label: {not: 'a label'}}, ts++));
  out.push(ev('NodeLog', id, {node_id: FAILED, level: 'error', message: 'first error ' + BAD, huge: 1e308}, ts++));
  out.push(ev('NodeLog', id, {node_id: 'other', level: 'warn', message: 'careful'}, ts++));
  out.push(ev('NodeLog', id, {node_id: 'other', level: 5, message: 'level of the wrong type'}, ts++));
  out.push(ev('NodeFailed', id, {node_id: FAILED}, ts++));
  out.push(ev('NodeRuleStats', id, {node_id: RULED, rules: [{rule: BAD, action: 'reject', violations: '5'}, null, 7]}, ts++));
  out.push(ev('NodeCompleted', id, {node_id: RULED, stats: {rows_in: 12345678901234567890, rows_out: 'x', rows_rejected: 1e308}}, ts++));
  out.push(ev('RunCompleted', id, {elapsed_ms: 1500}, ts++));
  return out;
}

const CASES = [
  // [run id, events, mark shown, errors text, warnings text]
  ['violations ' + BAD, violations('violations ' + BAD), true, '2 errors', '2 warnings'],
  ['clean', [ev('NodeCompleted', 'clean', {node_id: 'a', stats: {rows_in: 1, rows_out: 1, rows_rejected: 0}}, T0),
             ev('NodeRuleStats', 'clean', {node_id: 'a', rules: [{rule: 'r', action: 'reject', violations: 0}]}, T0 + 1),
             ev('RunCompleted', 'clean', {}, T0 + 2)], false, null, null],
  ['running with rejections', [ev('NodeCompleted', 'running with rejections', {node_id: 'a', stats: {rows_rejected: 3}}, T0),
                              ev('NodeLog', 'running with rejections', {level: 'warn'}, T0 + 1)], false, null, '1 warning'],
];

describe('the run at a glance', () => {
  let monitor, browser, watch, page;
  before(async () => {
    monitor = await startMonitor();
    for (const [, events] of CASES) await monitor.push(events);
    ({browser, watch, page} = await openWatchedPage(monitor.url, {viewport: {width: 1200, height: 800}}));
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  const glance = () => page.evaluate(() => {
    const one = (sel) => document.querySelector('#detail .banner .colpo ' + sel)?.textContent ?? null;
    return {mark: one('.violazioni'), errors: one('.nerr'), warnings: one('.nwarn'), jump: one('button.primo')};
  });

  test('the banner counts errors and warnings and marks a completed run with violations', async () => {
    for (const [id, , mark, errors, warnings] of CASES) {
      await showRun(page, id);
      assert.deepEqual(await glance(), {mark: mark ? 'completed with violations' : null, errors, warnings,
                                        jump: errors === null ? null : 'first error'}, id);
    }
  });

  test('"first error" shows the first error row, whatever node is filtered', async () => {
    await showRun(page, CASES[0][0]);
    await page.selectOption('#detail .filt select', 'other');
    await page.click('#detail .banner button.primo');
    const shown = await page.waitForFunction(() => {
      const det = document.getElementById('detail');
      const row = document.querySelector('#detail .ev.scelto');
      if (row === null) return null;
      const a = row.getBoundingClientRect(), b = det.getBoundingClientRect();
      return a.top >= b.top && a.bottom <= b.bottom ? [row.className, row.textContent] : null;
    }, null, {timeout: POLL_MS * 2});
    const [cls, text] = await shown.jsonValue();
    assert.equal(cls, 'ev err scelto');
    assert.ok(text.includes('NodeLog') && text.includes('first error'), text);
    assert.equal(await page.inputValue('#detail .filt select'), '');
  });

  test('a failed node chip and a rule chip show only their node', async () => {
    await showRun(page, CASES[0][0]);
    for (const [chip, node] of [['.nodo.err', FAILED], ['.nodo.warn', RULED]]) {
      await page.click('#detail .chips ' + chip);
      await page.waitForFunction((want) => {
        const s = document.querySelector('#detail .filt select');
        return s !== null && s.options[s.selectedIndex].textContent === want;
      }, node, {timeout: POLL_MS});
      assert.ok(await page.locator('#detail .ev').count() > 0, chip);
    }
    // The failed node's chip and the two rule chips filter; the other node chips do not.
    await page.selectOption('#detail .filt select', '');
    assert.equal(await page.locator('#detail .chips .nodo[onclick]').count(), 3);
  });

  test('nothing of the hostile content ran or broke the page', async () => {
    assert.deepEqual(await page.evaluate(() => window.__hits), []);
    assert.deepEqual(await watch.problems(), []);
  });
});
