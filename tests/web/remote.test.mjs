// SPDX-License-Identifier: MIT
// The touch pad without a browser: the acceleration curve, and gestures as the frames and
// commands they turn into.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { kDefaultSettings, kFastSpeed, kSlowSpeed, pointerGain } from '../../web/src/touchpad.js';
import { PointerBatch, TouchPad, keyCommand, keyNameOf, loadSettings } from '../../web/src/remote.js';

test('the gain rises smoothly from one desktop pixel to a 4K screen in half a pad', () => {
    const gains = Array.from({ length: 301 }, (_, i) => pointerGain(i / 100));
    gains.slice(1).forEach((g, i) => assert.ok(g >= gains[i], `falls at ${i / 100} px/ms`));
    assert.equal(pointerGain(0), 1);
    assert.equal(pointerGain(kSlowSpeed), 1);
    assert.ok(198 * pointerGain(kFastSpeed) >= 3840); // half of a 396 px pad, flicked
    assert.equal(pointerGain(1, { acceleration: false, sensitivity: 2 }), 6); // flat: today's ×3
    assert.equal(pointerGain(kFastSpeed, { sensitivity: 0.5 }), 10);
});

// Steps: ['down', id, x, y, ms], ['move', id, x, y, ms], ['up', id, ms], ['cancel', id],
// ['timer'] (the armed timer fires: a hold, a fling step), ['frame'] (an animation frame).
function run(steps, settings = { ...kDefaultSettings, acceleration: false, sensitivity: 1 }) {
    const sent = [];
    const sink = {
        sendMove: (dx, dy) => sent.push(`move ${dx} ${dy}`),
        sendPreciseMove: (dx, dy) => sent.push(`move ${dx.toFixed(2)} ${dy.toFixed(2)}`),
        sendScroll: (dx, dy) => sent.push(`scroll ${dx} ${dy}`),
        sendClick: (button, down) => sent.push(`click ${button} ${down ? 'down' : 'up'}`),
        sendCommand: (action, fields = {}) => sent.push(`${action} ${JSON.stringify(fields)}`),
    };
    const batch = new PointerBatch(sink, () => {}, settings);
    let timer = null;
    const pad = new TouchPad(batch, { settings, setTimer: (f) => (timer = f),
                                      clearTimer: () => (timer = null) });
    for (const [what, ...args] of steps) {
        if (what === 'timer')
            timer?.();
        else if (what === 'frame')
            batch.flush();
        else
            pad[what](...args);
    }
    batch.flush();
    return sent;
}

// Each case: what it shows, the steps, what is sent (moves in daemon units: desktop px / 3).
const cases = [
    ['moves go per frame, whole units as MOVE frames, the rest as decimals, nothing lost',
     [['down', 1, 0, 0, 0], ['move', 1, 10, 0, 16], ['frame'], ['move', 1, 10.9, -0.5, 32],
      ['frame'], ['move', 1, 11.5, -1.2, 48], ['up', 1, 300]],
     ['move 10 0', 'move 0.67 -0.33', 'move 0.67 -0.67']],
    ['a held still finger drags from where it is, and the release comes after the last move',
     [['down', 1, 50, 50, 0], ['move', 1, 52, 51, 100], ['timer'], ['move', 1, 62, 51, 500],
      ['up', 1, 900]],
     ['move 2 1', 'click 0 down', 'move 10 0', 'click 0 up']],
    ['a finger that leaves 3 px before the hold never drags, and its travel is sent',
     [['down', 1, 0, 0, 0], ['move', 1, 4, 0, 300], ['timer'], ['move', 1, 20, 0, 1700],
      ['up', 1, 1800]],
     ['move 20 0']],
    ['a slow short touch is no tap: it moves what it moved',
     [['down', 1, 0, 0, 0], ['move', 1, 5, 0, 200], ['timer'], ['up', 1, 900]], ['move 5 0']],
    ['a drag cut short by the browser or by the page going away releases the button',
     [['down', 1, 50, 50, 0], ['timer'], ['down', 2, 90, 50, 600], ['cancelAll']],
     ['click 0 down', 'click 0 up']],
    ['a two-finger tap clicks right',
     [['down', 1, 100, 100, 0], ['down', 2, 200, 100, 30], ['up', 1, 150], ['up', 2, 160]],
     ['click 1 down', 'click 1 up']],
    ['two fingers scroll on both axes; a fast lift flings on, slower, until a touch',
     [['down', 1, 0, 100, 0], ['down', 2, 40, 100, 0], ['move', 1, 0, 50, 40],
      ['move', 2, 40, 50, 40], ['move', 1, 30, 20, 60], ['move', 2, 70, 20, 60], ['frame'],
      ['up', 1, 70], ['up', 2, 70], ['timer'], ['timer'], ['frame'], ['down', 1, 0, 0, 100],
      ['up', 1, 500]],
     ['scroll 1 -4', 'scroll 1 -1']],
    ['three fingers swiped left bring the workspace on the right; swiped up, every window',
     [['down', 1, 100, 100, 0], ['down', 2, 140, 100, 0], ['down', 3, 180, 100, 0],
      ...[1, 2, 3].map((id) => ['move', id, 60 + 40 * id - 60, 100, 50]), ['up', 1, 90],
      ['up', 2, 90], ['up', 3, 90], ['down', 1, 100, 200, 200], ['down', 2, 140, 200, 200],
      ['down', 3, 180, 200, 200], ...[1, 2, 3].map((id) => ['move', id, 60 + 40 * id, 120, 250])],
     ['switchSpace {"dir":1}', 'missionControl {}']],
];

test('touch pad gestures', () => {
    for (const [name, steps, sent] of cases)
        assert.deepEqual(run(steps), sent, name);
    const traditional = { ...kDefaultSettings, naturalScroll: false, scrollSpeed: 2 };
    assert.deepEqual(run([['down', 1, 0, 100, 0], ['down', 2, 40, 100, 0], ['move', 1, 0, 80, 9],
                          ['move', 2, 40, 80, 9999], ['up', 1, 9999], ['up', 2, 9999]],
                         traditional), ['scroll 0 2'], 'traditional scrolling, twice as fast');
    assert.deepEqual(run([['down', 1, 0, 0, 0], ['up', 1, 50]],
                         { ...kDefaultSettings, tapToClick: false }), [], 'no tap to click');
});

test('the keys row, sticky modifiers and kept settings', () => {
    assert.deepEqual(keyCommand('f5', []), ['fkey', { n: 5 }]);
    assert.deepEqual(keyCommand('left', []), ['arrow', { dir: 'left' }]);
    assert.deepEqual(keyCommand('delete', []), ['deleteForward', {}]);
    assert.deepEqual(keyCommand('tab', ['ctrl', 'shift']),
                     ['combo', { mods: ['ctrl', 'shift'], key: 'tab' }]);
    assert.deepEqual(['C', '/', ' ', 'é', '日'].map(keyNameOf), ['c', 'slash', 'space', null, null]);
    const storage = new Map([['pointrelay.settings.desk:9001',
                              '{"sensitivity":2,"haptics":"no","other":1}']]);
    const kept = loadSettings({ getItem: (k) => storage.get(k) ?? null }, 'desk:9001');
    assert.deepEqual(kept, { ...kDefaultSettings, sensitivity: 2 });
    assert.deepEqual(loadSettings({ getItem: () => '{' }, 'x'), kDefaultSettings);
});
