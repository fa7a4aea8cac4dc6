// SPDX-License-Identifier: MIT
// Draws the pointer's gain curve from the page's own function as a PNG (no dependencies):
// finger speed 0 to 2 CSS px/ms across, gain 0 to 21 desktop px per CSS px up; the
// accelerated curve in blue, the flat choice in grey, grid lines every 0.25 px/ms and every 5.
// Usage: node web/tools/plot_gain.mjs OUT.png
import { writeFileSync } from 'node:fs';
import { deflateSync } from 'node:zlib';

import { pointerGain } from '../src/touchpad.js';

const [width, height, margin] = [480, 300, 24];
const pixels = Buffer.alloc(width * height * 3, 0xff);
const plot = (x, y, [r, g, b]) => {
    if (x < 0 || y < 0 || x >= width || y >= height)
        return;
    pixels.set([r, g, b], (Math.round(y) * width + Math.round(x)) * 3);
};
const toX = (speed) => margin + (speed / 2) * (width - 2 * margin);
const toY = (gain) => height - margin - (gain / 21) * (height - 2 * margin);

for (let s = 0; s <= 2; s += 0.25)
    for (let y = toY(21); y <= toY(0); ++y)
        plot(toX(s), y, s === 0 ? [0, 0, 0] : [220, 220, 220]);
for (let g = 0; g <= 20; g += 5)
    for (let x = toX(0); x <= toX(2); ++x)
        plot(x, toY(g), g === 0 ? [0, 0, 0] : [220, 220, 220]);
for (let x = toX(0); x <= toX(2); x += 0.25) {
    const speed = ((x - margin) / (width - 2 * margin)) * 2;
    for (const [settings, colour] of [[{ acceleration: false }, [150, 150, 150]],
                                      [{}, [30, 100, 220]]]) {
        const y = toY(pointerGain(speed, settings));
        for (const d of [-1, 0, 1])
            plot(x, y + d, colour);
    }
}

const chunk = (type, data) => {
    const body = Buffer.concat([Buffer.from(type), data]);
    const out = Buffer.alloc(body.length + 8);
    out.writeUInt32BE(data.length, 0);
    body.copy(out, 4);
    out.writeUInt32BE(crc32(body), body.length + 4);
    return out;
};
function crc32(bytes) {
    let c = ~0;
    for (const byte of bytes) {
        c ^= byte;
        for (let k = 0; k < 8; ++k)
            c = (c >>> 1) ^ (0xedb88320 & -(c & 1));
    }
    return ~c >>> 0;
}
const header = Buffer.alloc(13);
header.writeUInt32BE(width, 0);
header.writeUInt32BE(height, 4);
header.set([8, 2, 0, 0, 0], 8); // 8-bit RGB
const rows = Buffer.concat(Array.from({ length: height }, (_, y) =>
    Buffer.concat([Buffer.from([0]), pixels.subarray(y * width * 3, (y + 1) * width * 3)])));
writeFileSync(process.argv[2], Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]), chunk('IHDR', header),
    chunk('IDAT', deflateSync(rows)), chunk('IEND', Buffer.alloc(0))]));
