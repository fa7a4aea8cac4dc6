// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace pointrelay::crypto {

using Poly1305Key = std::array<uint8_t, 32>;
using Poly1305Tag = std::array<uint8_t, 16>;

/// Incremental Poly1305 (RFC 8439, 2.5), 26-bit limbs.
class Poly1305 {
public:
    explicit Poly1305(const Poly1305Key& key);
    void update(std::span<const uint8_t> data);
    /// Pads the data fed so far with zeros to a multiple of 16 bytes (the AEAD's padding).
    void padToBlock();
    Poly1305Tag finish();

private:
    void processBlock(const uint8_t* block, uint32_t hibit);

    uint32_t m_r[5];
    uint32_t m_h[5] = {0, 0, 0, 0, 0};
    uint32_t m_pad[4];
    uint8_t m_buffer[16];
    size_t m_buffered = 0;
};

Poly1305Tag poly1305(const Poly1305Key& key, std::span<const uint8_t> message);

} // namespace pointrelay::crypto
