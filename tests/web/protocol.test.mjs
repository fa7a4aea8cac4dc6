// SPDX-License-Identifier: MIT
// The page's protocol module against published vectors and against the bytes the C++ client
// and the daemon's handshake code produce (vectors.json, written by make_vectors.cpp).
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { chacha20poly1305 } from '../../web/node_modules/@noble/ciphers/chacha.js';
import { hmac } from '../../web/node_modules/@noble/hashes/hmac.js';
import { sha256 } from '../../web/node_modules/@noble/hashes/sha2.js';
import * as protocol from '../../web/src/protocol.js';

const { FrameReader, PhoneClient } = protocol;
const vectors = JSON.parse(readFileSync(new URL('vectors.json', import.meta.url), 'utf8'));
const hex = (bytes) => Buffer.from(bytes).toString('hex');
const bytes = (text) => new Uint8Array(Buffer.from(text.replace(/\s+/g, ''), 'hex'));
const frames = (...bodies) => Buffer.concat(bodies.map((b) => protocol.frame(b)));

test('the packages pass RFC 8439 2.8.2 and RFC 4231 case 2', () => {
    const key = bytes('808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f');
    const nonce = bytes('070000004041424344454647');
    const aad = bytes('50515253c0c1c2c3c4c5c6c7');
    const plaintext = new TextEncoder().encode(
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the " +
        'future, sunscreen would be it.');
    const sealed = chacha20poly1305(key, nonce, aad).encrypt(plaintext);
    assert.equal(hex(sealed.subarray(0, 16)), 'd31a8d34648e60db7b86afbc53ef7ec2');
    assert.equal(hex(sealed.subarray(-16)), '1ae10b594f09e26a7e902ecbd0600691');

    const mac = hmac(sha256, new TextEncoder().encode('Jefe'),
                     new TextEncoder().encode('what do ya want for nothing?'));
    assert.equal(hex(mac), '5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843');
});

test('HELLO, WELCOME and the key schedule match the C++ code', () => {
    const { psk } = vectors;
    const clientNonce = bytes(vectors.clientNonce);
    const serverNonce = bytes(vectors.serverNonce);
    assert.equal(hex(protocol.buildHello(psk, clientNonce)), vectors.hello);
    assert.equal(hex(protocol.checkWelcome(psk, clientNonce, bytes(vectors.welcome))),
                 vectors.serverNonce);
    const keys = protocol.deriveSessionKeys(psk, clientNonce, serverNonce);
    assert.deepEqual(Object.fromEntries(Object.entries(keys).map(([k, v]) => [k, hex(v)])),
                     vectors.sessionKeys);
});

test('a WELCOME that does not prove the key is refused', () => {
    const { psk } = vectors;
    const clientNonce = bytes(vectors.clientNonce);
    const welcome = bytes(vectors.welcome);
    const flipped = (at) => welcome.map((b, i) => (i === at ? b ^ 1 : b));
    for (const body of [flipped(1), flipped(20), flipped(48), welcome.subarray(0, 48)])
        assert.equal(protocol.checkWelcome(psk, clientNonce, body), null);
    // The key is its text: the same key written in lower case is another key.
    const phone = new PhoneClient(psk.toLowerCase(), () => {});
    const seen = [];
    phone.onWelcome = () => seen.push('welcome');
    phone.onWrongKey = () => seen.push('wrong key');
    phone.handshake(clientNonce);
    phone.receive(frames(welcome));
    assert.deepEqual(seen, ['wrong key']);
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

    const send = {
        move: (a) => phone.sendMove(...a),
        scroll: (a) => phone.sendScroll(...a),
        click: (a) => phone.sendClick(...a),
        ping: () => phone.sendPing(),
        pong: () => phone.sendPong(),
        text: (a) => phone.sendText(...a),
    };
    for (const { kind, args, wire } of vectors.frames) {
        send[kind](args);
        assert.equal(sent.shift().toString('hex'), wire, `${kind}(${args})`);
    }
});

test('FrameReader reassembles frames split at any two points', () => {
    const bodies = [Uint8Array.of(0xfe), bytes(vectors.welcome), bytes('110005fffb')];
    const stream = frames(...bodies);
    const expected = bodies.map(hex);
    for (let i = 0; i <= stream.length; ++i) {
        for (let j = i; j <= stream.length; ++j) {
            const reader = new FrameReader();
            const out = [];
            const pieces = [stream.subarray(0, i), stream.subarray(i, j), stream.subarray(j)];
            for (const piece of pieces) {
                reader.fill(piece);
                for (let body = reader.next(); body; body = reader.next())
                    out.push(hex(body));
            }
            assert.deepEqual(out, expected, `split at ${i} and ${j}`);
        }
    }
});

test('FrameReader refuses lengths of 0 and above 65535 and takes 65535', () => {
    const cases = [
        { header: '00000000', refused: true },
        { header: '00010000', refused: true },
        { header: 'ffffffff', refused: true },
        { header: '0000ffff', refused: false },
    ];
    for (const { header, refused } of cases) {
        const reader = new FrameReader();
        reader.fill(bytes(header));
        reader.fill(new Uint8Array(65535).fill(0x10));
        const body = reader.next();
        assert.equal(reader.failed, refused, header);
        assert.equal(body === null ? 0 : body.length, refused ? 0 : 65535, header);
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
