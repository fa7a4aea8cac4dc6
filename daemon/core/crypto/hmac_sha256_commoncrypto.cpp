// SPDX-License-Identifier: MIT
// HMAC-SHA256 from CommonCrypto, for the Apple build.
#include "hmac_sha256.h"

#include <CommonCrypto/CommonHMAC.h>

namespace pointrelay::crypto {

Sha256Digest hmacSha256(std::span<const uint8_t> key,
                        std::initializer_list<std::span<const uint8_t>> parts) {
    CCHmacContext ctx;
    CCHmacInit(&ctx, kCCHmacAlgSHA256, key.data(), key.size());
    for (const auto& part : parts)
        CCHmacUpdate(&ctx, part.data(), part.size());
    Sha256Digest out{};
    CCHmacFinal(&ctx, out.data());
    return out;
}

struct HmacSha256Key::State {
    CCHmacContext keyed;
};

HmacSha256Key::HmacSha256Key(std::span<const uint8_t> key) : m_state(std::make_unique<State>()) {
    CCHmacInit(&m_state->keyed, kCCHmacAlgSHA256, key.data(), key.size());
}

HmacSha256Key::~HmacSha256Key() = default;

Sha256Digest HmacSha256Key::mac(std::initializer_list<std::span<const uint8_t>> parts) const {
    CCHmacContext ctx = m_state->keyed; // a plain structure: a copy goes on from the key
    for (const auto& part : parts)
        CCHmacUpdate(&ctx, part.data(), part.size());
    Sha256Digest out{};
    CCHmacFinal(&ctx, out.data());
    return out;
}

void releaseThreadState() {} // CommonCrypto keeps no per-thread state

} // namespace pointrelay::crypto
