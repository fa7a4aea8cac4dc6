// SPDX-License-Identifier: MIT
#include "aead.h"

#include <algorithm>
#include <cassert>

namespace pointrelay::crypto {
namespace {

Poly1305Tag computeTag(const ChaChaKey& key, const ChaChaNonce& nonce, std::span<const uint8_t> aad,
                       std::span<const uint8_t> ciphertext) {
    // The one-time Poly1305 key is the first half of keystream block 0 (RFC 8439, 2.6).
    std::array<uint8_t, 64> block0;
    chacha20Block(key, 0, nonce, block0);
    Poly1305Key oneTimeKey;
    std::copy_n(block0.begin(), oneTimeKey.size(), oneTimeKey.begin());

    Poly1305 mac(oneTimeKey);
    mac.update(aad);
    mac.padToBlock();
    mac.update(ciphertext);
    mac.padToBlock();
    uint8_t lengths[16];
    const uint64_t aadLen = aad.size();
    const uint64_t ctLen = ciphertext.size();
    for (int i = 0; i < 8; ++i) {
        lengths[i] = static_cast<uint8_t>(aadLen >> (8 * i));
        lengths[8 + i] = static_cast<uint8_t>(ctLen >> (8 * i));
    }
    mac.update(lengths);
    return mac.finish();
}

} // namespace

bool constantTimeEqual(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    if (a.size() != b.size())
        return false;
    uint8_t diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= a[i] ^ b[i];
    return diff == 0;
}

Poly1305Tag aeadSeal(const ChaChaKey& key, const ChaChaNonce& nonce, std::span<const uint8_t> aad,
                     std::span<const uint8_t> plaintext, std::span<uint8_t> ciphertext) {
    assert(ciphertext.size() == plaintext.size());
    chacha20Xor(key, 1, nonce, plaintext, ciphertext);
    return computeTag(key, nonce, aad, ciphertext);
}

bool aeadOpen(const ChaChaKey& key, const ChaChaNonce& nonce, std::span<const uint8_t> aad,
              std::span<const uint8_t> ciphertext, std::span<const uint8_t, 16> tag,
              std::span<uint8_t> plaintext) {
    assert(plaintext.size() == ciphertext.size());
    const Poly1305Tag expected = computeTag(key, nonce, aad, ciphertext);
    if (!constantTimeEqual(expected, tag))
        return false;
    chacha20Xor(key, 1, nonce, ciphertext, plaintext);
    return true;
}

} // namespace pointrelay::crypto
