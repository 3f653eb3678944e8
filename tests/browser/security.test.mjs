// Hostile runs and files, and reading behind the read token.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {ev, launchBrowser, openPage, request, showRun, startMonitor, texts,
        waitForRun} from './support.mjs';

const T0 = 1700000000000;

// Each would run script or break the markup if it reached the page unescaped.
const HOSTILE = [
  '<img src=x onerror="window.__pwned=1">',
  '"><svg onload="window.__pwned=2">',
  "'><img src=x onerror=window.__pwned=3>",
  '</script><script>window.__pwned=4</script>',
  'javascript:window.__pwned=5',
  '&lt;b&gt;&amp;&#39;',
];
const pick = (i) => HOSTILE[i % HOSTILE.length];

function hostileRun(i) {
  const id = HOSTILE[i];
  return [
    ev('RunStarted', id, {plan_name: pick(i + 1), studio_label: pick(i + 2), studio_version: pick(i + 3),
                          plan_version: pick(i + 4), runner_host: pick(i + 5), artifact_id: pick(i),
                          log_level: pick(i + 1), plan_hash: pick(i + 2)}, T0 + i * 10),
    ev('NodeStarted', id, {node_id: pick(i + 3), label: pick(i + 4)}, T0 + i * 10 + 1),
    ev('NodeRuleStats', id, {node_id: pick(i + 3), rules: [{rule: pick(i), action: pick(i + 1), violations: pick(i + 2)}]},
       T0 + i * 10 + 2),
    ev(pick(i + 5), id, {message: pick(i)}, T0 + i * 10 + 3),
    ev('NodeFailed', id, {node_id: pick(i + 4)}, T0 + i * 10 + 4),
    ev('RunFailed', id, {error: pick(i + 5), stats: {node_stats: {[pick(i)]: {rows_in: pick(i + 1)}}}}, T0 + i * 10 + 5),
  ];
}

async function assertNothingRan(watch) {
  assert.deepEqual(await watch.problems(), []);
  assert.equal(await watch.page.evaluate(() => window.__pwned), undefined);
}

