// SPDX-License-Identifier: MIT
#pragma once

#include "chacha20.h"
#include "poly1305.h"

#include <span>

namespace pointrelay::crypto {

/// ChaCha20-Poly1305 (RFC 8439, 2.8): encrypts `plaintext` into `ciphertext` (same length,
/// may alias) and returns the tag over `aad` and the ciphertext.
Poly1305Tag aeadSeal(const ChaChaKey& key, const ChaChaNonce& nonce, std::span<const uint8_t> aad,
                     std::span<const uint8_t> plaintext, std::span<uint8_t> ciphertext);

/// Checks `tag` over `aad` and `ciphertext` in constant time; only when it matches is the
/// ciphertext decrypted into `plaintext` (same length, may alias). False changes nothing.
bool aeadOpen(const ChaChaKey& key, const ChaChaNonce& nonce, std::span<const uint8_t> aad,
              std::span<const uint8_t> ciphertext, std::span<const uint8_t, 16> tag,
              std::span<uint8_t> plaintext);

/// Compares two equally long byte strings over their whole length, without stopping early.
bool constantTimeEqual(std::span<const uint8_t> a, std::span<const uint8_t> b);

} // namespace pointrelay::crypto
