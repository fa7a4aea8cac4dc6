// SPDX-License-Identifier: MIT
// The touch pad without the DOM: the pointer's acceleration, the output batched per animation
// frame, and the gestures, fed with positions in CSS pixels and times in milliseconds.
import { Button } from './protocol.js';

export const kTapSlopPx = 8;        // finger travel (CSS px) that still counts as a tap
export const kHoldSlopPx = 3;       // a hold drags only if the finger stayed this still
export const kHoldMs = 400;         // a still finger held this long presses the left button
export const kTapMs = 300;          // a touch longer than this is no tap
export const kTwoFingerTapMs = 500; // two fingers lifted within this count as a right click
export const kSwipePx = 50;         // three fingers' travel that makes a swipe
// One SCROLL unit is one wheel step (40 desktop pixels on X11), at scroll speed 1.
export const kScrollPxPerUnit = 20;
// The daemon multiplies a move by this; moves are sent in its units.
export const kDaemonGain = 3;
// A fling: the lift's speed (CSS px per ms) decays each 16 ms step until it is slow.
export const kFlingMinSpeed = 0.3;
export const kFlingStopSpeed = 0.02;
export const kFlingDecay = 0.92;
export const kFlingStepMs = 16;

// The acceleration curve: desktop pixels per CSS pixel by finger speed (CSS px per ms).
export const kMinGain = 1;    // slow: any single desktop pixel can be reached
export const kMaxGain = 20;   // fast: a flick across half a phone's pad crosses a 4K screen
export const kSlowSpeed = 0.05;
export const kFastSpeed = 1.5;

/// What a person sets on the phone; the defaults suit a first-time user.
export const kDefaultSettings = Object.freeze({
    sensitivity: 1,      // multiplies the pointer's gain
    acceleration: true,  // false: a flat gain of 3 desktop pixels per CSS pixel
    scrollSpeed: 1,      // multiplies the scroll
    naturalScroll: true, // the content follows the fingers
    tapToClick: true,
    haptics: true,
});

/// Desktop pixels per CSS pixel at `speed`: kMinGain up to kSlowSpeed, rising smoothly
/// (a smoothstep) to kMaxGain at kFastSpeed, times the sensitivity. Flat without acceleration.
export function pointerGain(speed, { sensitivity = 1, acceleration = true } = {}) {
    if (!acceleration)
        return kDaemonGain * sensitivity;
    const t = Math.min(Math.max((speed - kSlowSpeed) / (kFastSpeed - kSlowSpeed), 0), 1);
    return sensitivity * (kMinGain + (kMaxGain - kMinGain) * t * t * (3 - 2 * t));
}

/// Finger travel to desktop pixels, at the gain of the finger's speed (smoothed over moves).
export class PointerAccel {
    constructor(settings = kDefaultSettings) {
        this.settings = settings;
        this.reset();
    }

    reset() {
        this.m_time = null;
        this.m_speed = null;
    }

    apply(dx, dy, time) {
        const dt = this.m_time === null ? 0 : time - this.m_time;
        this.m_time = time;
        if (dt > 0) {
            const speed = Math.hypot(dx, dy) / dt;
            this.m_speed = this.m_speed === null ? speed : (this.m_speed + speed) / 2;
        }
        const gain = pointerGain(this.m_speed ?? 0, this.settings);
        return [dx * gain, dy * gain];
    }
}

/// Pointer output batched per animation frame: moves (in desktop pixels) and scrolls (in CSS
/// pixels) are summed and sent once per frame, whole units, the fractions carried to the next
/// frame. A move of whole daemon units goes as a MOVE frame, any other as a "move" command
/// with decimals (the daemon rounds them back to whole pixels), so every pixel arrives. A
/// click first sends what is pending, so it lands where the pointer was meant to be.
export class PointerBatch {
    constructor(sink, requestFrame, settings = kDefaultSettings) {
        this.m_sink = sink; // { sendMove, sendPreciseMove, sendScroll, sendClick, sendCommand }
        this.m_requestFrame = requestFrame;
        this.settings = settings;
        this.m_scheduled = false;
        this.m_move = [0, 0];
        this.m_scroll = [0, 0];
    }

    move(dx, dy) { this.m_add(this.m_move, dx, dy); }
    scroll(dx, dy) { this.m_add(this.m_scroll, dx, dy); }

    click(button, down) {
        this.flush();
        this.m_sink.sendClick(button, down);
    }

    command(action, fields) {
        this.flush();
        this.m_sink.sendCommand(action, fields);
    }

