// SPDX-License-Identifier: MIT
// The page's protocol module against the vectors the C++ tests hold the daemon and its client to
// (vectors.json): the handshake, the key schedule, sealed text and every kind of frame.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import * as protocol from '../../web/src/protocol.js';

const { FrameReader, PhoneClient } = protocol;
const vectors = JSON.parse(readFileSync(new URL('vectors.json', import.meta.url), 'utf8'));
const hex = (bytes) => Buffer.from(bytes).toString('hex');
const bytes = (text) => new Uint8Array(Buffer.from(text.replace(/\s+/g, ''), 'hex'));
const frames = (...bodies) => Buffer.concat(bodies.map((b) => protocol.frame(b)));

test('HELLO, WELCOME and the key schedule match the C++ code; a false WELCOME is refused', () => {
    const { psk } = vectors;
    const [clientNonce, welcome] = [bytes(vectors.clientNonce), bytes(vectors.welcome)];
    assert.equal(hex(protocol.buildHello(psk, clientNonce)), vectors.hello);
    assert.equal(hex(protocol.checkWelcome(psk, clientNonce, welcome)), vectors.serverNonce);
    const keys = protocol.deriveSessionKeys(psk, clientNonce, bytes(vectors.serverNonce));
    assert.deepEqual(Object.fromEntries(Object.entries(keys).map(([k, v]) => [k, hex(v)])),
                     vectors.sessionKeys);

    const flipped = (at) => welcome.map((b, i) => (i === at ? b ^ 1 : b));
    for (const body of [flipped(1), flipped(20), flipped(48), welcome.subarray(0, 48)])
        assert.equal(protocol.checkWelcome(psk, clientNonce, body), null);
    // The key is its text: the same key written in lower case is another key.
    assert.equal(protocol.checkWelcome(psk.toLowerCase(), clientNonce, welcome), null);
});

test('the client handshakes, seals counters 0 and 1 and builds frames as the C++ one does', () => {
    const sent = [];
    const phone = new PhoneClient(vectors.psk, (b) => sent.push(Buffer.from(b)));
    let welcomed = 0;
    phone.onWelcome = () => ++welcomed;
    phone.handshake(bytes(vectors.clientNonce));
    assert.equal(sent.shift().toString('hex'), '00000036' + vectors.hello);

    // WELCOME and a PING arrive in one message, split in an odd place.
    const incoming = frames(bytes(vectors.welcome), protocol.pingBody());
    phone.receive(incoming.subarray(0, 7));
    phone.receive(incoming.subarray(7));
    assert.equal(welcomed, 1);
    assert.equal(sent.shift().toString('hex'), '00000001ff');

    phone.sendSealedText(vectors.sealedText.text);
    phone.sendSealedText(vectors.sealedText.text);
    assert.deepEqual(sent.splice(0).map((b) => b.subarray(4).toString('hex')),
                     [vectors.sealedText.counter0, vectors.sealedText.counter1]);

    for (const { kind, args, wire } of vectors.frames) { // "move": phone.sendMove(...args)
        phone[`send${kind[0].toUpperCase()}${kind.slice(1)}`](...args);
        assert.equal(sent.shift().toString('hex'), wire, `${kind}(${args})`);
    }
});

test('FrameReader reassembles frames split at any two points', () => {
    const bodies = [Uint8Array.of(0xfe), bytes(vectors.welcome), bytes('110005fffb')];
    const stream = frames(...bodies);
    const expected = bodies.map(hex);
    for (let i = 0; i <= stream.length; ++i)
        for (let j = i; j <= stream.length; ++j) {
            const reader = new FrameReader(), out = [];
            for (const piece of [stream.subarray(0, i), stream.subarray(i, j), stream.subarray(j)]) {
                reader.fill(piece);
                for (let body = reader.next(); body; body = reader.next())
                    out.push(hex(body));
            }
            assert.deepEqual(out, expected, `split at ${i} and ${j}`);
        }
});

test('text to type never reads as a command and is cut between characters', () => {
    const cases = [
        ['hello', ['hello']],
        ['{"type":"sys","action":"copy"}', ['{', '"type":"sys","action":"copy"}']],
        ['{"x":1}', ['{"x":1}']], // typed as it is by the daemon: no "type"
        ['', []],
    ];
    for (const [text, messages] of cases)
        assert.deepEqual(protocol.typedTextMessages(text), messages, text);

    const long = '✓'.repeat(6000) + '😀'.repeat(3000); // 18,000 + 12,000 bytes
    const pieces = protocol.typedTextMessages(long);
    assert.equal(pieces.join(''), long);
    for (const piece of pieces)
        assert.ok(Buffer.byteLength(piece) <= 16 * 1024 && !/[\ud800-\udbff]$/.test(piece));
});
