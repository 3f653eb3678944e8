// Benchmark of the dashboard page on large runs in headless Chromium, run by hand:
//   TORVESK_MONITOR_BINARY=build/<dir>/torvesk-monitor node tests/browser/bench-dashboard.mjs
// (TORVESK_BENCH_PAGE: see below).
// Prints the median of several rounds for: the first draw of a 50,000-event run, a refresh tick
// while the run is unchanged, the periodic full refresh that fetches the unchanged detail, a
// refresh that brings 100 new events, a full redraw of the same events as the baseline, and search
// redraws on 10,000 and 50,000 events. "main thread" figures are Chromium's own task time
// (TaskDuration of the DevTools performance metrics) spent from the call until the change is
// painted: script, style, layout and paint together. Not part of the test suite: no pass/fail.
import fs from 'node:fs';
import {ev, launchBrowser, openPage, showRun, startMonitor, waitForRun} from './support.mjs';

const ROUNDS = 5;
const BATCH = 5000;  // events per push, well under the default body limit
const T0 = 1700000000000;

// A run shaped like a real one: nodes starting and completing, mostly log lines, some memory
// samples and rule statistics.
function makeRun(id, count) {
  const out = [ev('RunStarted', id, {plan_name: 'Bench ' + count}, T0)];
  for (let i = 1; i < count - 1; i++) {
    const node = 'node-' + (i % 40);
    const r = i % 20;
    if (r === 0) out.push(ev('MemorySample', id, {rss: 200e6 + i, detail: {total_pss: 150e6, processes: [{pid: 1}, {pid: 2}]}}, T0 + i));
    else if (r === 1) out.push(ev('NodeRuleStats', id, {node_id: node, rules: [{rule: 'not_null', action: 'reject', violations: i % 3}]}, T0 + i));
    else if (r === 2) out.push(ev('NodeStarted', id, {node_id: node, label: 'Step ' + (i % 40)}, T0 + i));
    else if (r === 3) out.push(ev('NodeCompleted', id, {node_id: node, stats: {rows_in: i, rows_out: i - 1, rows_rejected: 1}}, T0 + i));
    else out.push(ev('NodeLog', id, {node_id: node, level: i % 97 === 0 ? 'error' : 'info', message: `row batch ${i} written to <stage> & checked`}, T0 + i));
  }
  out.push(ev('RunCompleted', id, {elapsed_ms: count * 3}, T0 + count));
  return out;
}

// 100 events that follow the big run's own, a new batch in each round.
let grown = 0;
function grow(round) {
  const out = [];
  for (let k = 0; k < 100; k++, grown++) {
    out.push(ev('NodeLog', 'big', {node_id: 'node-' + (grown % 40), level: 'info', message: `late row ${round}/${k}`}, T0 + 60000 + grown));
  }
  return out;
}

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const fmt = (ms) => ms.toFixed(1).padStart(8) + ' ms';

