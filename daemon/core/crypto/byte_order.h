// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

namespace pointrelay::crypto {

// ChaCha20 and Poly1305 read and write their words little-endian (RFC 8439, 2.1).
inline uint32_t load32le(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline void store32le(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

} // namespace pointrelay::crypto
