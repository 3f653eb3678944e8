// Filters, node select and search of the event view, and the search field across refreshes.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {POLL_MS, ev, launchBrowser, openPage, showRun, startMonitor, texts} from './support.mjs';

const T0 = 1700000000000;
const MB = 1048576;

const EVENTS = [
  ev('NodeStarted', 'nodes', {node_id: 'b'}, T0),
  ev('NodeStarted', 'nodes', {node_id: 'a'}, T0 + 1),
  ev('MemorySample', 'nodes', {rss: 100 * MB, detail: {total_pss: 50 * MB, total_private: 25 * MB, processes: [{}, {}]}}, T0 + 2),
  ev('MemorySample', 'nodes', {detail: {total_rss: 3 * MB, processes: [{name: 'b'}, {}]}}, T0 + 3),
  ev('NodeLog', 'nodes', {node_id: 'a', level: 'warn', message: 'x < y & "z"'}, T0 + 4),
  ev('NodeCompleted', 'nodes', {node_id: 'a', stats: {rows_in: 1, rows_out: 1}}, T0 + 5),
  ev('NodeFailed', 'nodes', {node_id: 'b'}, T0 + 6),
  ev('NodeLog', 'nodes', {level: 'info', message: 'ampere & quotation'}, T0 + 7),
  ev('RunCompleted', 'nodes', {}, T0 + 8),
  ev('NodeLog', 'plain', {level: 'info', message: 'no nodes here'}, T0 + 20),
];

