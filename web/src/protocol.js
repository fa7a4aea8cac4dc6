// SPDX-License-Identifier: MIT
// The phone's side of the Pointrelay protocol, as the page speaks it: frames, HELLO, the
// WELCOME check, the key schedule, sealed text records and frame reassembly. No DOM here, so
// `node --test` runs this file as it is. Names follow client/phone_client.h and daemon/core.
import { chacha20poly1305 } from '@noble/ciphers/chacha.js';
import { hmac } from '@noble/hashes/hmac.js';
import { sha256 } from '@noble/hashes/sha2.js';

export const FrameType = Object.freeze({
    Hello: 0x01,
    Welcome: 0x02,
    Text: 0x10,
    Move: 0x11,
    Scroll: 0x12,
    Click: 0x13,
    Aead: 0x90,
    Ping: 0xfe,
    Pong: 0xff,
});

export const kFrameHeaderSize = 4;
export const kMaxFrameBody = 65535; // the daemon refuses longer bodies, and so do we
export const kNonceSize = 16;
export const kHelloSize = 54;
export const kWelcomeSize = 49;
export const kProtocolVersion = 1;
export const kAeadTagSize = 16;

const utf8 = new TextEncoder();
const utf8Decoder = new TextDecoder();
const asBytes = (text) => utf8.encode(text);
const concat = (...parts) => {
    const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
    let at = 0;
    for (const p of parts) {
        out.set(p, at);
        at += p.length;
    }
    return out;
};
// The key is used as its text: the 64 hex characters themselves, not the 32 bytes they spell.
const mac = (psk, ...parts) => hmac(sha256, asBytes(psk), concat(...parts));

/// A key text as the desktop hands it out (64 hexadecimal characters when it made the key; a
/// key set otherwise is any text): used as it is, case kept.
export const isKeyText = (text) => typeof text === 'string' && text.length > 0 && text.length <= 1024;

export function randomNonce() {
    // crypto.subtle is missing on a LAN origin (not a secure context); getRandomValues is not.
    return crypto.getRandomValues(new Uint8Array(kNonceSize));
}

export function constantTimeEqual(a, b) {
    if (a.length !== b.length)
        return false;
    let diff = 0;
    for (let i = 0; i < a.length; ++i)
        diff |= a[i] ^ b[i];
    return diff === 0;
}

/// 4-byte big-endian length, then the body.
export function frame(body) {
    const out = new Uint8Array(kFrameHeaderSize + body.length);
    new DataView(out.buffer).setUint32(0, body.length);
    out.set(body, kFrameHeaderSize);
    return out;
}

export function buildHello(psk, clientNonce) {
    return concat([FrameType.Hello], asBytes('PRLY'), [kProtocolVersion], clientNonce,
                  mac(psk, asBytes('HELLO'), clientNonce));
}

export function buildWelcome(psk, clientNonce, serverNonce) {
    return concat([FrameType.Welcome], serverNonce,
                  mac(psk, asBytes('WELCOME'), clientNonce, serverNonce));
}

/// The server nonce of a WELCOME that proves the daemon knows the key, else null.
export function checkWelcome(psk, clientNonce, body) {
    if (body.length !== kWelcomeSize || body[0] !== FrameType.Welcome)
        return null;
    const serverNonce = body.slice(1, 1 + kNonceSize);
    return constantTimeEqual(buildWelcome(psk, clientNonce, serverNonce), body) ? serverNonce
                                                                                  : null;
}

/// The key schedule: four record keys and two nonce bases from the key and both nonces.
export function deriveSessionKeys(psk, clientNonce, serverNonce) {
    const text = asBytes('PRLY:aead:text');
    const keyLabel = asBytes('PRLY:aead:key');
    const nonce = asBytes('PRLY:aead:nonce');
    return {
        textCs: mac(psk, text, clientNonce, serverNonce),
        textSc: mac(psk, text, serverNonce, clientNonce),
        keyCs: mac(psk, keyLabel, clientNonce, serverNonce),
        keySc: mac(psk, keyLabel, serverNonce, clientNonce),
        nonceBaseCs: mac(psk, nonce, clientNonce, serverNonce).slice(0, 12),
        nonceBaseSc: mac(psk, nonce, serverNonce, clientNonce).slice(0, 12),
    };
}

