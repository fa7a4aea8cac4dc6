// SPDX-License-Identifier: MIT
// The page in a real browser, as a phone on the LAN sees it: headless Chromium emulating a touch
// phone opens it from a non-secure origin (this machine's .local name, mapped to loopback) through the relay, to
// the real daemon driving a private X server, where xev watches a window that covers the screen.
// Run under tests/scripts/with_xvfb.sh; POINTRELAYD and RELAY_RUNNER name the built programs,
// SCREENSHOT_DIR where the page's screenshots go. Skipped when Chromium cannot start here.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import net from 'node:net';
import { hostname, tmpdir } from 'node:os';
import { join } from 'node:path';
import { createRequire } from 'node:module';
import { after, before, test } from 'node:test';

// From the page's own packages (npm ci in web/).
const { chromium, devices } = createRequire(new URL('../../web/package.json', import.meta.url))(
    'playwright-core');

const kKey = 'be9c'.repeat(16);
const kChromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
const kWait = 10000;
const kDesk = `${hostname().split('.')[0]}.local`; // a name the relay takes as its own

let browser, skip = false;
try {
    browser = await chromium.launch({
        executablePath: kChromium,
        args: ['--no-sandbox', `--host-resolver-rules=MAP ${kDesk} 127.0.0.1`],
    });
} catch (error) {
    skip = `Chromium does not start here: ${error.message.split('\n')[0]}`;
}
let daemon, relay, xev, home, daemonPort, webPort;

// A child process whose output is kept, with a way to wait for what it prints.
function start(program, args, env = process.env) {
    const child = spawn(program, args, { env, stdio: ['ignore', 'pipe', 'pipe'] });
    child.output = '';
    for (const stream of [child.stdout, child.stderr])
        stream.on('data', (chunk) => { child.output += chunk; });
    child.waitFor = (pattern, ms = kWait) => until(() => pattern.exec(child.output), ms,
                                                   `${program} printing ${pattern}`);
    return child;
}

async function until(condition, ms, what) {
    const deadline = Date.now() + ms;
    for (;;) {
        const result = await condition();
        if (result)
            return result;
        if (Date.now() > deadline)
            throw new Error(`waited ${ms} ms for ${what}`);
        await new Promise((resolve) => setTimeout(resolve, 20));
    }
}

const freePort = () => new Promise((resolve) => {
    const server = net.createServer().listen(0, '127.0.0.1', () => {
        const { port } = server.address();
        server.close(() => resolve(port));
    });
});

const pointer = () => {
    const out = execFileSync('xdotool', ['getmouselocation', '--shell'], { encoding: 'utf8' });
    return { x: Number(/X=(\d+)/.exec(out)[1]), y: Number(/Y=(\d+)/.exec(out)[1]) };
};
// What xev saw since `from`: button presses and the text of key presses.
const buttons = (from) => [...xev.output.slice(from).matchAll(/ButtonPress[^]*?button (\d+)/g)]
    .map((m) => Number(m[1]));
const typed = (from) => [...xev.output.slice(from).matchAll(/XmbLookupString gives \d+ bytes: \([^)]*\) "(.*)"/g)]
    .map((m) => m[1]).join('');

async function startRelay() {
    relay = start(process.env.RELAY_RUNNER, [String(webPort), String(daemonPort)]);
    await relay.waitFor(/relay \d+/);
}

before(async () => {
    if (skip)
        return;
    home = mkdtempSync(join(tmpdir(), 'pointrelay-browser-'));
    [daemonPort, webPort] = [await freePort(), await freePort()];
    daemon = start(process.env.POINTRELAYD,
                   ['--no-mdns', '--port', String(daemonPort), '--psk', kKey],
                   { ...process.env, XDG_STATE_HOME: home, WAYLAND_DISPLAY: '' });
    await daemon.waitFor(/Input: X11/);
    await startRelay();
    xev = start('xev', ['-geometry', '1280x800+0+0', '-event', 'keyboard', '-event', 'button'],
                { ...process.env, LANG: 'C.UTF-8', LC_ALL: 'C.UTF-8' });
    await xev.waitFor(/MapNotify|Expose|FocusIn|window 0x/);
    execFileSync('xdotool', ['mousemove', '640', '400']);
});

after(async () => {
    await browser?.close();
    for (const child of [relay, daemon, xev])
        child?.kill();
    if (home)
        rmSync(home, { recursive: true, force: true });
});

// A phone's page, connected to the desktop (or told why not).
async function openPage(key, locale = 'en-US') {
    const page = await (await browser.newContext({ ...devices['Pixel 7'], locale })).newPage();
    await page.goto(`http://${kDesk}:${webPort}/#k=${key}`);
    return page;
}
const stateOf = (page) => page.evaluate(() => document.body.dataset.state);

// Touches through CDP (Playwright's touchscreen only taps): each step lists the fingers, one
// step every `stepMs` (kept to the clock, however long each dispatch takes).
async function touch(page, steps, stepMs = 16) {
    const start = Date.now();
    const cdp = await page.context().newCDPSession(page);
    const box = await page.locator('#pad').boundingBox();
    const at = ([x, y], id) => ({ x: box.x + x, y: box.y + y, id });
    for (const [i, fingers] of steps.entries()) {
        const type = i === 0 ? 'touchStart' : i === steps.length - 1 ? 'touchEnd' : 'touchMove';
        await cdp.send('Input.dispatchTouchEvent',
                       { type, touchPoints: type === 'touchEnd' ? [] : fingers.map(at) });
        await new Promise((resolve) => setTimeout(resolve, start + (i + 1) * stepMs - Date.now()));
    }
}
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const swipe = (from, dx, dy, fingers = 1, steps = 10) => Array.from({ length: steps + 2 }, (_, i) => {
    const k = Math.min(i, steps) / steps;
    return Array.from({ length: fingers }, (_, f) => [from[0] + 40 * f + dx * k, from[1] + dy * k]);
});