const monitor = await startMonitor();
const browser = await launchBrowser();
try {
  for (const [id, n] of [['big', 50000], ['mid', 10000]]) {
    const events = makeRun(id, n);
    for (let i = 0; i < events.length; i += BATCH) await monitor.push(events.slice(i, i + BATCH));
  }
  const {page} = await openPage(browser.context);
  // TORVESK_BENCH_PAGE=<file in the repository> measures another version of the page (an earlier
  // commit's, say) in place of the built one, served with the built page's own headers.
  if (process.env.TORVESK_BENCH_PAGE) {
    const other = fs.readFileSync(process.env.TORVESK_BENCH_PAGE);
    await page.route((u) => u.pathname === '/', async (route) => {
      const real = await route.fetch();
      await route.fulfill({response: real, body: other});
    });
  }
  await page.goto(monitor.url);
  await page.setViewportSize({width: 1400, height: 900});
  await waitForRun(page, 'big');
  await waitForRun(page, 'mid');

  // Times inside the page: `frame` waits until the browser has laid out and painted the change.
  // The page's own 2-second timer is stopped so that only the measured calls fetch; `busy` sums
  // the long tasks (main-thread work over 50 ms) seen since the last call.
  const cdp = await browser.context.newCDPSession(page);
  await cdp.send('Performance.enable');
  const taskMs = async () => {
    const {metrics} = await cdp.send('Performance.getMetrics');
    return metrics.find((m) => m.name === 'TaskDuration').value * 1000;
  };
  // Main-thread time of `fn` (run in the page) until its change is painted.
  const mainThread = async (fn, arg) => {
    const before = await taskMs();
    await page.evaluate(fn, arg);
    return (await taskMs()) - before;
  };
  await page.evaluate(() => {
    for (let id = 1; id < 1000; id++) clearInterval(id);
    window.__frame = () => new Promise((r) => requestAnimationFrame(() => setTimeout(r, 0)));
    // The tick does not wait for the detail fetch it starts: wait (bounded) until none is on its way.
    window.__settled = async () => {
      for (let i = 0; i < 2000 && dettaglioInVolo.size > 0; i++) await new Promise((r) => setTimeout(r, 5));
      await window.__frame();
    };
    window.__long = 0;
    new PerformanceObserver((list) => {
      for (const e of list.getEntries()) window.__long += e.duration;
    }).observe({type: 'longtask'});
    window.__busy = () => {
      const b = window.__long;
      window.__long = 0;
      return b;
    };
  });

  const results = {};
  const record = (name, ms) => (results[name] ||= []).push(ms);
  for (let round = 0; round < ROUNDS; round++) {
    // First draw: from the choice of the run to a painted panel (fetch and parse included).
    await showRun(page, 'mid');
    record('first draw, 50,000 events (main thread)', await mainThread(async () => {
      await openRun('big');
      await window.__frame();
    }));
    await showRun(page, 'mid');
    record('first draw, 50,000 events (fetch + parse + draw)', await page.evaluate(async () => {
      const t = performance.now();
      await openRun('big');
      await window.__frame();
      return performance.now() - t;
    }));
    // An unchanged tick, one refresh period later as the timer would run it: the list shows the
    // run as drawn, so the detail is not fetched.
    await page.waitForTimeout(2000);
    const tick = await page.evaluate(async () => {
      window.__busy();
      const t = performance.now();
      await tick();
      await window.__frame();
      const wall = performance.now() - t;
      await new Promise((r) => setTimeout(r, 100));
      return [wall, window.__busy()];
    });
    record('unchanged refresh tick, 50,000 events (wall)', tick[0]);
    record('unchanged refresh tick, 50,000 events (main thread in long tasks)', tick[1]);
    await page.waitForTimeout(2000);
    record('unchanged refresh tick, 50,000 events (main thread)', await mainThread(async () => {
      await tick();
      await window.__settled();
    }));
    // 100 new events reach the shown run, and the next tick fetches and draws them.
    await monitor.push(grow(round));
    await page.waitForTimeout(100);
    const before = await page.evaluate(() => vistaEventi[vistaEventi.length - 1].ts);
    record('refresh with 100 new events, 50,000 events (main thread)', await mainThread(async () => {
      await tick();
      await window.__settled();
    }));
    if (await page.evaluate(() => vistaEventi[vistaEventi.length - 1].ts) === before) throw new Error('the new events were not drawn');
    // The full refresh every 15th tick: the whole detail is fetched and found equal to the drawn one.
    const full = await page.evaluate(async () => {
      window.__busy();
      const t = performance.now();
      await caricaDettaglio('big');
      await window.__frame();
      const wall = performance.now() - t;
      await new Promise((r) => setTimeout(r, 100));
      return [wall, window.__busy()];
    });
    record('unchanged periodic full refresh, 50,000 events (wall, fetch included)', full[0]);
    record('unchanged periodic full refresh, 50,000 events (main thread in long tasks)', full[1]);
    // Baseline: what the same tick costs when it redraws the whole panel from the same events.
    record('baseline: full redraw of the same 50,000 events', await page.evaluate(async () => {
      const t = performance.now();
      parti = null;
      mostraDettaglio();
      await window.__frame();
      return performance.now() - t;
    }));
    for (const [id, n] of [['mid', '10,000'], ['big', '50,000']]) {
      await showRun(page, id);
      for (const [label, text] of [['rare match', 'batch 777'], ['common match', 'checked'], ['cleared', '']]) {
        record(`search redraw, ${n} events, ${label} (main thread)`, await mainThread(async (t) => {
          filtro.testo = t;
          mostraDettaglio();
          await window.__frame();
        }, text));
      }
    }
  }
  const unchanged = median(results['unchanged refresh tick, 50,000 events (wall)']);
  const full = median(results['baseline: full redraw of the same 50,000 events']);
  console.log(`median of ${ROUNDS} rounds, headless Chromium, viewport 1400x900`);
  for (const [name, xs] of Object.entries(results)) console.log(fmt(median(xs)) + '  ' + name + '  [' + xs.map((x) => x.toFixed(0)).join(' ') + ']');
  console.log(`unchanged tick / full redraw = ${(unchanged / full).toFixed(3)}`);
} finally {
  await browser.close();
  await monitor.stop();
}
