// The run summary worked out from the events: outcome, duration, node and rule chips.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {ev, launchBrowser, openPage, showRun, startMonitor, texts} from './support.mjs';

const T0 = 1700000000000;

// Each run is one summary case; `sum` is the run's closing event payload when it has one.
const RUNS = {
  'failed-no-node-stats': [
    ev('RunStarted', 'failed-no-node-stats', {}, T0),
    ev('NodeStarted', 'failed-no-node-stats', {node_id: 'n1', label: 'Read'}, T0 + 1),
    ev('NodeStarted', 'failed-no-node-stats', {node_id: 'n2'}, T0 + 2),
    ev('NodeCompleted', 'failed-no-node-stats', {node_id: 'n1', stats: {rows_in: 10, rows_out: 8, rows_rejected: 2}}, T0 + 3),
    ev('NodeCompleted', 'failed-no-node-stats', {node_id: 'n2', stats: {rows_in: 8, rows_out: 8}}, T0 + 4),
    ev('RunFailed', 'failed-no-node-stats', {error: 'lane 2 <lost>', stats: {lanes_ok: 3, lanes_failed: 1}}, T0 + 2500),
  ],
  'interrupted-then-failed': [
    ev('NodeStarted', 'interrupted-then-failed', {node_id: 'x'}, T0),
    ev('NodeInterrupted', 'interrupted-then-failed', {node_id: 'x'}, T0 + 1),
    ev('NodeFailed', 'interrupted-then-failed', {node_id: 'x'}, T0 + 2),
    ev('RunFailed', 'interrupted-then-failed', {stats: {node_stats: {}}}, T0 + 3),
  ],
  'd999': [ev('RunCompleted', 'd999', {elapsed_ms: 999}, T0)],
  'd1000': [ev('RunCompleted', 'd1000', {elapsed_ms: 1000}, T0)],
  'elapsed-zero': [ev('RunCompleted', 'elapsed-zero', {elapsed_ms: 0, stats: {total_ms: 4321}}, T0)],
  'completed-then-failed': [
    ev('RunCompleted', 'completed-then-failed', {}, T0),
    ev('RunFailed', 'completed-then-failed', {}, T0 + 5),
  ],
  'failed-then-completed': [
    ev('RunFailed', 'failed-then-completed', {error: 'not shown'}, T0),
    ev('RunCompleted', 'failed-then-completed', {stats: {node_stats: {a: {rows_in: 1, rows_out: 5}, b: {rows_out: 7}}}}, T0 + 5),
  ],
  'rules': [
    ev('NodeRuleStats', 'rules', {node_id: 'r', label: 'Rules', rules: [
      {rule: 'ids', action: 'reject', violations: 3},
      {rule: 'sum', action: 'warn', violations: 0},
      {rule: 'fmt', action: 'reject', violations: '5'},
      {rule: 'key', action: 'error', violations: 2},
    ]}, T0),
    ev('RunCompleted', 'rules', {}, T0 + 1),
  ],
  'logs-only': [
    ev('NodeLog', 'logs-only', {level: 'info', message: 'a'}, T0),
    ev('NodeLog', 'logs-only', {level: 'error', message: 'b'}, T0 + 1),
  ],
};