test('the page drives the X pointer and keyboard through the relay', { skip, timeout: 60000 }, async () => {
    const page = await openPage(kKey, 'ja-JP');
    await until(async () => (await stateOf(page)) === 'connected', kWait, 'connected');
    assert.match(relay.output, /Web remote: phone 127\.0\.0\.1 connected/);
    const shots = process.env.SCREENSHOT_DIR ?? join(tmpdir(), 'screenshots');
    mkdirSync(shots, { recursive: true });
    await page.screenshot({ path: join(shots, 'web_remote_portrait.png') });

    // Accelerated: a slow finger reaches single pixels, a fast one crosses the screen; a slow
    // move towards a small target never turns into a drag.
    const travel = async (dx, ms, steps) => {
        execFileSync('xdotool', ['mousemove', '100', '400']);
        await sleep(100);
        const from = pointer().x;
        await touch(page, swipe([60, 200], dx, 0, 1, steps), ms / steps);
        await sleep(300);
        return pointer().x - from;
    };
    let mark = xev.output.length;
    const slow = await travel(10, 1000, 20);
    assert.ok(slow >= 8 && slow <= 12, `a slow 10 px moved ${slow}`);
    const fast = await travel(100, 60, 4);
    assert.ok(fast >= 600, `a fast 100 px swipe moved ${fast}`);
    const careful = await travel(20, 1700, 34);
    assert.ok(careful > 0 && !buttons(mark).includes(1), `20 px over 1.7 s: ${careful}, ${buttons(mark)}`);
    // A finger held still drags: the button goes down, moves with it, and up.
    await touch(page, [[[60, 200]], [[60, 200]], [[90, 200]], [[90, 200]]], 500);
    await until(() => buttons(mark).includes(1), kWait, 'a drag');
    // Three fingers swiped left: the workspace on the right.
    await touch(page, swipe([40, 200], -120, 0, 3, 8));
    await daemon.waitFor(/switchSpace HID dir=\+1/);

    mark = xev.output.length;
    await touch(page, [[[150, 150]], [[150, 150]]]); // a tap
    await until(() => buttons(mark).includes(1), kWait, 'a left click');

    // Two fingers 100 CSS px up: natural scrolling, the content follows them (button 5).
    mark = xev.output.length;
    await touch(page, swipe([60, 300], 0, -100, 2));
    await until(() => buttons(mark).filter((b) => b === 5).length >= 3, kWait, 'wheel steps down');
    assert.ok(!buttons(mark).includes(4));

    mark = xev.output.length;
    await page.click('#kbd');
    await page.locator('#field').pressSequentially('héllo 日本語');
    await until(() => typed(mark) === 'héllo 日本語', kWait, `the text, not "${typed(mark)}"`);
    // Sticky Ctrl, then "c" typed: Control+C on the desktop. The field keeps the focus.
    mark = xev.output.length;
    await page.tap('[data-mod="ctrl"]');
    await page.locator('#field').pressSequentially('c');
    await until(() => /Control_L[^]*KeyPress[^]*keysym 0x63, c\)/.test(xev.output.slice(mark)),
                kWait, 'Control+C');
    for (const key of ['delete', 'enter'])
        await page.tap(`[data-key="${key}"]`);
    assert.equal(await page.evaluate(() => document.activeElement.id), 'field');
    await page.screenshot({ path: join(shots, 'web_remote_keys.png') });

    await page.click('[data-sys="copy"]');
    await page.locator('[data-sys="copy"][data-acked]').waitFor({ timeout: kWait });
    await page.setViewportSize({ width: 839, height: 180 }); // turned, the keyboard open
    assert.ok(await page.locator('#field').isVisible());
    await page.screenshot({ path: join(shots, 'web_remote_landscape_typing.png') });
    await page.setViewportSize({ width: 320, height: 568 });
    await page.screenshot({ path: join(shots, 'web_remote_320.png') });

    // A setting is kept for this desktop across a reload.
    await page.click('#gear');
    await page.locator('[name="naturalScroll"]').uncheck();
    await page.screenshot({ path: join(shots, 'web_remote_settings.png') });
    await page.click('#settingsDone');
    await page.reload();
    await until(async () => (await stateOf(page)) === 'connected', kWait, 'connected again');
    assert.equal(await page.locator('[name="naturalScroll"]').isChecked(), false);

    // The relay restarts: the page connects again by itself.
    relay.kill();
    await until(async () => (await stateOf(page)) !== 'connected', kWait, 'the loss noticed');
    await startRelay();
    await until(async () => (await stateOf(page)) === 'connected', kWait, 'connected again');
    await page.context().close();
});

test('a wrong key is told as such, and the daemon logs why', { skip, timeout: 30000 }, async () => {
    const page = await openPage('0'.repeat(64));
    await until(async () => (await stateOf(page)) === 'wrongKey', kWait, 'wrong key');
    assert.match(await page.locator('#status').innerText(), /Wrong key|鍵が違います/);
    assert.match(daemon.output, /Handshake: HMAC mismatch/);
    await page.context().close();
});
