// Run list, selection, banner and the 2-second refresh against the real monitor.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {POLL_MS, ev, launchBrowser, openPage, showRun, startMonitor, texts, waitForRun} from './support.mjs';

const T0 = 1700000000000;
const HASH = 'sha256:' + '0123456789abcdef'.repeat(4);

describe('run list and detail banner', () => {
  let monitor, browser, page;
  before(async () => {
    monitor = await startMonitor();
    await monitor.push([
      ev('RunStarted', 'full', {plan_name: 'Nightly import', studio_label: 'Studio A', studio_version: '2.1',
                                plan_version: '7', runner_host: 'box-3', artifact_id: 'art-9', log_level: 'info',
                                plan_hash: HASH}, T0),
      ev('NodeLog', 'full', {level: 'info', message: 'hello'}, T0 + 1),
      ev('NodeLog', 'bare', {level: 'info', log_level: 'diagnostico'}, T0 + 50),
      ev('RunCompleted', 'bare', {}, T0 + 51),
      ev('RunFailed', 'odd', {}, T0 + 20),
    ]);
    browser = await launchBrowser();
    ({page} = await openPage(browser.context, monitor.url));
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  test('lists the runs newest first with plan, id, badge, count and provenance', async () => {
    await waitForRun(page, 'odd');
    assert.equal(await page.textContent('#cnt'), '3 run');
    const ddir = await page.textContent('#ddir');
    assert.ok(ddir.includes('data in ' + monitor.dataDir + ' \u2014 runs are kept in memory: deleting the files ' +
                            'does NOT clear this list, you must restart the monitor'), ddir);
    assert.deepEqual(await page.$$eval('#runs .run', (els) => els.map((e) => e.dataset.id)), ['bare', 'odd', 'full']);
    assert.deepEqual(await texts(page, '#runs .pname'), ['Nightly import']);
    assert.deepEqual(await page.$$eval('#runs .badge', (els) => els.map((e) => e.className)),
                     ['badge completed', 'badge failed', 'badge running']);
    const full = page.locator('#runs .run[data-id="full"]');
    assert.equal(await full.locator('.riga .muted').textContent(), '2 events');
    // The observed address comes from the connection of the RunStarted push.
    assert.equal(await full.locator('.prov').textContent(), '\u{1F4BB} Studio A \u00b7 \u{1F310} 127.0.0.1');
    assert.equal(await page.locator('#runs .run[data-id="bare"] .prov').count(), 0);
  });

  test('a direction override in a runner\'s value cannot reorder the address the monitor saw', async () => {
    await monitor.push([ev('RunStarted', 'spoof', {studio_label: 'Studio \u202E', runner_host: 'h\u202E'}, T0 + 60)]);
    await waitForRun(page, 'spoof');
    // Left edges of the address's first and last characters as drawn: left to right unless reordered.
    const drawnInOrder = (selector) => page.$eval(selector, (el) => {
      const walker = document.createTreeWalker(el, NodeFilter.SHOW_TEXT);
      for (let n = walker.nextNode(); n; n = walker.nextNode()) {
        const at = n.data.indexOf('127.0.0.1');
        if (at < 0) continue;
        const edge = (i) => { const r = document.createRange(); r.setStart(n, i); r.setEnd(n, i + 1); return r.getBoundingClientRect().left; };
        return edge(at) < edge(at + 8);
      }
      return null;
    });
    assert.equal(await drawnInOrder('#runs .run[data-id="spoof"] .prov'), true);
    await showRun(page, 'spoof');
    assert.equal(await drawnInOrder('#detail .banner .ip'), true);
  });

  test('a chosen run is selected and its banner carries provenance, address and the save link', async () => {
    await showRun(page, 'full');
    assert.deepEqual(await page.$$eval('#runs .run.sel', (els) => els.map((e) => e.dataset.id)), ['full']);
    const row = await texts(page, '#detail .banner .brow > *');
    assert.deepEqual(row, ['Nightly import', 'full', 'running', '2 events', '\u{1F4BE} Save log']);
    assert.equal(await page.textContent('#detail .banner .prov'),
                 'compiled by Studio A v2.1 \u00b7 plan version: 7 \u00b7 declared host box-3 \u00b7 artifact art-9' +
                 ' \u00b7 log info (filtered: row and memory data not sent) \u00b7 integrity 0123456789ab\u2026');
    assert.equal(await page.textContent('#detail .banner .ip'),
                 'Observed IP 127.0.0.1 (seen by the monitor on the connection, not declared by the runner)');
    const save = page.locator('#detail .banner a.save');
    assert.equal(await save.getAttribute('href'), '/api/runs/full/download');
    assert.equal(await save.getAttribute('download'), '');
    const [download] = await Promise.all([page.waitForEvent('download'), save.click()]);
    assert.equal(download.suggestedFilename(), 'full.ndjson');

    // "diagnostico" adds no log item, and a run without metadata has no provenance line.
    await showRun(page, 'bare');
    assert.equal(await page.locator('#detail .banner .prov').count(), 0);
    assert.deepEqual(await page.$$eval('#runs .run.sel', (els) => els.map((e) => e.dataset.id)), ['bare']);
  });

  test('new events appear on the next tick; an unchanged answer leaves the panel untouched', async () => {
    await showRun(page, 'full');
    // A marker on the drawn nodes and a text selection: both survive ticks that bring nothing new.
    await page.evaluate(() => {
      document.querySelector('#detail .ev').__marker = 1;
      const range = document.createRange();
      range.selectNodeContents(document.querySelector('#detail .ev:last-child'));
      getSelection().removeAllRanges();
      getSelection().addRange(range);
    });
    const before = await page.evaluate(() => getSelection().toString());
    // The list shows the run unchanged, so its detail is not even fetched.
    let detailFetches = 0;
    const count = (req) => req.url().endsWith('/api/runs/full') && detailFetches++;
    page.on('request', count);
    await page.waitForTimeout(POLL_MS * 2 + 300);
    page.off('request', count);
    assert.equal(detailFetches, 0);
    assert.equal(await page.evaluate(() => document.querySelector('#detail .ev').__marker), 1);
    assert.equal(await page.evaluate(() => getSelection().toString()), before);

    // Scroll the panel, then let a tick bring a new event: the rows grow, the position stays.
    await monitor.push(Array.from({length: 80}, (_, i) => ev('NodeLog', 'full', {level: 'info', i}, T0 + 100 + i)));
    await page.waitForFunction(() => document.querySelectorAll('#detail .ev').length === 82, null,
                               {timeout: POLL_MS * 3});
    await page.evaluate(() => (document.getElementById('detail').scrollTop = 400));
    await monitor.push([ev('NodeLog', 'full', {level: 'warn', message: 'late'}, T0 + 999)]);
    await page.waitForFunction(() => document.querySelectorAll('#detail .ev').length === 83, null,
                               {timeout: POLL_MS * 3});
    assert.equal(await page.evaluate(() => document.getElementById('detail').scrollTop), 400);
    assert.equal(await page.textContent('#detail .banner .brow > .muted'), '83 events');
    assert.equal(await page.evaluate(() => document.querySelector('#detail .ev').__marker), 1);
  });
});

describe('fetch ordering', () => {
  let monitor, browser, page;
  before(async () => {
    monitor = await startMonitor();
    await monitor.push([ev('NodeLog', 'slow', {n: 1}, T0), ev('NodeLog', 'fast', {n: 2}, T0 + 1)]);
    browser = await launchBrowser();
    ({page} = await openPage(browser.context, monitor.url));
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  test('an answer that arrives after the user moved to another run is dropped', async () => {
    let released;
    const held = new Promise((r) => (released = r));
    let delivered = false;
    await page.route('**/api/runs/slow', async (route) => {
      await held;
      await route.continue();
      delivered = true;
    });
    await waitForRun(page, 'slow');
    await page.click('#runs .run[data-id="slow"]');
    await showRun(page, 'fast');
    released();
    for (let i = 0; i < 50 && !delivered; i++) await page.waitForTimeout(50);
    await page.waitForTimeout(200);
    assert.ok(delivered);
    assert.equal(await page.textContent('#detail .banner .rid'), 'fast');
    await page.unroute('**/api/runs/slow');
  });

  test('no second fetch starts while the previous one for the same answer is in flight', async () => {
    const started = {detail: 0, list: 0};
    await page.route('**/api/runs/**', async (route) => {
      started.detail++;
      await new Promise((r) => setTimeout(r, POLL_MS * 2 + 500));
      await route.continue();
    });
    await page.route('**/api/runs', async (route) => {
      started.list++;
      await new Promise((r) => setTimeout(r, POLL_MS * 2 + 500));
      await route.continue();
    });
    await page.evaluate(() => {
      openRun('fast');
    });
    // Three ticks pass while both answers are held back.
    await page.waitForTimeout(POLL_MS * 2 + 200);
    assert.equal(started.detail, 1);
    assert.ok(started.list <= 1, `list fetches started: ${started.list}`);
    await page.unrouteAll({behavior: 'wait'});
  });
});

describe('large run', () => {
  const N = 20050;
  let monitor, browser, page;
  before(async () => {
    monitor = await startMonitor();
    const events = Array.from({length: N}, (_, i) =>
        ev('NodeLog', 'large', {node_id: 'n' + (i % 7), level: i % 1000 ? 'info' : 'error', i}, T0 + i));
    for (let i = 0; i < N; i += 5000) await monitor.push(events.slice(i, i + 5000));
    browser = await launchBrowser();
    ({page} = await openPage(browser.context, monitor.url));
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  test('every event of a large run is drawn, and new ones are appended in place', async () => {
    await waitForRun(page, 'large');
    await showRun(page, 'large');
    assert.equal(await page.textContent('#detail .banner .brow > .muted'), `${N} events`);
    assert.equal(await page.locator('#detail .ev').count(), N);
    assert.equal(await page.locator('#detail .ev.err').count(), Math.ceil(N / 1000));
    assert.ok((await page.locator('#detail .ev').last().textContent()).endsWith(`"i":${N - 1}}`));
    await page.evaluate(() => (document.querySelector('#detail .ev').__marker = 1));
    await monitor.push(Array.from({length: 200}, (_, i) => ev('NodeLog', 'large', {level: 'info', i: N + i}, T0 + N + i)));
    await page.waitForFunction((n) => document.querySelectorAll('#detail .ev').length === n, N + 200,
                               {timeout: POLL_MS * 4});
    const rows = await page.$$eval('#detail .ev', (els) => [els[0].__marker, els.at(-1).textContent]);
    assert.equal(rows[0], 1);
    assert.ok(rows[1].endsWith(`"i":${N + 199}}`), rows[1]);
  });
});