    flush() {
        this.m_scheduled = false;
        const [mx, my] = this.m_take(this.m_move, 1);
        if (mx % kDaemonGain === 0 && my % kDaemonGain === 0) {
            if (mx || my)
                this.m_sink.sendMove(mx / kDaemonGain, my / kDaemonGain);
        } else {
            this.m_sink.sendPreciseMove(mx / kDaemonGain, my / kDaemonGain);
        }
        const sign = this.settings.naturalScroll ? 1 : -1;
        const [sx, sy] = this.m_take(this.m_scroll, kScrollPxPerUnit / this.settings.scrollSpeed);
        if (sx || sy)
            this.m_sink.sendScroll(sign * sx, sign * sy);
    }

    m_add(sum, dx, dy) {
        sum[0] += dx;
        sum[1] += dy;
        if (!this.m_scheduled) {
            this.m_scheduled = true;
            this.m_requestFrame(() => this.flush());
        }
    }

    // Whole units out of `sum`, the remainder (same sign) left in it.
    m_take(sum, perUnit) {
        const units = sum.map((v) => Math.trunc(v / perUnit));
        sum[0] -= units[0] * perUnit;
        sum[1] -= units[1] * perUnit;
        return units;
    }
}

/// Gestures of the touch pad: one finger moves (accelerated); a tap clicks left; a finger held
/// still presses left until it lifts (drag); two fingers scroll on both axes, with a fling
/// after a fast lift, or, lifted without moving, click right; three fingers swiped left or
/// right switch the workspace, swiped up show every window. Scrolls follow the finger the way
/// natural scrolling does unless the settings say otherwise.
export class TouchPad {
    constructor(out, {
        setTimer = (f, ms) => setTimeout(f, ms),
        clearTimer = (timer) => clearTimeout(timer),
        onDrag = () => {},
        onClick = () => {},
        settings = kDefaultSettings,
    } = {}) {
        this.m_out = out; // { move, scroll, click, command } as PointerBatch
        this.m_setTimer = setTimer;
        this.m_clearTimer = clearTimer;
        this.m_onDrag = onDrag;
        this.m_onClick = onClick;
        this.settings = settings;
        this.m_accel = new PointerAccel(settings);
        this.m_pointers = new Map();
        this.m_state = 'idle';
        this.m_timer = null;
        this.m_fling = null;
    }

    down(id, x, y, time) {
        this.m_stopFling();
        this.m_pointers.set(id, { x, y });
        if (this.m_state === 'idle') {
            this.m_state = 'pending';
            this.m_primary = id;
            this.m_start = { x, y, time };
            this.m_still = true; // within kHoldSlopPx since it touched
            this.m_accel = new PointerAccel(this.settings);
            this.m_accel.apply(0, 0, time);
            this.m_timer = this.m_setTimer(() => this.m_hold(), kHoldMs);
        } else if (this.m_pointers.size === 2 &&
                   (this.m_state === 'pending' || this.m_state === 'moving')) {
            this.m_stopTimer();
            this.m_state = 'two';
            this.m_twoSince = time;
            this.m_start = this.m_centroid();
            this.m_last = { ...this.m_start, time };
            this.m_velocity = { x: 0, y: 0 };
        } else if (this.m_pointers.size === 3 && (this.m_state === 'two' || this.m_state === 'scrolling')) {
            this.m_state = 'three';
            this.m_start = this.m_centroid();
        } else if (this.m_state !== 'dragging') {
            this.m_state = 'done'; // more fingers: no gesture of ours
        }
    }

    move(id, x, y, time = 0) {
        const p = this.m_pointers.get(id);
        if (!p)
            return;
        const dx = x - p.x;
        const dy = y - p.y;
        p.x = x;
        p.y = y;
        switch (this.m_state) {
        case 'pending': {
            const travel = Math.hypot(x - this.m_start.x, y - this.m_start.y);
            if (travel > kHoldSlopPx && this.m_still) {
                this.m_still = false;
                this.m_stopTimer(); // a moving finger never drags
            }
            if (travel > kTapSlopPx) {
                this.m_state = 'moving';
                this.m_moveOut(x - this.m_start.x, y - this.m_start.y, time);
            }
            break;
        }
        case 'moving':
        case 'dragging':
            if (id === this.m_primary)
                this.m_moveOut(dx, dy, time);
            break;
        case 'two':
        case 'scrolling':
            this.m_scrollTo(this.m_centroid(), time);
            break;
        case 'three': {
            const c = this.m_centroid();
            const [tx, ty] = [c.x - this.m_start.x, c.y - this.m_start.y];
            if (Math.abs(tx) > kSwipePx && Math.abs(tx) > 2 * Math.abs(ty)) {
                // Swiped left, the workspace on the right comes in, as a laptop's pad does.
                this.m_out.command('switchSpace', { dir: tx < 0 ? 1 : -1 });
                this.m_state = 'done';
            } else if (-ty > kSwipePx && -ty > 2 * Math.abs(tx)) {
                this.m_out.command('missionControl');
                this.m_state = 'done';
            }
            break;
        }
        }
    }

