// Runs the browser suite with the Node test runner, or reports it skipped (exit 77) where its
// dependencies are missing: `npm ci` in this folder and Debian's chromium.
import {spawnSync} from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const chromium = process.env.TORVESK_CHROMIUM || '/usr/bin/chromium';
const SKIP = 77;
const TEST_TIMEOUT_MS = 300000;  // one test; the slowest (the hostile file) takes 80 s and more on a loaded machine

for (const [what, file] of [['playwright-core (run npm ci in tests/browser)', path.join(here, 'node_modules/playwright-core')],
                            ['chromium', chromium]]) {
  if (!fs.existsSync(file)) {
    console.log(`browser tests skipped: ${what} not found at ${file}`);
    process.exit(SKIP);
  }
}
const files = fs.readdirSync(here).filter((f) => f.endsWith('.test.mjs') && f !== 'page-bytes.test.mjs').sort();
const run = spawnSync(process.execPath, ['--test', '--test-concurrency=1', `--test-timeout=${TEST_TIMEOUT_MS}`,
                                         ...files.map((f) => path.join(here, f))],
                      {stdio: 'inherit', cwd: here});
process.exit(run.status === null ? 1 : run.status);