describe('hostile input', () => {
  let monitor, browser, watch, page;
  before(async () => {
    monitor = await startMonitor();
    await monitor.push(HOSTILE.flatMap((_, i) => hostileRun(i)));
    browser = await launchBrowser();
    watch = await openPage(browser.context, monitor.url);
    page = watch.page;
    await waitForRun(page, HOSTILE[0]);
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  test('ids, names, labels and payload values show literally and run nothing', async () => {
    assert.deepEqual((await texts(page, '#runs .rid')).sort(), [...HOSTILE].sort());
    assert.deepEqual((await page.$$eval('#runs .run', (els) => els.map((e) => e.dataset.id))).sort(), [...HOSTILE].sort());
    for (let i = 0; i < HOSTILE.length; i++) {
      await showRun(page, HOSTILE[i]);
      const banner = await texts(page, '#detail .banner .brow > *');
      assert.deepEqual(banner.slice(0, 3), [pick(i + 1), HOSTILE[i], 'failed'], HOSTILE[i]);
      assert.ok((await page.textContent('#detail .banner .prov')).startsWith('compiled by ' + pick(i + 2) + ' v' + pick(i + 3)));
      assert.equal(await page.textContent('#detail .errline'), pick(i + 5));
      const chips = await texts(page, '#detail .chips .nodo');
      assert.ok(chips.includes(pick(i + 4) + ' \u2014 \u2192 \u2014 \u2716'), chips.join(' | '));
      assert.equal(await page.locator('#detail .ev .ty', {hasText: pick(i + 5)}).count() >= 1, true);
      // The node select carries hostile ids as option values; choosing one filters by it exactly.
      await page.selectOption('#detail .filt select', pick(i + 3));
      assert.deepEqual(await texts(page, '#detail .ev .ty'), ['NodeStarted', 'NodeRuleStats']);
      await page.selectOption('#detail .filt select', '');
    }
    // Save links point at the monitor, whatever the id.
    const hrefs = await page.$$eval('#detail a', (els) => els.map((a) => a.getAttribute('href')));
    assert.deepEqual(hrefs, ['/api/runs/' + encodeURIComponent(HOSTILE.at(-1)) + '/download']);
    await assertNothingRan(watch);
  });

  test('a hostile search text is shown, matched and marked as text', async () => {
    await showRun(page, HOSTILE[0]);
    const search = async (text) => {
      await page.fill('#q', text);
      await page.waitForFunction((t) => [...document.querySelectorAll('#detail .cerca b')].some((b) => b.textContent === t),
                                 text);
    };
    for (const text of HOSTILE) await search(text);
    await search('<img src=x');
    const marks = await texts(page, '#detail .ev mark');
    assert.ok(marks.length > 0 && marks.every((m) => m.toLowerCase() === '<img src=x'), marks.join(' | '));
    await page.fill('#q', '');
    await assertNothingRan(watch);
  });

  test('a hostile file shows literally and runs nothing', async () => {
    const lines = [
      JSON.stringify({kind: 'dravelune-log-header', artifact: {profile: HOSTILE[0], platform: HOSTILE[1], exportedAt: HOSTILE[2]},
                      runner: {os: HOSTILE[3], version: HOSTILE[4]}}),
      ...hostileRun(1).map((e) => JSON.stringify({timestamp: T0, event: e})),
      JSON.stringify(HOSTILE[3]),
    ];
    const name = '<img src=x onerror=window.__pwned=7>.log';
    await page.setInputFiles('header input[type=file]', {name, mimeType: 'text/plain', buffer: Buffer.from(lines.join('\n'))});
    await page.waitForFunction((n) => document.querySelector('#detail .banner b')?.textContent === '\u{1F4C2} ' + n, name);
    assert.deepEqual((await texts(page, '#detail .banner .brow > *')).slice(1, 3), [pick(2), HOSTILE[1]]);
    assert.equal(await page.textContent('#detail .banner .linea'),
                 `profilo ${HOSTILE[0]} \u00b7 piattaforma ${HOSTILE[1]} \u00b7 runner ${HOSTILE[3]} v${HOSTILE[4]}` +
                 ` \u00b7 artifact ${HOSTILE[2]}`);
    assert.equal(await page.textContent('#runs .run.file .rid'), '\u{1F4C2} ' + name);
    await page.click('#detail .banner button.chiudi');
    await assertNothingRan(watch);
  });
});

describe('read token', () => {
  const INGEST = 'ingest-token-0123456789';
  const READ = 'read-token-0123456789abcdef';
  let monitor, browser;
  before(async () => {
    monitor = await startMonitor({env: {MONITOR_INSECURE_LOCAL: undefined, MONITOR_TOKEN: INGEST,
                                        MONITOR_READ_TOKEN: READ}});
    await monitor.push([ev('RunStarted', 'guarded', {plan_name: 'Behind the token'}, T0),
                        ev('NodeLog', 'guarded', {level: 'warn', message: 'hi'}, T0 + 1)]);
    browser = await launchBrowser({httpCredentials: {username: 'viewer', password: READ}});
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  test('the Basic login answered once covers the page and its polling', async () => {
    assert.equal((await request(monitor.url + '/api/runs')).status, 401);
    const watch = await openPage(browser.context, monitor.url);
    const {page} = watch;
    await waitForRun(page, 'guarded');
    assert.equal(await page.textContent('#cnt'), '1 run');
    await showRun(page, 'guarded');
    assert.deepEqual(await texts(page, '#detail .ev .ty'), ['RunStarted', 'NodeLog']);
    await page.waitForTimeout(2300);
    assert.equal(await page.textContent('#detail .banner .rid'), 'guarded');
    await assertNothingRan(watch);
  });
});
