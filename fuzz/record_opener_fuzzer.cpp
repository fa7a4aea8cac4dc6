// SPDX-License-Identifier: MIT
// Opens AEAD frame bodies with the keys of a fixed handshake. The first input byte sets the
// receive state the frame meets (bits 0-2: no variant chosen yet, or variant 1 to 4; bits
// 3-7: frames opened so far); the rest is the frame body, type byte included.
#include "core/handshake.h"
#include "core/record.h"
#include "fixed_handshake.h"
#include "phone_client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace pointrelay;
using core::AeadFraming;
using core::AeadVariant;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "record opener fuzzer: %s\n", what);
        std::abort();
    }
}

const core::SessionKeys& fixedKeys() {
    static const core::SessionKeys keys =
        core::deriveSessionKeys(fuzz::kPsk, fuzz::kClientNonce, fuzz::kServerNonce);
    return keys;
}

// An opened frame is what the phone seals for that plaintext under the chosen variant, with
// the counter the frame met, in one of the framings.
bool resealsToTheSameFrame(const core::SessionKeys& keys, AeadVariant variant, uint32_t counter,
                           std::span<const uint8_t> body, std::span<const uint8_t> plaintext) {
    for (const AeadFraming framing : core::kAllFramings) {
        const auto sealed = client::sealRecord(keys, variant, framing, counter, plaintext);
        // The type byte is neither authenticated nor looked at by the opener, so only the rest
        // of the frame is compared.
        if (sealed.size() == body.size() &&
            std::equal(sealed.begin() + 1, sealed.end(), body.begin() + 1))
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    core::SessionKeys keys = fixedKeys();
    const uint8_t state = data[0];
    if ((state & 7) >= 1 && (state & 7) <= 4)
        keys.chosenVariant = core::kAllVariants[(state & 7) - 1];
    keys.rxCounter = state >> 3;
    const core::SessionKeys before = keys;

    const std::span<const uint8_t> body(data + 1, size - 1);
    std::vector<uint8_t> plaintext{0xAA};
    switch (core::openRecord(keys, body, plaintext)) {
    case core::RecordOpen::TooShort:
        require(body.size() < core::kMinAeadFrame, "a long enough frame is called too short");
        [[fallthrough]];
    case core::RecordOpen::Failed:
        require(keys.rxCounter == before.rxCounter && keys.chosenVariant == before.chosenVariant,
                "a frame that did not open changed the receive state");
        break;
    case core::RecordOpen::Opened:
        require(keys.rxCounter == before.rxCounter + 1, "the counter did not advance by one");
        require(keys.chosenVariant.has_value(), "no variant chosen after a frame opened");
        require(!before.chosenVariant || keys.chosenVariant == before.chosenVariant,
                "the chosen variant changed");
        require(resealsToTheSameFrame(keys, *keys.chosenVariant, before.rxCounter, body, plaintext),
                "the plaintext does not seal back into the frame");
        break;
    }
    return 0;
}
