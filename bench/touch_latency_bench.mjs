// SPDX-License-Identifier: MIT
// Touch-to-pointer latency of the browser remote as a person feels it: a touch move dispatched
// into headless Chromium (a touch phone) until the X server reports the pointer's motion at a
// window covering the screen, through the relay and the built daemon. The page as it ships
// (gestures, acceleration, batching per animation frame) beside a minimal page in the same run
// that sends each touch move straight to the WebSocket as a MOVE frame.
// Usage, under tests/scripts/with_xvfb.sh: node bench/touch_latency_bench.mjs BUILD_DIR
// Exit: 0, 1 (a goal not met or a figure without its samples), 77 (Chromium cannot start).
import { execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import { FrameType, buildHello, frame, randomNonce } from '../web/src/protocol.js';
import { chromium, devices, kDesk, root, start, startDaemonAndRelay } from './browser_support.mjs';

const build = process.argv[2] ?? join(root, 'build-bench');
const kKey = 'c3'.repeat(32);
const kMoves = 300;
const kStepPx = 2;

const percentile = (sorted, p) => sorted[Math.min(sorted.length - 1, Math.floor(p * sorted.length))];

// One finger down, moved out of the tap slop, then kMoves small moves: for each, the time from
// dispatching it to the X server's next MotionNotify at the witness.
async function measure(page, xev) {
    const cdp = await page.context().newCDPSession(page);
    const touch = (type, x) => cdp.send('Input.dispatchTouchEvent',
        { type, touchPoints: type === 'touchEnd' ? [] : [{ x, y: 300, id: 1 }] });
    let x = 60;
    await touch('touchStart', x);
    for (; x < 120; x += 5) // out of the tap slop, and the pipeline warmed up
        await touch('touchMove', x);
    await new Promise((resolve) => setTimeout(resolve, 200));
    const times = [];
    for (let i = 0; i < kMoves; ++i) {
        if (i % 50 === 0)
            execFileSync('xdotool', ['mousemove', '100', '400'], { stdio: 'ignore' }); // off the edge
        xev.output = '';
        const motion = new Promise((resolve) => {
            xev.onData = () => /MotionNotify/.test(xev.output) && resolve(true);
            setTimeout(() => resolve(false), 1000);
        });
        const begin = performance.now();
        await touch('touchMove', (x += kStepPx));
        if (await motion)
            times.push(performance.now() - begin);
        await new Promise((resolve) => setTimeout(resolve, 20));
    }
    await touch('touchEnd', x);
    return times.sort((a, b) => a - b);
}

console.log('\nBrowser remote: touch to pointer (X11 under Xvfb)');
const home = mkdtempSync(join(tmpdir(), 'pointrelay-touch-bench-'));
const env = { ...process.env, XDG_STATE_HOME: home, WAYLAND_DISPLAY: '' };
let children = [];
let browser;
try {
    const started = await startDaemonAndRelay(build, kKey, env);
    children = started.children;
    const { webPort } = started;
    const xev = await start('xev', ['-geometry', '1280x800+0+0', '-event', 'mouse'], env,
                            /MapNotify|Expose|window 0x/);
    children.push(xev);
    try {
        browser = await chromium.launch({
            executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
            args: ['--no-sandbox', `--host-resolver-rules=MAP ${kDesk} 127.0.0.1`],
        });
    } catch (error) {
        console.log(`  Chromium does not start here: ${error.message.split('\n')[0]}`);
        process.exit(77);
    }
    const context = await browser.newContext(devices['Pixel 7']);
    const page = await context.newPage();
    await page.goto(`http://${kDesk}:${webPort}/#k=${kKey}`);
    await page.waitForFunction(() => document.body.dataset.state === 'connected');
    const shipped = await measure(page, xev);
    await context.close();

    // The minimal page: the same origin (the relay serves any of its files), a HELLO made
    // here, and every touch move sent at once as a MOVE frame of its CSS pixels.
    const bare = await (await browser.newContext(devices['Pixel 7'])).newPage();
    await bare.goto(`http://${kDesk}:${webPort}/manifest.webmanifest`);
    await bare.evaluate(({ hello, move }) => new Promise((resolve) => {
        const ws = new WebSocket(`ws://${location.host}/ws`);
        ws.binaryType = 'arraybuffer';
        ws.onopen = () => ws.send(Uint8Array.from(hello));
        ws.onmessage = () => resolve(); // the WELCOME
        let first = null, sent = { x: 0, y: 0 }; // whole pixels from where the finger began
        window.addEventListener('touchmove', (e) => { // MOVE frames of CSS pixels
            const { clientX: x, clientY: y } = e.touches[0];
            first ??= { x, y };
            const [dx, dy] = [Math.round(x - first.x) - sent.x, Math.round(y - first.y) - sent.y];
            sent = { x: sent.x + dx, y: sent.y + dy };
            ws.send(Uint8Array.of(0, 0, 0, 5, move, dx >> 8 & 255, dx & 255, dy >> 8 & 255,
                                  dy & 255));
            e.preventDefault(); // ours, as the page's pad is: no scrolling or zooming
        }, { passive: false });
    }), { hello: [...frame(buildHello(kKey, randomNonce()))], move: FrameType.Move });
    const baseline = await measure(bare, xev);

    const line = (name, times) => console.log(
        `  ${name.padEnd(44)} p50 ${percentile(times, 0.5).toFixed(2).padStart(6)} ms   ` +
        `p99 ${percentile(times, 0.99).toFixed(2).padStart(6)} ms   (${times.length} of ${kMoves})`);
    line('minimal page (baseline)', baseline);
    line('the page as it ships', shipped);
    if (shipped.length < kMoves || baseline.length < kMoves) {
        console.log('  NO FIGURE: moves that never reached the X server');
        process.exitCode = 1;
    } else {
        const ratio = percentile(shipped, 0.99) / percentile(baseline, 0.99);
        const met = ratio <= 1.2;
        console.log(`  p99 ratio ${ratio.toFixed(2)}x   goal <= 1.2x: ${met ? 'met' : 'NOT MET'}`);
        process.exitCode = met ? 0 : 1;
    }
} finally {
    await browser?.close();
    for (const child of children)
        child.kill();
    rmSync(home, { recursive: true, force: true });
}
