// SPDX-License-Identifier: MIT
// The browser remote page: its weight as the relay serves it (gzip -9 of the page's three
// files), and the time from opening its address in headless Chromium (a touch phone on a
// non-secure origin) to "connected", through the relay to the built daemon (no window system:
// nothing is injected). Usage: node bench/page_bench.mjs BUILD_DIR
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { gzipSync } from 'node:zlib';

import { chromium, devices, kDesk, root, startDaemonAndRelay } from './browser_support.mjs';

const build = process.argv[2] ?? join(root, 'build-bench');
const kKey = 'a5'.repeat(32);
const kOpens = 10;

const figure = (name, value, unit, goal, met) =>
    console.log(`  ${name.padEnd(60)} ${value.padStart(10)} ${unit}   goal ${goal}: ${met ? 'met' : 'NOT MET'}`);

console.log('\nBrowser remote: the page');
const bytes = ['index.html', 'style.css', 'dist/remote.bundle.js']
    .map((file) => gzipSync(readFileSync(join(root, 'web', file)), { level: 9 }).length)
    .reduce((a, b) => a + b, 0);
figure('Page weight, gzip -9 (index.html, style.css, bundle)', (bytes / 1024).toFixed(1), 'KB',
       '<= 40 KB', bytes <= 40 * 1024);

const home = mkdtempSync(join(tmpdir(), 'pointrelay-page-bench-'));
const env = { ...process.env, XDG_STATE_HOME: home, DISPLAY: '', WAYLAND_DISPLAY: '' };
let children = [];
let browser;
try {
    const started = await startDaemonAndRelay(build, kKey, env);
    children = started.children;
    const { webPort } = started;
    browser = await chromium.launch({
        executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
        args: ['--no-sandbox', `--host-resolver-rules=MAP ${kDesk} 127.0.0.1`],
    });
    const times = [];
    for (let i = 0; i < kOpens; ++i) {
        const context = await browser.newContext(devices['Pixel 7']);
        const page = await context.newPage();
        const begin = performance.now();
        await page.goto(`http://${kDesk}:${webPort}/#k=${kKey}`);
        await page.waitForFunction(() => document.body.dataset.state === 'connected', null,
                                   { timeout: 10000, polling: 'raf' });
        times.push(performance.now() - begin);
        await context.close();
    }
    times.sort((a, b) => a - b);
    const median = times[Math.floor(times.length / 2)];
    figure(`Open the address -> "connected", median of ${kOpens}`, median.toFixed(0), 'ms',
           '<= 500 ms', median <= 500);
    figure(`Open the address -> "connected", slowest of ${kOpens}`, times.at(-1).toFixed(0), 'ms',
           '<= 500 ms', times.at(-1) <= 500);
} catch (error) {
    console.log(`  the page could not be opened here: ${error.message.split('\n')[0]}`);
    process.exitCode = 77;
} finally {
    await browser?.close();
    for (const child of children)
        child.kill();
    rmSync(home, { recursive: true, force: true });
}
