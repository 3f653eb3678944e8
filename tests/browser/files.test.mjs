// Opening saved log files: the runners' format and the monitor's own download, and how a file and
// the server runs share the page.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {POLL_MS, ev, launchBrowser, openPage, request, showRun, startMonitor, texts, waitForRun} from './support.mjs';

const T0 = 1700000000000;

// A runner's log: byte-order mark, Windows line ends, two headers (the second counts), wrapped
// lines, a plain line, a null line, a line that is not JSON and a wrapped-looking array record.
const RUNNER_LOG = [
  '\uFEFF{"kind":"dravelune-log-header","artifact":{"profile":"old"}}',
  '{"kind":"dravelune-log-header","artifact":{"profile":"prod","platform":"win-x64","exportedAt":"2024-05-01"},' +
      '"runner":{"os":"windows","version":"3.2"}}',
  `{"timestamp":${T0},"event":{"type":"RunStarted","payload":{"run_id":"file-run","plan_name":"From disk"}}}`,
  `{"timestamp":${T0 + 100},"event":{"type":"NodeLog","payload":{"level":"warn","node_id":"n"}}}`,
  `  {"timestamp":${T0 + 200},"event":{"type":"NodeLog","ts":${T0 + 150},"payload":{"level":"error"}}}  `,
  'not json',
  'null',
  '{"timestamp":5,"event":[1,2]}',
  '',
  '{"type":"RunFailed","payload":{"error":"boom"}}',
  `{"timestamp":${T0 + 300},"event":{"type":"RunCompleted","payload":{}}}`,
].join('\r\n') + '\r\n';

describe('opening a log file', () => {
  let monitor, browser, page;
  before(async () => {
    monitor = await startMonitor();
    await monitor.push([
      ev('RunStarted', 'served', {plan_name: 'Served plan'}, T0),
      ev('NodeStarted', 'served', {node_id: 'n1'}, T0 + 1),
      ev('NodeCompleted', 'served', {node_id: 'n1', stats: {rows_in: 4, rows_out: 3, rows_rejected: 1}}, T0 + 2),
      ev('MemorySample', 'served', {rss: 1048576}, T0 + 3),
      ev('RunCompleted', 'served', {elapsed_ms: 1500}, T0 + 4),
    ]);
    browser = await launchBrowser();
    ({page} = await openPage(browser.context, monitor.url));
    await waitForRun(page, 'served');
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
  });

  const openFile = (name, text) =>
      page.setInputFiles('header input[type=file]', {name, mimeType: 'text/plain', buffer: Buffer.from(text)});
  const waitForBanner = (name) => page.waitForFunction(
      (n) => document.querySelector('#detail .banner b')?.textContent === '\u{1F4C2} ' + n, name);

  test('a runner log with header, wrapped lines and CR LF opens as its run', async () => {
    await openFile('runner.log', RUNNER_LOG);
    await waitForBanner('runner.log');
    assert.deepEqual(await texts(page, '#detail .banner .brow > *'),
                     ['\u{1F4C2} runner.log', 'From disk', 'file-run', 'failed', '7 events', '\u2715 close']);
    assert.equal(await page.textContent('#detail .banner .linea'),
                 'profilo prod \u00b7 piattaforma win-x64 \u00b7 runner windows v3.2 \u00b7 artifact 2024-05-01');
    // The null line counts but is never shown; a wrapped event keeps its own time.
    const rows = await page.$$eval('#detail .ev', (els) => els.map((e) => e.className + ' | ' + e.textContent));
    assert.deepEqual(rows, [
      'ev | 22:13:20.000 RunStarted{"run_id":"file-run","plan_name":"From disk"}',
      'ev warn | 22:13:20.100 NodeLog{"level":"warn","node_id":"n"}',
      'ev err | 22:13:20.150 NodeLog{"level":"error"}',
      'ev | 00:00:00.005 ?{}',
      'ev err | RunFailed{"error":"boom"}',
      'ev done | 22:13:20.300 RunCompleted{}',
    ]);
    // The badge says failed (a RunFailed anywhere); the summary follows the last closing event.
    assert.equal(await page.textContent('#detail .riep .cell .val'), 'completed');
    const entry = page.locator('#runs .run').first();
    assert.equal(await entry.getAttribute('class'), 'run file sel');
    assert.equal(await entry.textContent(), '\u{1F4C2} runner.logfailed7 events \u00b7 from file');
    assert.equal(await page.inputValue('header input[type=file]'), '');
  });

  test('a monitor download opens exactly like the served run', async () => {
    await showRun(page, 'served');
    const served = await page.$eval('#detail', (d) => [d.querySelector('.parte-riep').innerHTML,
                                                      d.querySelector('.parte-righe').innerHTML]);
    const download = await request(monitor.url + '/api/runs/served/download');
    assert.equal(download.status, 200);
    await openFile('served.ndjson', download.body.toString());
    await waitForBanner('served.ndjson');
    assert.deepEqual(await texts(page, '#detail .banner .brow > *'),
                     ['\u{1F4C2} served.ndjson', 'Served plan', 'served', 'completed', '5 events', '\u2715 close']);
    assert.equal(await page.textContent('#detail .banner .linea'), 'no header in the file');
    const fromFile = await page.$eval('#detail', (d) => [d.querySelector('.parte-riep').innerHTML,
                                                        d.querySelector('.parte-righe').innerHTML]);
    assert.deepEqual(fromFile, served);
  });

  test('server runs and the open file take turns in the panel; closing removes the entry', async () => {
    await openFile('runner.log', RUNNER_LOG);
    await waitForBanner('runner.log');
    // Ticks refresh only the list while a file is shown.
    await page.evaluate(() => (document.querySelector('#detail .ev').__marker = 1));
    await page.waitForTimeout(POLL_MS + 300);
    assert.equal(await page.evaluate(() => document.querySelector('#detail .ev').__marker), 1);

    await showRun(page, 'served');
    assert.deepEqual(await page.$$eval('#runs .run', (els) => els.map((e) => e.className)), ['run file', 'run sel']);
    await page.waitForTimeout(POLL_MS + 300);
    assert.equal(await page.textContent('#detail .banner .rid'), 'served');

    await page.click('#runs .run.file');
    await waitForBanner('runner.log');
    assert.deepEqual(await page.$$eval('#runs .run', (els) => els.map((e) => e.className)), ['run file sel', 'run']);

    await page.click('#detail .banner button.chiudi');
    assert.equal(await page.textContent('#detail'), 'Select a run on the left, or open a log file.');
    assert.deepEqual(await page.$$eval('#runs .run', (els) => els.map((e) => e.className)), ['run']);
    await page.waitForTimeout(POLL_MS + 300);
    assert.equal(await page.textContent('#detail'), 'Select a run on the left, or open a log file.');
  });

  test('a file with no usable line opens empty', async () => {
    await openFile('empty.txt', 'garbage\n\n[\n');
    await waitForBanner('empty.txt');
    assert.deepEqual(await texts(page, '#detail .banner .brow > *'),
                     ['\u{1F4C2} empty.txt', '(unknown)', 'running', '0 events', '\u2715 close']);
    assert.equal(await page.textContent('#detail .parte-righe'), 'No event with these filters.');
    assert.equal(await page.locator('#detail .riep').count(), 0);
  });
});
