// SPDX-License-Identifier: MIT
#include "poly1305.h"

#include "byte_order.h"

#include <cstring>

namespace pointrelay::crypto {

Poly1305::Poly1305(const Poly1305Key& key) {
    // r is clamped as RFC 8439, 2.5 requires, and split into 26-bit limbs.
    m_r[0] = load32le(key.data() + 0) & 0x3ffffff;
    m_r[1] = (load32le(key.data() + 3) >> 2) & 0x3ffff03;
    m_r[2] = (load32le(key.data() + 6) >> 4) & 0x3ffc0ff;
    m_r[3] = (load32le(key.data() + 9) >> 6) & 0x3f03fff;
    m_r[4] = (load32le(key.data() + 12) >> 8) & 0x00fffff;
    for (int i = 0; i < 4; ++i)
        m_pad[i] = load32le(key.data() + 16 + 4 * i);
}

void Poly1305::processBlock(const uint8_t* m, uint32_t hibit) {
    const uint32_t r0 = m_r[0], r1 = m_r[1], r2 = m_r[2], r3 = m_r[3], r4 = m_r[4];
    const uint32_t s1 = r1 * 5, s2 = r2 * 5, s3 = r3 * 5, s4 = r4 * 5;
    uint32_t h0 = m_h[0], h1 = m_h[1], h2 = m_h[2], h3 = m_h[3], h4 = m_h[4];

    h0 += load32le(m + 0) & 0x3ffffff;
    h1 += (load32le(m + 3) >> 2) & 0x3ffffff;
    h2 += (load32le(m + 6) >> 4) & 0x3ffffff;
    h3 += (load32le(m + 9) >> 6) & 0x3ffffff;
    h4 += (load32le(m + 12) >> 8) | hibit;

    const uint64_t d0 = uint64_t{h0} * r0 + uint64_t{h1} * s4 + uint64_t{h2} * s3 +
                        uint64_t{h3} * s2 + uint64_t{h4} * s1;
    uint64_t d1 = uint64_t{h0} * r1 + uint64_t{h1} * r0 + uint64_t{h2} * s4 + uint64_t{h3} * s3 +
                  uint64_t{h4} * s2;
    uint64_t d2 = uint64_t{h0} * r2 + uint64_t{h1} * r1 + uint64_t{h2} * r0 + uint64_t{h3} * s4 +
                  uint64_t{h4} * s3;
    uint64_t d3 = uint64_t{h0} * r3 + uint64_t{h1} * r2 + uint64_t{h2} * r1 + uint64_t{h3} * r0 +
                  uint64_t{h4} * s4;
    uint64_t d4 = uint64_t{h0} * r4 + uint64_t{h1} * r3 + uint64_t{h2} * r2 + uint64_t{h3} * r1 +
                  uint64_t{h4} * r0;

    // Partial reduction modulo 2^130 - 5.
    uint32_t c = static_cast<uint32_t>(d0 >> 26);
    h0 = static_cast<uint32_t>(d0) & 0x3ffffff;
    d1 += c;
    c = static_cast<uint32_t>(d1 >> 26);
    h1 = static_cast<uint32_t>(d1) & 0x3ffffff;
    d2 += c;
    c = static_cast<uint32_t>(d2 >> 26);
    h2 = static_cast<uint32_t>(d2) & 0x3ffffff;
    d3 += c;
    c = static_cast<uint32_t>(d3 >> 26);
    h3 = static_cast<uint32_t>(d3) & 0x3ffffff;
    d4 += c;
    c = static_cast<uint32_t>(d4 >> 26);
    h4 = static_cast<uint32_t>(d4) & 0x3ffffff;
    h0 += c * 5;
    c = h0 >> 26;
    h0 &= 0x3ffffff;
    h1 += c;

    m_h[0] = h0;
    m_h[1] = h1;
    m_h[2] = h2;
    m_h[3] = h3;
    m_h[4] = h4;
}

void Poly1305::update(std::span<const uint8_t> data) {
    size_t i = 0;
    if (m_buffered > 0) {
        const size_t take = std::min(data.size(), 16 - m_buffered);
        std::memcpy(m_buffer + m_buffered, data.data(), take);
        m_buffered += take;
        i = take;
        if (m_buffered < 16)
            return;
        processBlock(m_buffer, 1u << 24);
        m_buffered = 0;
    }
    for (; i + 16 <= data.size(); i += 16)
        processBlock(data.data() + i, 1u << 24);
    if (i < data.size()) {
        m_buffered = data.size() - i;
        std::memcpy(m_buffer, data.data() + i, m_buffered);
    }
}

void Poly1305::padToBlock() {
    if (m_buffered == 0)
        return;
    std::memset(m_buffer + m_buffered, 0, 16 - m_buffered);
    processBlock(m_buffer, 1u << 24);
    m_buffered = 0;
}

Poly1305Tag Poly1305::finish() {
    if (m_buffered > 0) { // a short final block carries its 1 bit right after the data
        m_buffer[m_buffered] = 1;
        std::memset(m_buffer + m_buffered + 1, 0, 16 - m_buffered - 1);
        processBlock(m_buffer, 0);
        m_buffered = 0;
    }

    uint32_t h0 = m_h[0], h1 = m_h[1], h2 = m_h[2], h3 = m_h[3], h4 = m_h[4];
    // Full carry.
    uint32_t c = h1 >> 26;
    h1 &= 0x3ffffff;
    h2 += c;
    c = h2 >> 26;
    h2 &= 0x3ffffff;
    h3 += c;
    c = h3 >> 26;
    h3 &= 0x3ffffff;
    h4 += c;
    c = h4 >> 26;
    h4 &= 0x3ffffff;
    h0 += c * 5;
    c = h0 >> 26;
    h0 &= 0x3ffffff;
    h1 += c;

    // g = h + 5 - 2^130; take g when h >= p, in constant time.
    uint32_t g0 = h0 + 5;
    c = g0 >> 26;
    g0 &= 0x3ffffff;
    uint32_t g1 = h1 + c;
    c = g1 >> 26;
    g1 &= 0x3ffffff;
    uint32_t g2 = h2 + c;
    c = g2 >> 26;
    g2 &= 0x3ffffff;
    uint32_t g3 = h3 + c;
    c = g3 >> 26;
    g3 &= 0x3ffffff;
    const uint32_t g4 = h4 + c - (1u << 26);

    uint32_t mask = (g4 >> 31) - 1; // all ones when g4 did not underflow
    g0 &= mask;
    g1 &= mask;
    g2 &= mask;
    g3 &= mask;
    const uint32_t g4m = g4 & mask;
    mask = ~mask;
    h0 = (h0 & mask) | g0;
    h1 = (h1 & mask) | g1;
    h2 = (h2 & mask) | g2;
    h3 = (h3 & mask) | g3;
    h4 = (h4 & mask) | g4m;

    // h mod 2^128, then + s.
    h0 = (h0 | (h1 << 26));
    h1 = ((h1 >> 6) | (h2 << 20));
    h2 = ((h2 >> 12) | (h3 << 14));
    h3 = ((h3 >> 18) | (h4 << 8));

    uint64_t f = uint64_t{h0} + m_pad[0];
    h0 = static_cast<uint32_t>(f);
    f = uint64_t{h1} + m_pad[1] + (f >> 32);
    h1 = static_cast<uint32_t>(f);
    f = uint64_t{h2} + m_pad[2] + (f >> 32);
    h2 = static_cast<uint32_t>(f);
    f = uint64_t{h3} + m_pad[3] + (f >> 32);
    h3 = static_cast<uint32_t>(f);

    Poly1305Tag tag;
    store32le(tag.data() + 0, h0);
    store32le(tag.data() + 4, h1);
    store32le(tag.data() + 8, h2);
    store32le(tag.data() + 12, h3);
    return tag;
}

Poly1305Tag poly1305(const Poly1305Key& key, std::span<const uint8_t> message) {
    Poly1305 mac(key);
    mac.update(message);
    return mac.finish();
}

} // namespace pointrelay::crypto
