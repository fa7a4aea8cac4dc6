// SPDX-License-Identifier: MIT
// What the browser benchmarks share: Playwright from the page's own packages, the name the
// relay takes as this machine's, free loopback ports, and children started until they say
// they are ready.
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import net from 'node:net';
import { hostname } from 'node:os';
import { join } from 'node:path';

export const root = new URL('..', import.meta.url).pathname;
export const { chromium, devices } =
    createRequire(join(root, 'web/package.json'))('playwright-core');
export const kDesk = `${hostname().split('.')[0]}.local`; // a name the relay takes as its own

export const freePort = () => new Promise((resolve) => {
    const server = net.createServer().listen(0, '127.0.0.1', () => {
        const { port } = server.address();
        server.close(() => resolve(port));
    });
});

/// A child whose output is kept in `output` (and `onData` called on each piece), once its
/// output matches `ready`.
export function start(program, args, env, ready) {
    const child = spawn(program, args, { env, stdio: ['ignore', 'pipe', 'pipe'] });
    child.output = '';
    return new Promise((resolve, reject) => {
        const seen = (chunk) => {
            child.output += chunk;
            child.onData?.();
            if (ready.test(child.output))
                resolve(child);
        };
        child.stdout.on('data', seen);
        child.stderr.on('data', seen);
        child.on('exit', () => reject(new Error(`${program} ended: ${child.output}`)));
    });
}

/// The built daemon with `key` and the relay in front of it, each on a free loopback port.
export async function startDaemonAndRelay(build, key, env) {
    const [daemonPort, webPort] = [await freePort(), await freePort()];
    const daemon = await start(join(build, 'daemon/pointrelayd'),
                               ['--no-mdns', '--port', String(daemonPort), '--psk', key], env,
                               /Listening on port/);
    const relay = await start(join(build, 'tests/web/relay_runner'),
                              [String(webPort), String(daemonPort)], env, /relay \d+/);
    return { children: [daemon, relay], webPort };
}
