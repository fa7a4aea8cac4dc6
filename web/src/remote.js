// SPDX-License-Identifier: MIT
// The remote page: gestures on the pad, buttons and the text field turned into protocol calls,
// over a WebSocket that the desktop application relays byte for byte to the daemon.
import { Button, PhoneClient, isKeyText, sysCommand, typedTextMessages } from './protocol.js';
import { PointerBatch, TouchPad, kDefaultSettings } from './touchpad.js';

export { PointerBatch, TouchPad };

const kAckShownMs = 800; // how long an acknowledged action's button stays lit

/// The settings kept for one desktop (the page's host), with the defaults for what is missing
/// or not of the right type.
export function loadSettings(storage, host) {
    let kept = {};
    try {
        kept = JSON.parse(storage.getItem(`pointrelay.settings.${host}`) ?? '{}') ?? {};
    } catch {
        // Storage refused, or damaged: the defaults.
    }
    const settings = { ...kDefaultSettings };
    for (const [name, value] of Object.entries(kDefaultSettings)) {
        if (typeof kept[name] === typeof value)
            settings[name] = kept[name];
    }
    return settings;
}

export function saveSettings(storage, host, settings) {
    try {
        storage.setItem(`pointrelay.settings.${host}`, JSON.stringify(settings));
    } catch {
        // Private mode: the settings last as long as the page.
    }
}

/// What a key of the keys row sends: a system action of its own without modifiers, a combo
/// with the held ones. `key` is the combo's key name.
export function keyCommand(key, mods) {
    if (mods.length > 0)
        return ['combo', { mods, key }];
    const arrows = { left: 'left', right: 'right', up: 'up', down: 'down' };
    if (arrows[key])
        return ['arrow', { dir: key }];
    const fkey = /^f(\d+)$/.exec(key);
    if (fkey)
        return ['fkey', { n: Number(fkey[1]) }];
    const own = { escape: 'escape', tab: 'tab', home: 'home', end: 'end', pageup: 'pageUp',
                  pagedown: 'pageDown', delete: 'deleteForward' };
    return [own[key], {}];
}

