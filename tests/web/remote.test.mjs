// SPDX-License-Identifier: MIT
// Gestures of the touch pad, as the frames they turn into.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { PointerBatch, TouchPad } from '../../web/src/remote.js';

// Steps: ['down', id, x, y, ms], ['move', id, x, y], ['up', id, ms], ['cancel', id],
// ['hold'] (the hold timer fires, if armed), ['frame'] (an animation frame).
function run(steps) {
    const sent = [];
    const sink = {
        sendMove: (dx, dy) => sent.push(`move ${dx} ${dy}`),
        sendScroll: (dx, dy) => sent.push(`scroll ${dx} ${dy}`),
        sendClick: (button, down) => sent.push(`click ${button} ${down ? 'down' : 'up'}`),
    };
    const batch = new PointerBatch(sink, () => {});
    let timer = null;
    const pad = new TouchPad(batch,
                             { setTimer: (f) => (timer = f), clearTimer: () => (timer = null) });
    for (const [what, ...args] of steps) {
        if (what === 'hold')
            timer?.();
        else if (what === 'frame')
            batch.flush();
        else
            pad[what](...args);
    }
    batch.flush();
    return sent;
}

// Each case: what it shows, the steps, the frames sent.
const cases = [
    ['moves are sent per frame in whole pixels, the fractions carried',
     [['down', 1, 0, 0, 0], ['move', 1, 10.4, 0], ['frame'], ['move', 1, 10.9, -0.5], ['frame'],
      ['move', 1, 11.5, -1.2], ['up', 1, 300]],
     ['move 10 0', 'move 1 -1']],
    ['a held finger drags, and the release comes after the last move',
     [['down', 1, 50, 50, 0], ['hold'], ['move', 1, 60, 50], ['frame'], ['move', 1, 65, 48],
      ['up', 1, 900]],
     ['click 0 down', 'move 10 0', 'move 5 -2', 'click 0 up']],
    ['a drag cut short by the browser or by the page going away releases the button',
     [['down', 1, 50, 50, 0], ['hold'], ['down', 2, 90, 50, 600], ['cancelAll']],
     ['click 0 down', 'click 0 up']],
    ['a finger that moves before the hold time never drags',
     [['down', 1, 0, 0, 0], ['move', 1, 20, 0], ['hold'], ['up', 1, 900]], ['move 20 0']],
    ['a two-finger tap clicks right',
     [['down', 1, 100, 100, 0], ['down', 2, 200, 100, 30], ['up', 1, 150], ['up', 2, 160]],
     ['click 1 down', 'click 1 up']],
];

test('touch pad gestures', () => {
    for (const [name, steps, sent] of cases)
        assert.deepEqual(run(steps), sent, name);
});