/// The 12-byte nonce of one record: the first 8 bytes of the base, then the counter big-endian.
export function recordNonce(base, counter) {
    const nonce = new Uint8Array(12);
    nonce.set(base.subarray(0, 8));
    new DataView(nonce.buffer).setUint32(8, counter);
    return nonce;
}

/// An AEAD frame body carrying `plaintext` under the text/cs variant with no AAD, the
/// ciphertext from byte 1 and the tag last: what the daemon tries first.
export function sealRecord(keys, counter, plaintext) {
    const sealed = chacha20poly1305(keys.textCs, recordNonce(keys.nonceBaseCs, counter))
                       .encrypt(plaintext);
    return concat([FrameType.Aead], sealed);
}

function pointerBody(type, a, b) {
    const body = new Uint8Array(5);
    const view = new DataView(body.buffer);
    body[0] = type;
    view.setInt16(1, a);
    view.setInt16(3, b);
    return body;
}

const kInt16 = 32767;
const clampInt16 = (v) => Math.max(-kInt16 - 1, Math.min(kInt16, Math.trunc(v)));

export const moveBody = (dx, dy) => pointerBody(FrameType.Move, clampInt16(dx), clampInt16(dy));
export const scrollBody = (dx, dy) =>
    pointerBody(FrameType.Scroll, clampInt16(dx), clampInt16(dy));
export const clickBody = (button, down) => Uint8Array.of(FrameType.Click, button, down ? 1 : 0);
export const pingBody = () => Uint8Array.of(FrameType.Ping);
export const pongBody = () => Uint8Array.of(FrameType.Pong);
export const textBody = (text) => concat([FrameType.Text], asBytes(text));

export const Button = Object.freeze({ Left: 0, Right: 1 });

/// Text commands of the daemon's vocabulary; everything else that is sent as text is typed.
export const sysCommand = (action, fields = {}) =>
    JSON.stringify({ type: 'sys', action, ...fields });

const kMaxTextChunk = 16 * 1024; // bytes; well below a frame, and quick to type

/// Splits text to type into messages the daemon types as they are. A message that begins
/// with "{" and holds "type" would be read as a command, so such a "{" goes on its own (one
/// byte is always typed); long text goes in pieces cut between characters.
export function typedTextMessages(text) {
    const messages = [];
    let rest = text;
    while (rest.length > 0) {
        if (rest[0] === '{' && rest.includes('"type"')) {
            messages.push('{');
            rest = rest.slice(1);
            continue;
        }
        let end = 0;
        let bytes = 0;
        for (const ch of rest) {
            const size = asBytes(ch).length;
            if (bytes + size > kMaxTextChunk)
                break;
            bytes += size;
            end += ch.length;
        }
        messages.push(rest.slice(0, end));
        rest = rest.slice(end);
    }
    return messages;
}

/// Frames cut out of a byte stream that arrives in arbitrary pieces. A header is checked as
/// soon as it is complete: a length of 0 or above 65535 marks the stream as failed, and no
/// frame comes out of it after that.
export class FrameReader {
    constructor() {
        this.m_buffer = new Uint8Array(4096);
        this.m_begin = 0; // the first byte not handed out yet
        this.m_end = 0;   // one past the last byte received
        this.failed = false;
    }

    fill(chunk) {
        if (this.m_buffer.length - this.m_end < chunk.length) {
            // Move the unread bytes to the front, into a larger buffer when they do not fit.
            const live = this.m_end - this.m_begin;
            if (live + chunk.length > this.m_buffer.length) {
                const size = Math.max(live + chunk.length, 2 * this.m_buffer.length);
                const grown = new Uint8Array(size);
                grown.set(this.m_buffer.subarray(this.m_begin, this.m_end));
                this.m_buffer = grown;
            } else {
                this.m_buffer.copyWithin(0, this.m_begin, this.m_end);
            }
            this.m_begin = 0;
            this.m_end = live;
        }
        this.m_buffer.set(chunk, this.m_end);
        this.m_end += chunk.length;
    }

