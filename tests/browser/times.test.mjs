// Row times in local time or in UTC, the choice kept in the address's fragment, and the full date
// and time of every row in its tooltip.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {POLL_MS, ev, launchBrowser, openPage, showRun, startMonitor} from './support.mjs';

const T0 = 1700000000000;  // 2023-11-14 22:13:20.000 UTC, 2023-11-15 03:43:20.000 in Kolkata
const RUN = 'times "><img src=x onerror=__hit(1)>';

describe('local and UTC times', () => {
  let monitor, browser, watch, page;
  before(async () => {
    monitor = await startMonitor();
    await monitor.push([ev('RunStarted', RUN, {}, T0), ev('NodeLog', RUN, {level: 'info', message: '<b>x</b>'}, T0 + 61001)]);
    // A zone without summer time, half an hour off a whole hour, so no formatting can pass by luck.
    browser = await launchBrowser({timezoneId: 'Asia/Kolkata'});
    watch = await openPage(browser.context);
    page = watch.page;
    await page.addInitScript(() => {
      window.__hits = [];
      window.__hit = (n) => window.__hits.push(n);
    });
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  // Time text and tooltip of every row.
  const times = () => page.$$eval('#detail .ev', (els) => els.map((e) => {
    const t = e.querySelector(':scope > .muted');
    return t === null ? null : [t.textContent, t.title];
  }));
  const toggle = () => page.locator('header button.fuso');

  test('local time by default, UTC at the switch, with the full date in each tooltip', async () => {
    await page.goto(monitor.url);
    await showRun(page, RUN);
    assert.equal(await toggle().textContent(), 'times: local');
    assert.deepEqual(await times(), [['03:43:20.000', '2023-11-15 03:43:20.000 UTC+05:30'],
                                     ['03:44:21.001', '2023-11-15 03:44:21.001 UTC+05:30']]);
    await toggle().click();
    assert.equal(await toggle().textContent(), 'times: UTC');
    assert.deepEqual(await times(), [['22:13:20.000', '2023-11-14 22:13:20.000 UTC'],
                                     ['22:14:21.001', '2023-11-14 22:14:21.001 UTC']]);
    await page.waitForFunction(() => /(^#|&)tz=utc(&|$)/.test(location.hash));
  });

  test('the choice survives a reload through the fragment; an unknown value reads as local', async () => {
    await page.reload();
    assert.equal(await toggle().textContent(), 'times: UTC');
    await showRun(page, RUN);
    assert.equal((await times())[0][0], '22:13:20.000');
    for (const hostile of ['<img src=x onerror=__hit(2)>', 'UTC', '', 'utc&tz=<svg onload=__hit(3)>']) {
      await page.goto(monitor.url + '/#tz=' + encodeURIComponent(hostile));
      await page.reload();
      await page.waitForFunction(() => document.querySelector('header button.fuso') !== null);
      assert.equal(await toggle().textContent(), 'times: local', hostile);
    }
    await toggle().click();
    await toggle().click();
    assert.equal(await toggle().textContent(), 'times: local');
    await page.waitForFunction(() => !location.hash.includes('tz='));
    assert.deepEqual({problems: await watch.problems(), ran: await page.evaluate(() => window.__hits)},
                     {problems: [], ran: []});
  });
});