    up(id, time) { this.m_lift(id, time, false); }
    cancel(id) { this.m_lift(id, 0, true); }
    /// Every finger taken off at once, as cancelled: a drag's button is released.
    cancelAll() {
        for (const id of [...this.m_pointers.keys()])
            this.cancel(id);
        this.m_stopFling();
    }

    m_moveOut(dx, dy, time) {
        this.m_out.move(...this.m_accel.apply(dx, dy, time));
    }

    // Two fingers' centroid at `c`: scrolls once it has left the tap slop (the travel until
    // then counts), and keeps the speed a fling starts with.
    m_scrollTo(c, time) {
        if (this.m_state === 'two' &&
            Math.hypot(c.x - this.m_start.x, c.y - this.m_start.y) > kTapSlopPx)
            this.m_state = 'scrolling';
        if (this.m_state !== 'scrolling')
            return;
        const [dx, dy] = [c.x - this.m_last.x, c.y - this.m_last.y];
        const dt = time - this.m_last.time;
        if (dt > 0)
            this.m_velocity = { x: dx / dt, y: dy / dt };
        this.m_out.scroll(dx, dy);
        this.m_last = { ...c, time };
    }

    m_lift(id, time, cancelled) {
        const finger = this.m_pointers.get(id);
        if (!finger)
            return;
        this.m_pointers.delete(id);
        if (this.m_state === 'pending' && !cancelled) {
            const start = this.m_start;
            if (this.settings.tapToClick && time - start.time <= kTapMs) {
                this.m_out.click(Button.Left, true);
                this.m_out.click(Button.Left, false);
                this.m_onClick(start.x, start.y);
            } else {
                // No tap: what it moved within the slop still moves the pointer.
                this.m_moveOut(finger.x - start.x, finger.y - start.y, time);
            }
        } else if (this.m_state === 'dragging' && id === this.m_primary) {
            this.m_out.click(Button.Left, false); // also when cancelled: never leave it held
            this.m_onDrag(false);
        } else if (this.m_state === 'two' && !cancelled &&
                   time - this.m_twoSince <= kTwoFingerTapMs) {
            this.m_out.click(Button.Right, true);
            this.m_out.click(Button.Right, false);
            this.m_onClick(this.m_start.x, this.m_start.y);
        } else if (this.m_state === 'scrolling' && !cancelled) {
            this.m_startFling(time);
        } else if (this.m_state === 'dragging') {
            return; // a second finger left during a drag
        }
        this.m_stopTimer();
        this.m_state = this.m_pointers.size === 0 ? 'idle' : 'done';
    }

    m_hold() {
        this.m_timer = null;
        if (this.m_state !== 'pending' || !this.m_still)
            return;
        this.m_state = 'dragging';
        // What the finger moved within the hold's slop goes before the button.
        const finger = this.m_pointers.get(this.m_primary);
        this.m_moveOut(finger.x - this.m_start.x, finger.y - this.m_start.y,
                       this.m_start.time + kHoldMs);
        this.m_out.click(Button.Left, true);
        this.m_onDrag(true);
    }

    // Scrolling goes on after a fast lift, slower each frame, until a finger touches again.
    m_startFling(time) {
        let { x: vx, y: vy } = this.m_velocity;
        if (Math.hypot(vx, vy) < kFlingMinSpeed)
            return;
        let last = time;
        const step = () => {
            const now = last + kFlingStepMs;
            vx *= kFlingDecay;
            vy *= kFlingDecay;
            this.m_out.scroll(vx * (now - last), vy * (now - last));
            last = now;
            this.m_fling = Math.hypot(vx, vy) < kFlingStopSpeed
                ? null : this.m_setTimer(step, kFlingStepMs);
        };
        this.m_fling = this.m_setTimer(step, kFlingStepMs);
    }

    m_stopFling() {
        if (this.m_fling !== null)
            this.m_clearTimer(this.m_fling);
        this.m_fling = null;
    }

    m_stopTimer() {
        if (this.m_timer !== null)
            this.m_clearTimer(this.m_timer);
        this.m_timer = null;
    }

    m_centroid() {
        let x = 0;
        let y = 0;
        for (const p of this.m_pointers.values()) {
            x += p.x;
            y += p.y;
        }
        return { x: x / this.m_pointers.size, y: y / this.m_pointers.size };
    }
}
