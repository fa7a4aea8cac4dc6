// SPDX-License-Identifier: MIT
// The page's protocol module against the built daemon over loopback TCP (what the relay carries
// byte for byte). Skipped when the daemon is not built; POINTRELAYD names another binary.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { PhoneClient, sysCommand } from '../../web/src/protocol.js';

const daemonPath = process.env.POINTRELAYD ??
    fileURLToPath(new URL('../../build/daemon/pointrelayd', import.meta.url));
const skip = existsSync(daemonPath) ? false : `no daemon at ${daemonPath}`;
const options = { skip, timeout: 5000 };
const kPsk = 'c0ffee'.repeat(10) + 'C0DE';

let daemon;
let port;
let home;
let log = '';

const freePort = () => new Promise((resolve) => {
    const server = net.createServer().listen(0, '127.0.0.1', () => {
        const { port: found } = server.address();
        server.close(() => resolve(found));
    });
});

before(async () => {
    if (skip)
        return;
    home = mkdtempSync(join(tmpdir(), 'pointrelay-web-'));
    port = await freePort();
    const env = { ...process.env, HOME: home, XDG_STATE_HOME: home };
    delete env.DISPLAY; // the null input layer: nothing is posted anywhere
    delete env.WAYLAND_DISPLAY;
    daemon = spawn(daemonPath, ['--port', String(port), '--psk', kPsk, '--no-mdns'],
                   { env, stdio: ['ignore', 'ignore', 'pipe'] });
    await new Promise((resolve, reject) => {
        daemon.stderr.on('data', (chunk) => {
            log += chunk;
            if (log.includes('Listening on port'))
                resolve();
        });
        daemon.on('exit', (code) => reject(new Error(`daemon ended (${code}): ${log}`)));
    });
}, { timeout: 5000 });

after(async () => {
    if (daemon && daemon.exitCode === null) {
        const ended = new Promise((resolve) => daemon.on('exit', resolve));
        daemon.kill('SIGTERM');
        await ended;
    }
    if (home)
        rmSync(home, { recursive: true, force: true });
});

// Connects with `psk`, runs `script(phone)` after the WELCOME, and resolves with what happened.
function session(psk, script = () => {}) {
    return new Promise((resolve) => {
        const events = [];
        const socket = net.connect(port, '127.0.0.1');
        const phone = new PhoneClient(psk, (bytes) => socket.write(bytes));
        phone.onWelcome = () => {
            events.push('welcome');
            script(phone);
        };
        phone.onText = (text) => {
            events.push(text);
            if (text.includes('paste'))
                socket.end();
        };
        phone.onWrongKey = phone.onBroken = (why) => events.push(why ?? 'wrong key');
        socket.on('connect', () => {
            events.push('open');
            phone.handshake();
        });
        // Node's chunks split and join frames as they come, as WebSocket messages may.
        socket.on('data', (chunk) => phone.receive(chunk));
        socket.on('close', () => resolve(events));
    });
}

test('sealed commands with counters 0 and 1 reach the daemon', options, async () => {
    const events = await session(kPsk, (phone) => {
        phone.sendMove(3, -2);
        phone.sendSealedText(sysCommand('copy'));
        phone.sendPing();
        phone.sendSealedText(sysCommand('paste'));
    });
    assert.deepEqual(events, [
        'open',
        'welcome',
        '{"type":"ack","payload":{"action":"copy","ok":true}}',
        '{"type":"ack","payload":{"action":"paste","ok":true}}',
    ]);
});

test('with the wrong key the daemon closes without a word', options, async () => {
    assert.deepEqual(await session(kPsk.toLowerCase()), ['open']);
    assert.match(log, /Handshake: HMAC mismatch/);
});