describe('run summary', () => {
  let monitor, browser, page;
  before(async () => {
    monitor = await startMonitor();
    await monitor.push(Object.values(RUNS).flat());
    browser = await launchBrowser();
    ({page} = await openPage(browser.context, monitor.url));
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  // The summary cells as "caption=value", with " !" after a cell marked bad.
  const cells = () => page.$$eval('#detail .riep .cell', (els) => els.map(
      (c) => c.querySelector('.cap').textContent + '=' + c.querySelector('.val').textContent +
             (c.classList.contains('bad') ? ' !' : '')));
  const chips = () => page.$$eval('#detail .chips .nodo', (els) => els.map((c) => c.className + ': ' + c.textContent));

  test('a failed run without node_stats is rebuilt from its NodeCompleted events', async () => {
    await showRun(page, 'failed-no-node-stats');
    assert.deepEqual(await cells(), ['outcome=failed !', 'duration=2.50 s', 'rows (max per node)=8',
                                     'dropped=2 !', 'nodes=2', 'lanes ok / ko=3 / 1 !']);
    // Box, error line, node chips, note: in this order.
    const order = await page.$$eval('#detail .riep, #detail .errline, #detail .chips, #detail .ricostruiti',
                                    (els) => els.map((e) => e.className));
    assert.deepEqual(order, ['riep', 'errline', 'chips', 'ricostruiti muted']);
    assert.equal(await page.textContent('#detail .errline'), 'lane 2 <lost>');
    assert.deepEqual(await chips(), ['nodo: Read 10 \u2192 8 2 dropped', 'nodo: n2 8 \u2192 8']);
    assert.equal(await page.textContent('#detail .ricostruiti'),
                 'numbers reconstructed from node events (the final run summary did not contain them)');
  });

  test('a node interrupted and then failed gets one chip and counts under both', async () => {
    await showRun(page, 'interrupted-then-failed');
    assert.deepEqual(await cells(), ['outcome=failed !', 'duration=\u2014', 'nodes=1 (1 interrupted, 1 failed) !']);
    assert.deepEqual(await chips(), ['nodo err: x \u2014 \u2192 \u2014 \u2716']);
    assert.equal(await page.locator('#detail .ricostruiti').count(), 0);
    assert.equal(await page.locator('#detail .errline').count(), 0);
  });

  test('duration, outcome order and final node figures', async () => {
    const cases = [
      ['d999', ['outcome=completed', 'duration=999 ms', 'nodes=0']],
      ['d1000', ['outcome=completed', 'duration=1.00 s', 'nodes=0']],
      ['elapsed-zero', ['outcome=completed', 'duration=4.32 s', 'nodes=0']],
      ['completed-then-failed', ['outcome=failed !', 'duration=\u2014', 'nodes=0']],
      ['failed-then-completed', ['outcome=completed', 'duration=\u2014', 'rows (max per node)=7', 'nodes=2']],
    ];
    for (const [id, want] of cases) {
      await showRun(page, id);
      assert.deepEqual(await cells(), want, id);
    }
    // The badge follows the server's status, the summary the last closing event.
    assert.equal(await page.textContent('#detail .banner .badge'), 'completed');
    assert.deepEqual(await chips(), ['nodo: a 1 \u2192 5', 'nodo: b 0 \u2192 7']);
    assert.equal(await page.locator('#detail .errline').count(), 0);
  });

  test('rule chips, their marks and the rule event row', async () => {
    await showRun(page, 'rules');
    assert.deepEqual(await chips(), [
      'nodo warn: Rules \u00b7 ids 3 rejected reject',
      'nodo: Rules \u00b7 sum always met warn',
      'nodo warn: Rules \u00b7 fmt ? rejected reject',
      'nodo err: Rules \u00b7 key 2 failed error',
    ]);
    const row = page.locator('#detail .ev', {has: page.locator('.ty', {hasText: 'NodeRuleStats'})});
    assert.equal(await row.getAttribute('class'), 'ev warn');
    assert.equal(await row.textContent(), await row.evaluate(
        (el) => el.firstChild.textContent + ' NodeRuleStatsr: ids (reject) 3 \u00b7 sum (warn) 0 \u00b7 fmt (reject) ? \u00b7 key (error) 2'));
  });

  test('a run of log lines without nodes has no summary box and no node select', async () => {
    await showRun(page, 'logs-only');
    assert.equal(await page.locator('#detail .riep').count(), 0);
    assert.equal(await page.locator('#detail .filt select').count(), 0);
    assert.deepEqual(await page.$$eval('#detail .ev', (els) => els.map((e) => e.className)), ['ev', 'ev err']);
    assert.deepEqual(await texts(page, '#detail .ev .ty'), ['NodeLog', 'NodeLog']);
  });
});