describe('filters and search', () => {
  let monitor, browser, page;
  before(async () => {
    monitor = await startMonitor();
    await monitor.push(EVENTS);
    browser = await launchBrowser();
    ({page} = await openPage(browser.context, monitor.url));
    await showRun(page, 'nodes');
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  const types = () => texts(page, '#detail .ev .ty');
  // Types a search text and waits for the redraw that shows it in the search summary.
  const search = async (text) => {
    await page.fill('#q', text);
    await page.waitForFunction((t) => {
      const box = document.querySelector('#detail .cerca');
      return t === '' ? box === null : box !== null && [...box.querySelectorAll('b')].some((b) => b.textContent === t);
    }, text);
  };

  test('memory samples are hidden by default; errors only keeps err and warn', async () => {
    assert.deepEqual(await texts(page, '#detail .filt button.on'), ['\u{1F4BE} hide memory']);
    assert.deepEqual(await types(), ['NodeStarted', 'NodeStarted', 'NodeLog', 'NodeCompleted', 'NodeFailed',
                                     'NodeLog', 'RunCompleted']);
    await page.click('#detail .filt button:has-text("hide memory")');
    const memory = await page.$$eval('#detail .ev', (els) => els.filter((e) => e.querySelector('.ty').textContent === 'MemorySample')
                                                              .map((e) => e.lastChild.parentNode.textContent.replace(/^\S+ MemorySample/, '')));
    assert.deepEqual(memory, ['RSS 100.0 MB \u00b7 PSS 50.0 MB \u00b7 privata 25.0 MB \u00b7 2 processi',
                              'RSS 3.0 MB \u00b7 2 processi']);
    await page.click('#detail .filt button:has-text("hide memory")');
    await page.click('#detail .filt button:has-text("errors only")');
    assert.deepEqual(await types(), ['NodeLog', 'NodeFailed']);
    assert.deepEqual(await texts(page, '#detail .filt button.on'), ['\u26A0 errors only', '\u{1F4BE} hide memory']);
    await page.click('#detail .filt button:has-text("errors only")');
  });

  test('the node select lists sorted ids, filters rows and survives a change of run', async () => {
    assert.deepEqual(await texts(page, '#detail .filt select option'), ['all nodes', 'a', 'b']);
    await page.selectOption('#detail .filt select', 'b');
    assert.deepEqual(await types(), ['NodeStarted', 'NodeFailed']);
    // The summary always covers every event.
    assert.equal(await page.locator('#detail .chips .nodo').count(), 2);
    // On a run without nodes the chosen node stays visible in the select, so it can be undone.
    await showRun(page, 'plain');
    assert.equal(await page.textContent('#detail .parte-righe'), 'No event with these filters.');
    assert.deepEqual(await texts(page, '#detail .filt select option'), ['all nodes', 'b']);
    assert.equal(await page.inputValue('#detail .filt select'), 'b');
    await page.selectOption('#detail .filt select', '');
    assert.deepEqual(await types(), ['NodeLog']);
    assert.equal(await page.locator('#detail .filt select').count(), 0);
    await showRun(page, 'nodes');
  });

  test('search shows its summary and marks matches only in the visible text', async () => {
    await search('NODE_ID');
    assert.equal(await page.textContent('#detail .cerca'),
                 '5 events out of 9 contain NODE_ID \u00b7 1 with error \u00b7 from 22:13:20.000 to 22:13:20.006 (6 ms)' +
                 'NodeStarted 2NodeLog 1NodeCompleted 1NodeFailed 1\u25CF a 3\u25CF b 2');
    assert.deepEqual(await texts(page, '#detail .ev mark'), Array(5).fill('node_id'));
    // "nodefailed" matches the type, which the body does not show: no mark.
    await search('nodefailed');
    assert.deepEqual(await types(), ['NodeFailed']);
    assert.equal(await page.locator('#detail .ev mark').count(), 0);
    // A search text with "<" finds and marks the escaped character.
    await search('x < y');
    assert.deepEqual(await texts(page, '#detail .ev mark'), ['x < y']);
    // "quot" and "amp" also spell references in the escaped body; only the visible words are marked,
    // and the shown text is the same as without the search.
    for (const word of ['quot', 'amp']) {
      await search(word);
      assert.deepEqual(await texts(page, '#detail .ev mark'), [word], word);
      const body = await page.$$eval('#detail .ev', (els) => els.map((e) => e.textContent));
      assert.ok(body[0].endsWith('{"run_id":"nodes","level":"info","message":"ampere & quotation"}'), body[0]);
    }
    // "b" also spells the bold tag of memory bodies: the tag stays whole.
    await page.click('#detail .filt button:has-text("hide memory")');
    await search('"b"');
    assert.deepEqual(await types(), ['NodeStarted', 'MemorySample', 'NodeFailed']);
    const memory = page.locator('#detail .ev').nth(1);
    assert.equal(await memory.locator('b').textContent(), '3.0 MB');
    assert.equal(await memory.locator('mark').count(), 0);
    await page.click('#detail .filt button:has-text("hide memory")');
    // No match: the box says so and the list is empty.
    await search('<img src=x>');
    assert.equal(await page.textContent('#detail .cerca'),
                 'No event contains <img src=x> (out of 9 events; mind the other active filters)');
    assert.equal(await page.textContent('#detail .parte-righe'), 'No event with these filters.');
    await search('');
    assert.equal(await page.locator('#detail .ev').count(), 7);
  });

  test('typing in the search field during refreshes keeps focus, caret and the field itself', async () => {
    await page.click('#q');
    await page.evaluate(() => (document.getElementById('q').__marker = 1));
    const typed = 'node';
    let pushed = 0;
    for (const ch of typed) {
      await page.keyboard.type(ch);
      // New events make every tick redraw the panel while the user types.
      await monitor.push([ev('NodeLog', 'nodes', {node_id: 'a', level: 'info', n: ++pushed}, T0 + 100 + pushed)]);
      await page.waitForTimeout(POLL_MS / 2 + 100);
    }
    await page.waitForFunction((n) => document.querySelectorAll('#detail .ev').length >= n, 5 + pushed,
                               {timeout: POLL_MS * 3});
    const state = await page.evaluate(() => {
      const q = document.getElementById('q');
      return {focused: document.activeElement === q, value: q.value, caret: [q.selectionStart, q.selectionEnd],
              same: q.__marker === 1};
    });
    assert.deepEqual(state, {focused: true, value: typed, caret: [4, 4], same: true});

    // A caret in the middle stays there across a redraw with new data.
    await page.evaluate(() => document.getElementById('q').setSelectionRange(1, 2));
    const rows = await page.locator('#detail .ev').count();
    await monitor.push([ev('NodeLog', 'nodes', {node_id: 'a', level: 'info', n: 'late'}, T0 + 999)]);
    await page.waitForFunction((n) => document.querySelectorAll('#detail .ev').length > n, rows, {timeout: POLL_MS * 3});
    assert.deepEqual(await page.evaluate(() => {
      const q = document.getElementById('q');
      return [document.activeElement === q, q.selectionStart, q.selectionEnd];
    }), [true, 1, 2]);
    await page.keyboard.type('X');
    await page.waitForFunction(() => document.querySelector('#detail .cerca')?.textContent.startsWith('No event contains nXde'));
    assert.equal(await page.evaluate(() => document.activeElement.id), 'q');
  });
});
