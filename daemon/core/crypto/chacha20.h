// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace pointrelay::crypto {

using ChaChaKey = std::array<uint8_t, 32>;
using ChaChaNonce = std::array<uint8_t, 12>;

/// One 64-byte ChaCha20 keystream block (RFC 8439, 2.3).
void chacha20Block(const ChaChaKey& key, uint32_t counter, const ChaChaNonce& nonce,
                   std::span<uint8_t, 64> out);

/// XORs `in` with the keystream starting at block `counter` (RFC 8439, 2.4) into `out`,
/// which must be as long as `in` and may be the same memory.
void chacha20Xor(const ChaChaKey& key, uint32_t counter, const ChaChaNonce& nonce,
                 std::span<const uint8_t> in, std::span<uint8_t> out);

} // namespace pointrelay::crypto
