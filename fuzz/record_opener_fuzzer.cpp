// SPDX-License-Identifier: MIT
// Opens AEAD frame bodies with the keys of a fixed handshake. The first input byte sets the
// receive state the frame meets (bits 0-2: no variant chosen yet, or variant 1 to 4; bits
// 3-7: frames opened so far); the rest is the frame body, type byte included.
#include "core/record.h"
#include "fixed_handshake.h"
#include "phone_client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace pointrelay;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "record opener fuzzer: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const core::SessionKeys kKeys =
        core::deriveSessionKeys(fuzz::kPsk, fuzz::kClientNonce, fuzz::kServerNonce);
    if (size < 1)
        return 0;
    core::SessionKeys keys = kKeys;
    if ((data[0] & 7) >= 1 && (data[0] & 7) <= 4)
        keys.chosenVariant = core::kAllVariants[(data[0] & 7) - 1];
    keys.rxCounter = data[0] >> 3;
    const core::SessionKeys before = keys;
    const std::span<const uint8_t> body(data + 1, size - 1);
    std::vector<uint8_t> plaintext{0xAA};
    const core::RecordOpen result = core::openRecord(keys, body, plaintext);
    require((result == core::RecordOpen::TooShort) == (body.size() < core::kMinAeadFrame),
            "the size verdict disagrees with the frame's size");
    if (result != core::RecordOpen::Opened) {
        require(keys.rxCounter == before.rxCounter && keys.chosenVariant == before.chosenVariant,
                "a frame that did not open changed the receive state");
        return 0;
    }
    require(keys.rxCounter == before.rxCounter + 1, "the counter did not advance by one");
    require(keys.chosenVariant &&
                (!before.chosenVariant || keys.chosenVariant == before.chosenVariant),
            "no variant, or another one, chosen after a frame opened");
    // An opened frame is what the phone seals for that plaintext under the chosen variant, with
    // the counter the frame met, in one of the framings. The type byte is neither
    // authenticated nor looked at by the opener, so only the rest of the frame is compared.
    require(std::ranges::any_of(core::kAllFramings,
                                [&](core::AeadFraming framing) {
                                    const auto sealed =
                                        client::sealRecord(keys, *keys.chosenVariant, framing,
                                                           before.rxCounter, plaintext);
                                    return sealed.size() == body.size() &&
                                           std::equal(sealed.begin() + 1, sealed.end(),
                                                      body.begin() + 1);
                                }),
            "the plaintext does not seal back into the frame");
    return 0;
}