    /// The next frame's body (a copy), or null while the buffered bytes end inside a frame.
    next() {
        const available = this.m_end - this.m_begin;
        if (this.failed || available < kFrameHeaderSize)
            return null;
        const length = new DataView(this.m_buffer.buffer).getUint32(this.m_begin);
        if (length < 1 || length > kMaxFrameBody) {
            this.failed = true;
            return null;
        }
        if (available < kFrameHeaderSize + length)
            return null;
        const start = this.m_begin + kFrameHeaderSize;
        const body = this.m_buffer.slice(start, start + length);
        this.m_begin = start + length;
        if (this.m_begin === this.m_end)
            this.m_begin = this.m_end = 0;
        return body;
    }
}

/// The phone's side of one connection, over any byte transport: `send` takes the bytes of one
/// or more whole frames. Handlers, all optional: onWelcome(), onWrongKey() when the WELCOME does
/// not prove the key, onText(text) for the daemon's acknowledgements, onBroken(reason) for
/// anything that should end the connection.
export class PhoneClient {
    constructor(psk, send) {
        this.m_psk = psk;
        this.m_send = send;
        this.keys = null;
        this.onWelcome = this.onWrongKey = this.onText = this.onBroken = () => {};
        this.m_reader = new FrameReader();
        this.m_clientNonce = null;
        this.m_txCounter = 0;
    }

    get connected() { return this.keys !== null; }

    /// Sends HELLO; the client nonce is random unless given.
    handshake(clientNonce = randomNonce()) {
        this.keys = null;
        this.m_reader = new FrameReader();
        this.m_clientNonce = clientNonce;
        this.m_txCounter = 0;
        this.sendFrame(buildHello(this.m_psk, clientNonce));
    }

    /// Takes received bytes, which may split or join frames anywhere.
    receive(chunk) {
        this.m_reader.fill(chunk);
        for (let body = this.m_reader.next(); body; body = this.m_reader.next()) {
            if (!this.m_dispatch(body))
                return;
        }
        if (this.m_reader.failed)
            this.onBroken('bad frame length');
    }

    m_dispatch(body) {
        if (!this.keys) {
            const serverNonce = checkWelcome(this.m_psk, this.m_clientNonce, body);
            if (!serverNonce) {
                // The daemon proves it knows the key too: a WELCOME that does not is the
                // wrong key (or the wrong daemon).
                if (body.length === kWelcomeSize && body[0] === FrameType.Welcome)
                    this.onWrongKey();
                else
                    this.onBroken('no WELCOME');
                return false;
            }
            this.keys = deriveSessionKeys(this.m_psk, this.m_clientNonce, serverNonce);
            this.onWelcome();
            return true;
        }
        if (body[0] === FrameType.Ping)
            this.sendPong();
        else if (body[0] === FrameType.Text)
            this.onText(utf8Decoder.decode(body.subarray(1)));
        return true;
    }

    sendFrame(body) { this.m_send(frame(body)); }
    sendText(text) { this.sendFrame(textBody(text)); }
    sendMove(dx, dy) { this.sendFrame(moveBody(dx, dy)); }
    sendScroll(dx, dy) { this.sendFrame(scrollBody(dx, dy)); }
    sendClick(button, down) { this.sendFrame(clickBody(button, down)); }
    sendPing() { this.sendFrame(pingBody()); }
    sendPong() { this.sendFrame(pongBody()); }

    /// Seals `text` with the next record counter (0 for the first after the handshake).
    sendSealedText(text) {
        this.sendFrame(sealRecord(this.keys, this.m_txCounter, asBytes(text)));
        ++this.m_txCounter;
    }
}
