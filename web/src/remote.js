// SPDX-License-Identifier: MIT
// The remote page: gestures on the pad, buttons and the text field turned into protocol calls,
// over a WebSocket that the desktop application relays byte for byte to the daemon.
import { Button, PhoneClient, isKeyText, sysCommand, typedTextMessages } from './protocol.js';

export const kTapSlopPx = 8;        // finger travel (CSS px) that still counts as a tap
export const kHoldMs = 400;
const kAckShownMs = 800;            // how long an acknowledged action's button stays lit         // a still finger held this long presses the left button
export const kTwoFingerTapMs = 500; // two fingers lifted within this count as a right click
// One SCROLL unit is 40 desktop pixels, one wheel step on X11: a 300 px swipe gives 15 steps.
export const kScrollPxPerUnit = 20;

/// Pointer output batched per animation frame: moves and scrolls are summed in CSS pixels and
/// sent once per frame as whole units, the fractions carried to the next frame. The daemon
/// multiplies moves by 3, so one CSS pixel of finger travel is 3 desktop pixels. A click first
/// sends what is pending, so it lands where the pointer was meant to be.
export class PointerBatch {
    constructor(sink, requestFrame) {
        this.m_sink = sink; // { sendMove, sendScroll, sendClick }
        this.m_requestFrame = requestFrame;
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

    flush() {
        this.m_scheduled = false;
        const [mx, my] = this.m_take(this.m_move, 1);
        if (mx || my)
            this.m_sink.sendMove(mx, my);
        const [sx, sy] = this.m_take(this.m_scroll, kScrollPxPerUnit);
        if (sx || sy)
            this.m_sink.sendScroll(sx, sy);
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

/// Gestures of the touch pad, fed with pointer positions in CSS pixels and times in ms:
/// one finger moves, a tap clicks left, a still hold presses left until the finger lifts
/// (drag), two fingers scroll or, lifted without moving, click right. Scrolls follow the
/// finger the way natural scrolling does: a finger moving up moves the content up.
export class TouchPad {
    constructor(out, {
        setTimer = (f, ms) => setTimeout(f, ms),
        clearTimer = (timer) => clearTimeout(timer),
        onDrag = () => {},
    } = {}) {
        this.m_out = out; // { move, scroll, click } as PointerBatch
        this.m_setTimer = setTimer;
        this.m_clearTimer = clearTimer;
        this.m_onDrag = onDrag;
        this.m_pointers = new Map();
        this.m_state = 'idle';
        this.m_timer = null;
    }

    down(id, x, y, time) {
        this.m_pointers.set(id, { x, y });
        if (this.m_state === 'idle') {
            this.m_state = 'pending';
            this.m_primary = id;
            this.m_start = { x, y };
            this.m_timer = this.m_setTimer(() => this.m_hold(), kHoldMs);
        } else if (this.m_pointers.size === 2 &&
                   (this.m_state === 'pending' || this.m_state === 'moving')) {
            this.m_stopTimer();
            this.m_state = 'two';
            this.m_twoSince = time;
            this.m_start = this.m_centroid();
            this.m_last = this.m_start;
        } else if (this.m_state === 'two' || this.m_state === 'scrolling') {
            this.m_state = 'done'; // three fingers: no gesture of ours
        }
    }

    move(id, x, y) {
        const p = this.m_pointers.get(id);
        if (!p)
            return;
        const dx = x - p.x;
        const dy = y - p.y;
        p.x = x;
        p.y = y;
        switch (this.m_state) {
        case 'pending':
            if (Math.hypot(x - this.m_start.x, y - this.m_start.y) > kTapSlopPx) {
                this.m_stopTimer();
                this.m_state = 'moving';
                this.m_out.move(x - this.m_start.x, y - this.m_start.y);
            }
            break;
        case 'moving':
        case 'dragging':
            if (id === this.m_primary)
                this.m_out.move(dx, dy);
            break;
        case 'two':
        case 'scrolling': {
            const c = this.m_centroid();
            // Until the fingers leave the slop, m_last stays at the start: that travel counts.
            if (this.m_state === 'two' &&
                Math.hypot(c.x - this.m_start.x, c.y - this.m_start.y) > kTapSlopPx) {
                this.m_state = 'scrolling';
            }
            if (this.m_state === 'scrolling') {
                this.m_out.scroll(c.x - this.m_last.x, c.y - this.m_last.y);
                this.m_last = c;
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
    }

    m_lift(id, time, cancelled) {
        if (!this.m_pointers.delete(id))
            return;
        if (this.m_state === 'pending' && !cancelled) {
            this.m_out.click(Button.Left, true);
            this.m_out.click(Button.Left, false);
        } else if (this.m_state === 'dragging' && id === this.m_primary) {
            this.m_out.click(Button.Left, false); // also when cancelled: never leave it held
            this.m_onDrag(false);
        } else if (this.m_state === 'two' && !cancelled &&
                   time - this.m_twoSince <= kTwoFingerTapMs) {
            this.m_out.click(Button.Right, true);
            this.m_out.click(Button.Right, false);
        } else if (this.m_state === 'dragging') {
            return; // a second finger left during a drag
        }
        this.m_stopTimer();
        this.m_state = this.m_pointers.size === 0 ? 'idle' : 'done';
    }

    m_hold() {
        this.m_timer = null;
        if (this.m_state !== 'pending')
            return;
        this.m_state = 'dragging';
        this.m_out.click(Button.Left, true);
        this.m_onDrag(true);
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

// ---------------------------------------------------------------------------------------------
// The page itself: only in a browser.

const kKeyStorage = 'pointrelay.key';
const kFirstRetryMs = 250;
const kMaxRetryMs = 4000;
const kHandshakeMs = 5000; // from opening the WebSocket to a checked WELCOME
const kQuietMs = 4000;     // silence after which we ask the daemon for a PONG
const kDeadMs = 7000;      // silence after which the connection counts as dropped
const kCloseUnreachable = 4001; // the relay could not reach the daemon
const kCloseNormal = 1000;      // the daemon closed its TCP connection
const kSentinel = ' '; // kept in the field, so a Backspace always has something to delete

const kTexts = {
    ja: {
        connecting: '接続中…',
        connected: '接続済み',
        unreachable: 'デスクトップに接続できません。再試行中…',
        wrongKey: '鍵が違います。デスクトップの QR コードを読み取り直してください。',
        noKey: '鍵がありません。デスクトップの QR コードを読み取ってください。',
        hint: '1本指で移動・タップでクリック・長押しでドラッグ・' +
              '2本指でスクロール・2本指タップで右クリック',
        left: '左',
        right: '右',
        keyboard: 'キーボード',
        placeholder: 'ここに入力',
        backspace: '1文字削除',
        enter: 'Enter',
        copy: 'コピー',
        paste: '貼り付け',
        undo: '元に戻す',
        volumeDown: '音量を下げる',
        volumeUp: '音量を上げる',
        playPause: '再生/一時停止',
    },
    en: {
        connecting: 'Connecting…',
        connected: 'Connected',
        unreachable: 'Cannot reach the desktop. Retrying…',
        wrongKey: 'Wrong key. Scan the QR code on the desktop again.',
        noKey: 'No key. Scan the QR code on the desktop.',
        hint: 'One finger moves · tap clicks · hold to drag · ' +
              'two fingers scroll · two-finger tap right-clicks',
        left: 'Left',
        right: 'Right',
        keyboard: 'Keyboard',
        placeholder: 'Type here',
        backspace: 'Backspace',
        enter: 'Enter',
        copy: 'Copy',
        paste: 'Paste',
        undo: 'Undo',
        volumeDown: 'Volume down',
        volumeUp: 'Volume up',
        playPause: 'Play/Pause',
    },
};

/// The key from `#k=KEY`, percent-encoded (then taken out of the address bar and kept for
/// reloads), or the kept one.
function readKey() {
    const match = /[#&]k=([^&]*)/.exec(location.hash);
    if (match) {
        history.replaceState(null, '', location.pathname + location.search);
        let key = null;
        try {
            key = decodeURIComponent(match[1]);
        } catch {
            // A malformed escape: no key from this address.
        }
        if (isKeyText(key)) {
            try {
                localStorage.setItem(kKeyStorage, key);
            } catch {
                // Storage refused (private mode): this page still works until it is closed.
            }
            return key;
        }
    }
    try {
        const kept = localStorage.getItem(kKeyStorage);
        return isKeyText(kept) ? kept : null;
    } catch {
        return null;
    }
}

function startPage() {
    const texts = kTexts[/^ja\b/i.test(navigator.language) ? 'ja' : 'en'];
    document.documentElement.lang = texts === kTexts.ja ? 'ja' : 'en';
    for (const el of document.querySelectorAll('[data-t]'))
        el.textContent = texts[el.dataset.t];
    for (const el of document.querySelectorAll('[data-label]')) {
        el.setAttribute('aria-label', texts[el.dataset.label]);
        el.title = texts[el.dataset.label];
    }
    const $ = (id) => document.getElementById(id);
    const status = $('status');
    const pad = $('pad');
    const form = $('typing');
    const field = $('field');
    field.placeholder = texts.placeholder;

    let state = '';
    const setState = (next) => {
        state = next;
        status.textContent = texts[next];
        document.body.dataset.state = next;
    };

    // A new key scanned while the page is open changes only the fragment: start afresh.
    window.addEventListener('hashchange', () => {
        if (/[#&]k=/.test(location.hash) && readKey())
            location.reload();
    });
    const psk = readKey();
    if (!psk) {
        setState('noKey');
        return;
    }

    let socket = null;
    let client = null;
    let retryTimer = 0;
    let retryMs = kFirstRetryMs;
    let closedAfterHello = 0;
    let lastHeard = 0;
    let connectedAt = 0;

    const live = () => client !== null && client.connected;
    const sink = {
        sendMove: (dx, dy) => live() && client.sendMove(dx, dy),
        sendScroll: (dx, dy) => live() && client.sendScroll(dx, dy),
        sendClick: (button, down) => live() && client.sendClick(button, down),
    };
    const batch = new PointerBatch(sink, (f) => requestAnimationFrame(f));
    const sendCommand = (action, fields) =>
        live() && client.sendSealedText(sysCommand(action, fields));

    const drop = () => {
        if (!socket)
            return;
        const old = socket;
        socket = client = null;
        old.onopen = old.onmessage = old.onclose = old.onerror = null;
        old.close();
    };

    const retry = (delayMs) => {
        clearTimeout(retryTimer);
        retryTimer = setTimeout(connect, delayMs);
    };

    // The connection ended (or never came up): try again, later each time, unless hidden.
    // A connection that had lived a while is tried again at once.
    const lost = (wasConnected, code) => {
        drop();
        setState(wasConnected && code !== kCloseUnreachable ? 'connecting' : 'unreachable');
        if (connectedAt && performance.now() - connectedAt > kDeadMs)
            retryMs = 0;
        connectedAt = 0;
        if (document.hidden)
            return;
        retry(retryMs);
        retryMs = Math.min(Math.max(retryMs * 2, kFirstRetryMs), kMaxRetryMs);
    };

    // The daemon acknowledges some actions (copy, paste): their button lights up a moment.
    function acknowledge(text) {
        let ack = null;
        try {
            ack = JSON.parse(text);
        } catch {
            return;
        }
        const action = ack?.type === 'ack' && ack.payload?.ok === true && ack.payload.action;
        const button = typeof action === 'string' &&
            [...document.querySelectorAll('[data-sys]')].find((b) => b.dataset.sys === action);
        if (!button)
            return;
        button.dataset.acked = '';
        setTimeout(() => delete button.dataset.acked, kAckShownMs);
    }

    function connect() {
        clearTimeout(retryTimer);
        drop();
        if (document.hidden || state === 'wrongKey')
            return;
        if (state !== 'unreachable')
            setState('connecting');
        const scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';
        const ws = new WebSocket(scheme + location.host + '/ws');
        ws.binaryType = 'arraybuffer';
        const phone = new PhoneClient(psk, (bytes) => ws.readyState === 1 && ws.send(bytes));
        let helloSent = false;
        socket = ws;
        client = phone;

        const giveUp = setTimeout(() => socket === ws && !phone.connected && lost(false),
                                  kHandshakeMs);
        ws.onopen = () => {
            helloSent = true;
            phone.handshake();
        };
        ws.onmessage = (event) => {
            lastHeard = performance.now();
            phone.receive(new Uint8Array(event.data));
        };
        ws.onclose = (event) => {
            clearTimeout(giveUp);
            // The daemon closes without a word when the HMAC of the HELLO does not match.
            // Only twice in a row counts, so a connection cut for another reason is not taken
            // for a wrong key.
            const refused = !phone.connected && helloSent && event.code === kCloseNormal;
            closedAfterHello = refused ? closedAfterHello + 1 : 0;
            if (closedAfterHello >= 2) {
                phone.onWrongKey();
            } else if (refused) {
                drop();
                retry(0); // once more at once, with a fresh nonce
            } else {
                lost(phone.connected, event.code);
            }
        };
        phone.onWelcome = () => {
            clearTimeout(giveUp);
            retryMs = kFirstRetryMs;
            connectedAt = performance.now();
            closedAfterHello = 0;
            setState('connected');
            commitText(); // text typed while the connection was down
        };
        phone.onWrongKey = () => {
            clearTimeout(giveUp);
            drop();
            setState('wrongKey');
        };
        phone.onBroken = () => lost(phone.connected);
        phone.onText = acknowledge;
    }

    // Silence means a dead Wi-Fi link as often as an idle daemon: ask for a PONG, then give up.
    setInterval(() => {
        if (!live())
            return;
        const quiet = performance.now() - lastHeard;
        if (quiet > kDeadMs)
            lost(true);
        else if (quiet > kQuietMs)
            client.sendPing();
    }, 1000);

    // What the page holds down (a drag, a held button) is released before its connection
    // goes: a phone put away mid-drag must not leave the desktop dragging.
    const releases = [];
    const leave = () => {
        for (const release of releases)
            release();
        clearTimeout(retryTimer);
        drop();
    };
    // A hidden page lets its connection go (phones freeze it anyway) and makes a fresh one,
    // with a fresh handshake, when it is shown again.
    document.addEventListener('visibilitychange', () => {
        if (document.hidden) {
            leave();
        } else if (!live()) {
            retryMs = kFirstRetryMs;
            connect();
        }
    });
    window.addEventListener('pageshow', (e) => e.persisted && !live() && connect());
    window.addEventListener('pagehide', leave);

    // The pad.
    const touchPad = new TouchPad(batch, {
        onDrag: (on) => {
            pad.classList.toggle('dragging', on);
            if (on && navigator.vibrate)
                navigator.vibrate(15); // the hold has pressed the button
        },
    });
    pad.addEventListener('pointerdown', (e) => {
        e.preventDefault();
        pad.setPointerCapture(e.pointerId);
        touchPad.down(e.pointerId, e.clientX, e.clientY, e.timeStamp);
    });
    pad.addEventListener('pointermove', (e) => touchPad.move(e.pointerId, e.clientX, e.clientY));
    pad.addEventListener('pointerup', (e) => touchPad.up(e.pointerId, e.timeStamp));
    pad.addEventListener('pointercancel', (e) => touchPad.cancel(e.pointerId));
    releases.push(() => touchPad.cancelAll());

    // Click buttons: pressed while held, so a held button and the pad make a two-handed drag.
    for (const [id, button] of [['left', Button.Left], ['right', Button.Right]]) {
        const el = $(id);
        let held = false;
        const release = () => {
            if (!held)
                return;
            held = false;
            el.classList.remove('held');
            batch.click(button, false);
        };
        el.addEventListener('pointerdown', (e) => {
            e.preventDefault();
            el.setPointerCapture(e.pointerId);
            held = true;
            el.classList.add('held');
            batch.click(button, true);
        });
        el.addEventListener('pointerup', release);
        el.addEventListener('pointercancel', release);
        el.addEventListener('lostpointercapture', release);
        releases.push(release);
    }

    for (const el of document.querySelectorAll('[data-sys]')) {
        el.addEventListener('click', () => {
            const n = el.dataset.n;
            sendCommand(el.dataset.sys, n ? { n: Number(n) } : {});
        });
    }

    // Typing: committed text goes out as soon as it is committed; an IME's composition only
    // when it ends. The field holds one sentinel space, so a Backspace on an "empty" field
    // deletes it and we see that as a Backspace for the desktop.
    let composing = false;
    function commitText() {
        if (composing || !live())
            return;
        const value = field.value;
        if (value === kSentinel)
            return;
        if (value === '') {
            sendCommand('delete');
        } else {
            // New text sits after the sentinel, or before it when the caret was moved.
            const text = value.startsWith(kSentinel) ? value.slice(1)
                         : value.endsWith(kSentinel) ? value.slice(0, -1) : value;
            for (const message of typedTextMessages(text))
                client.sendSealedText(message);
        }
        field.value = kSentinel;
        field.setSelectionRange(1, 1);
    }
    const sendKey = (action) => {
        commitText();
        sendCommand(action);
    };
    field.value = kSentinel;
    field.addEventListener('compositionstart', () => (composing = true));
    field.addEventListener('compositionend', () => {
        composing = false;
        commitText();
    });
    field.addEventListener('input', (e) => !e.isComposing && commitText());
    field.addEventListener('keydown', (e) => {
        if (e.isComposing || e.keyCode === 229)
            return; // the key belongs to the IME (Safari sends the confirming Enter as 229)
        if (e.key === 'Enter') {
            e.preventDefault();
            sendKey('enter');
        } else if (e.key === 'Backspace' && field.value === kSentinel) {
            e.preventDefault();
            sendKey('delete');
        }
    });
    form.addEventListener('submit', (e) => {
        e.preventDefault(); // a soft keyboard's Go/Enter that sent no key event
        sendKey('enter');
    });
    for (const el of form.querySelectorAll('[data-key]'))
        el.addEventListener('click', () => sendKey(el.dataset.key));
    $('kbd').addEventListener('click', () => {
        form.hidden = !form.hidden;
        if (!form.hidden)
            field.focus();
    });

    // No long-press menus, except in the text field (pasting from the phone).
    document.addEventListener('contextmenu', (e) => e.target !== field && e.preventDefault());
    connect();
}

if (typeof document !== 'undefined')
    startPage();
