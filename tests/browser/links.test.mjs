// The view in the address's fragment: the chosen run, the filters and the search text come back on
// a reload or from a shared link, each event row links to itself, and a fragment written by
// someone else is read as untrusted text.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {POLL_MS, ev, launchBrowser, openPage, showRun, startMonitor} from './support.mjs';

const T0 = 1700000000000;
const RUN = 'link "><img src=x onerror=__hit(1)> \u0000 & </script>';
const OTHER = 'other';
const NODE = 'n <b>"x"</b> &amp;';
const N = 400;

function events() {
  const out = [ev('RunStarted', RUN, {plan_name: 'linked plan'}, T0)];
  for (let i = 1; i < N; i++) {
    if (i % 10 === 0) out.push(ev('MemorySample', RUN, {rss: i}, T0 + i));
    else out.push(ev('NodeLog', RUN, {node_id: i % 3 ? NODE : 'plain', level: i % 7 ? 'info' : 'warn', i,
                                      message: i % 2 ? 'needle <i>' : 'hay'}, T0 + i));
  }
  return out;
}

describe('links to the view and to its rows', () => {
  let monitor, browser, watch, page;
  before(async () => {
    monitor = await startMonitor();
    await monitor.push(events());
    await monitor.push([ev('RunStarted', OTHER, {plan_name: 'other plan'}, T0 + 5000)]);
    browser = await launchBrowser();
    watch = await openPage(browser.context);
    page = watch.page;
    await browser.context.addInitScript(() => {
      window.__hits = [];
      window.__hit = (n) => window.__hits.push(n);
    });
    await page.goto(monitor.url);
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  // What the view shows: run, filters, search and rows.
  const view = (p) => p.evaluate(() => ({
    rid: document.querySelector('#detail .banner .rid')?.textContent ?? null,
    on: [...document.querySelectorAll('#detail .filt button.on')].map((b) => b.textContent),
    node: document.querySelector('#detail .filt select')?.selectedOptions[0]?.textContent ?? null,
    q: document.getElementById('q')?.value ?? null,
    rows: [...document.querySelectorAll('#detail .ev')].map((e) => e.textContent),
  }));
  // The position of a drawn row's event among all events of the run, from its payload.
  const rowIndex = async (row) => {
    const m = /"i":(\d+)/.exec(await row.textContent());
    return m === null ? 0 : Number(m[1]);
  };
  const ready = (p, rid) => p.waitForFunction((want) => document.querySelector('#detail .banner .rid')?.textContent === want &&
                                                       document.querySelectorAll('#detail .ev').length > 0,
                                              rid, {timeout: POLL_MS * 3});

  test('the run, filters and search come back on a reload', async () => {
    await showRun(page, OTHER);
    await page.locator('#runs .run').filter({has: page.locator('.pname', {hasText: 'linked plan'})}).click();
    await ready(page, RUN.replace('\u0000', ''));
    await page.click('#detail .filt button:has-text("hide memory")');
    await page.click('#detail .filt button:has-text("errors only")');
    await page.selectOption('#detail .filt select', {label: NODE});
    await page.fill('#q', 'NEEDLE <i');
    await page.waitForFunction(() => location.hash.includes('q=') &&
                                     [...document.querySelectorAll('#detail .cerca > b')].some((b) => b.textContent === 'NEEDLE <i'));
    const before = await view(page);
    assert.deepEqual(before.on, ['\u26A0 errors only']);
    assert.equal(before.node, NODE);
    assert.ok(before.rows.length > 10 && before.rows.every((r) => r.includes('needle <i>') && r.includes('NodeLog')));
    const hash = await page.evaluate(() => location.hash);
    for (const part of ['run=' + encodeURIComponent(RUN), 'err=1', 'mem=0', 'node=' + encodeURIComponent(NODE),
                        'q=' + encodeURIComponent('NEEDLE <i')]) {
      assert.ok(hash.split(/[#&]/).includes(part), `${part} in ${hash}`);
    }
    await page.reload();
    await ready(page, RUN.replace('\u0000', ''));
    assert.deepEqual(await view(page), before);
    // The same link in a new tab shows the same.
    const other = await browser.context.newPage();
    await other.goto(monitor.url + '/' + hash);
    await ready(other, RUN.replace('\u0000', ''));
    assert.deepEqual(await view(other), before);
    await other.close();
  });

  test('a row link opens the run with that row marked and in view', async () => {
    // Back to the default filters, so that the run's rows are many.
    await page.goto(monitor.url + '/#run=' + encodeURIComponent(RUN));
    await page.reload();
    await ready(page, RUN.replace('\u0000', ''));
    const rows = await page.locator('#detail .ev').count();
    assert.equal(rows, N - N / 10 + 1);
    // A click on a row's type label puts the link to the row in the address.
    const target = page.locator('#detail .ev').nth(rows - 20);
    const text = await target.textContent();
    await target.locator('.ty').click();
    await page.waitForFunction(() => document.querySelectorAll('#detail .ev.scelto').length === 1);
    const href = await page.evaluate(() => location.hash);
    assert.equal(href, '#run=' + encodeURIComponent(RUN) + '&ev=' + (await rowIndex(target)));
    assert.equal(await page.locator('#detail .ev.scelto').textContent(), text);
    const fresh = await browser.context.newPage();
    await fresh.goto(monitor.url + '/' + href);
    await ready(fresh, RUN.replace('\u0000', ''));
    await fresh.waitForFunction(() => document.querySelector('#detail .ev.scelto') !== null);
    const shown = await fresh.evaluate(async () => {
      for (let i = 0; i < 3; i++) await new Promise((r) => requestAnimationFrame(r));
      const marked = [...document.querySelectorAll('#detail .ev.scelto')];
      const a = marked[0].getBoundingClientRect(), b = document.getElementById('detail').getBoundingClientRect();
      return {count: marked.length, text: marked[0].textContent, inView: a.top >= b.top && a.bottom <= b.bottom,
              scrolled: document.getElementById('detail').scrollTop > 0};
    });
    assert.deepEqual(shown, {count: 1, text, inView: true, scrolled: true});
    await fresh.close();

    // Another row's label moves the mark, and going back in history brings the first one back.
    await page.locator('#detail .ev').nth(3).locator('.ty').click();
    await page.waitForFunction(() => document.querySelector('#detail .ev.scelto')?.textContent.includes('"i":3,'));
    assert.equal(await page.locator('#detail .ev').nth(3).getAttribute('class'), 'ev scelto');
    assert.equal(await page.evaluate(() => location.hash), '#run=' + encodeURIComponent(RUN) + '&ev=3');
    await page.goBack();
    await page.waitForFunction((t) => document.querySelector('#detail .ev.scelto')?.textContent === t, text);
    assert.equal(await page.locator('#detail .ev.scelto').count(), 1);
    // Another run drops the mark.
    await showRun(page, OTHER);
    await page.waitForFunction(() => location.hash !== '' && !location.hash.includes('ev='));
  });

  test('a hostile fragment is read as text and defaults whatever it cannot read', async () => {
    const hostile = '<img src=x onerror=__hit(2)>';
    const fragments = [
      ['run=' + encodeURIComponent(hostile) + '&q=' + encodeURIComponent('"><svg onload=__hit(3)>') +
           '&node=' + encodeURIComponent('</script><script>__hit(4)</script>') + '&ev=-1&err=yes&mem=%3Cb%3E',
       {message: 'run not found', q: null}],
      ['run=%E0%A4%A&q=%ZZ&ev=99999999999&tz=' + encodeURIComponent(hostile),
       {message: 'Select a run on the left, or open a log file.', q: null}],
      ['run=' + encodeURIComponent(RUN) + '&q=' + encodeURIComponent('"><svg onload=__hit(5)>') + '&ev=1e3',
       {message: null, q: '"><svg onload=__hit(5)>'}],
      ['__proto__=1&constructor=x&run=' + encodeURIComponent(RUN) + '&run=' + encodeURIComponent(OTHER),
       {message: null, q: ''}],
    ];
    for (const [fragment, want] of fragments) {
      await page.goto(monitor.url + '/#' + fragment);
      await page.reload();
      await page.waitForTimeout(POLL_MS / 2);
      const got = await page.evaluate(() => ({
        message: document.querySelector('#detail > p')?.textContent ?? null,
        q: document.getElementById('q')?.value ?? null,
        marked: document.querySelectorAll('#detail .ev.scelto').length,
      }));
      assert.deepEqual(got, {...want, marked: 0}, fragment);
    }
    // The last "run" wins: the other run is shown.
    assert.equal(await page.textContent('#detail .banner .rid'), OTHER);
    assert.deepEqual({problems: await watch.problems(), ran: await page.evaluate(() => window.__hits)},
                     {problems: [], ran: []});
  });
});