/// The combo key name of a typed character, or null (a character no US key gives as it is).
export function keyNameOf(ch) {
    if (/^[a-z0-9]$/.test(ch))
        return ch;
    if (/^[A-Z]$/.test(ch))
        return ch.toLowerCase();
    const names = { '-': 'minus', '=': 'equal', '[': 'bracketleft', ']': 'bracketright',
                    '\\': 'backslash', ';': 'semicolon', "'": 'apostrophe', '`': 'grave',
                    ',': 'comma', '.': 'period', '/': 'slash', ' ': 'space' };
    return names[ch] ?? null;
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
              '2本指でスクロール・2本指タップで右クリック・3本指で左右にデスクトップ切替、上に全ウィンドウ',
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
        settings: '設定',
        speed: 'ポインタの速さ',
        acceleration: '加速',
        scrollSpeed: 'スクロールの速さ',
        naturalScroll: 'ナチュラルスクロール',
        tapToClick: 'タップでクリック',
        haptics: '振動',
        done: '完了',
        super: 'Super',
        up: '上',
        down: '下',
    },
    en: {
        connecting: 'Connecting…',
        connected: 'Connected',
        unreachable: 'Cannot reach the desktop. Retrying…',
        wrongKey: 'Wrong key. Scan the QR code on the desktop again.',
        noKey: 'No key. Scan the QR code on the desktop.',
        hint: 'One finger moves · tap clicks · hold to drag · ' +
              'two fingers scroll · two-finger tap right-clicks · ' +
              'three fingers: left/right switch workspace, up shows all windows',
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
        settings: 'Settings',
        speed: 'Pointer speed',
        acceleration: 'Acceleration',
        scrollSpeed: 'Scroll speed',
        naturalScroll: 'Natural scrolling',
        tapToClick: 'Tap to click',
        haptics: 'Vibration',
        done: 'Done',
        super: 'Super',
        up: 'Up',
        down: 'Down',
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
    const sendCommand = (action, fields) =>
        live() && client.sendSealedText(sysCommand(action, fields));
    const settings = loadSettings(localStorage, location.host);
    const sink = {
        sendMove: (dx, dy) => live() && client.sendMove(dx, dy),
        // Decimals the daemon rounds back to the whole pixels they stand for.
        sendPreciseMove: (dx, dy) => live() && client.sendSealedText(JSON.stringify(
            { type: 'move', dx: Number(dx.toFixed(4)), dy: Number(dy.toFixed(4)) })),
        sendScroll: (dx, dy) => live() && client.sendScroll(dx, dy),
        sendClick: (button, down) => live() && client.sendClick(button, down),
        sendCommand,
    };
    const batch = new PointerBatch(sink, (f) => requestAnimationFrame(f), settings);

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

    // The pad: a click is felt (where the phone vibrates) and seen (a ring where it was).
    const buzz = (ms) => settings.haptics && navigator.vibrate && navigator.vibrate(ms);
    const touchPad = new TouchPad(batch, {
        settings,
        onDrag: (on) => {
            pad.classList.toggle('dragging', on);
            if (on)
                buzz(15); // the hold has pressed the button
        },
        onClick: (x, y) => {
            buzz(10);
            const ring = document.createElement('span');
            ring.className = 'ripple';
            ring.style.left = `${x}px`;
            ring.style.top = `${y}px`;
            ring.addEventListener('animationend', () => ring.remove());
            document.body.append(ring);
        },
    });
    pad.addEventListener('pointerdown', (e) => {
        e.preventDefault();
        pad.setPointerCapture(e.pointerId);
        touchPad.down(e.pointerId, e.clientX, e.clientY, e.timeStamp);
    });
    pad.addEventListener('pointermove',
                         (e) => touchPad.move(e.pointerId, e.clientX, e.clientY, e.timeStamp));
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

    // The settings, kept per desktop; a change holds at once.
    const sheet = $('settings');
    for (const input of sheet.querySelectorAll('[name]')) {
        const name = input.name;
        if (input.type === 'checkbox')
            input.checked = settings[name];
        else
            input.value = String(settings[name]);
        input.addEventListener('input', () => {
            settings[name] = input.type === 'checkbox' ? input.checked : Number(input.value);
            saveSettings(localStorage, location.host, settings);
        });
    }
    $('gear').addEventListener('click', () => sheet.showModal());

    // Sticky modifiers: held for the next key of the row or the next character typed.
    const mods = new Set();
    const modButtons = [...form.querySelectorAll('[data-mod]')];
    const showMods = () => modButtons.forEach((b) => b.classList.toggle('held', mods.has(b.dataset.mod)));
    const takeMods = () => {
        const held = [...mods];
        mods.clear();
        showMods();
        return held;
    };
    for (const el of modButtons) {
        el.addEventListener('click', () => {
            const mod = el.dataset.mod;
            if (!mods.delete(mod))
                mods.add(mod);
            showMods();
        });
    }
    for (const el of form.querySelectorAll('[data-row]')) {
        el.addEventListener('click', () => {
            commitText();
            sendCommand(...keyCommand(el.dataset.row, takeMods()));
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
            sendKeyAction('delete', 'backspace');
        } else {
            // New text sits after the sentinel, or before it when the caret was moved.
            const text = value.startsWith(kSentinel) ? value.slice(1)
                         : value.endsWith(kSentinel) ? value.slice(0, -1) : value;
            const name = mods.size > 0 && [...text].length === 1 ? keyNameOf(text) : null;
            if (name) {
                sendCommand('combo', { mods: takeMods(), key: name }); // Ctrl, then "c"
            } else {
                takeMods();
                for (const message of typedTextMessages(text))
                    client.sendSealedText(message);
            }
        }
        field.value = kSentinel;
        field.setSelectionRange(1, 1);
    }
    // A key of the field's own (⌫, ⏎): alone, or with the held modifiers as a combo.
    function sendKeyAction(action, name) {
        if (mods.size > 0)
            sendCommand('combo', { mods: takeMods(), key: name });
        else
            sendCommand(action);
    }
    const sendKey = (action) => {
        commitText();
        sendKeyAction(action, action === 'delete' ? 'backspace' : action);
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
        document.body.classList.toggle('typing', !form.hidden);
        if (!form.hidden)
            field.focus();
    });
    // A tap on a button does not take the focus from the field: a phone's soft keyboard
    // stays open between keys.
    for (const el of document.querySelectorAll('#typing button, #actions button'))
        el.addEventListener('pointerdown', (e) => e.preventDefault());

    // No long-press menus, except in the text field (pasting from the phone).
    document.addEventListener('contextmenu', (e) => e.target !== field && e.preventDefault());
    connect();
}

if (typeof document !== 'undefined')
    startPage();
