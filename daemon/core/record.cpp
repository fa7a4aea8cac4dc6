// SPDX-License-Identifier: MIT
#include "record.h"

#include "core/crypto/aead.h"
#include "frame.h"

#include <algorithm>

namespace pointrelay::core {
namespace {

constexpr uint8_t kAad10[] = {static_cast<uint8_t>(FrameType::Text)};

struct Layout {
    size_t offset;
    std::span<const uint8_t> aad;
};

Layout layoutOf(AeadFraming framing) {
    switch (framing) {
    case AeadFraming::Offset1NoAad:
        return {1, {}};
    case AeadFraming::Offset1Aad10:
        return {1, kAad10};
    case AeadFraming::Offset2Aad10:
        break;
    }
    return {2, kAad10};
}

bool tryOpen(const SessionKeys& keys, AeadVariant variant, AeadFraming framing,
             std::span<const uint8_t> body, uint32_t counter, std::vector<uint8_t>& plaintext) {
    const Layout layout = layoutOf(framing);
    if (body.size() < layout.offset + 1 + kAeadTagSize)
        return false; // no ciphertext left under this framing
    const auto ciphertext = body.subspan(layout.offset, body.size() - layout.offset - kAeadTagSize);
    const std::span<const uint8_t, kAeadTagSize> tag(body.data() + body.size() - kAeadTagSize,
                                                     kAeadTagSize);
    plaintext.resize(ciphertext.size());
    return crypto::aeadOpen(keys.key(variant), recordNonce(keys.nonceBase(variant), counter),
                            layout.aad, ciphertext, tag, plaintext);
}

} // namespace

std::array<uint8_t, 12> recordNonce(const NonceBase& base, uint32_t counter) {
    std::array<uint8_t, 12> nonce;
    std::copy_n(base.begin(), 8, nonce.begin());
    nonce[8] = static_cast<uint8_t>(counter >> 24);
    nonce[9] = static_cast<uint8_t>(counter >> 16);
    nonce[10] = static_cast<uint8_t>(counter >> 8);
    nonce[11] = static_cast<uint8_t>(counter);
    return nonce;
}

RecordOpen openRecord(SessionKeys& keys, std::span<const uint8_t> body,
                      std::vector<uint8_t>& plaintext) {
    if (body.size() < kMinAeadFrame)
        return RecordOpen::TooShort;
    const uint32_t counter = keys.rxCounter;
    for (const AeadFraming framing : kAllFramings) {
        if (framing == AeadFraming::Offset2Aad10 && body[1] != kAad10[0])
            continue;
        if (keys.chosenVariant) {
            if (tryOpen(keys, *keys.chosenVariant, framing, body, counter, plaintext)) {
                keys.rxCounter = counter + 1;
                return RecordOpen::Opened;
            }
            continue;
        }
        for (const AeadVariant variant : kAllVariants) {
            if (tryOpen(keys, variant, framing, body, counter, plaintext)) {
                keys.chosenVariant = variant;
                keys.rxCounter = counter + 1;
                return RecordOpen::Opened;
            }
        }
    }
    plaintext.clear();
    return RecordOpen::Failed;
}

} // namespace pointrelay::core
