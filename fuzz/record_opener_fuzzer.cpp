// SPDX-License-Identifier: MIT
// Opens AEAD frame bodies with the keys of a fixed handshake. The first input byte sets the
// receive state the frame meets (bits 0-2: no variant chosen yet, or variant 1 to 4; bits
// 3-7: frames opened so far); the rest is the frame body, type byte included. A frame that
// does not open leaves the state alone; one that opens advances the counter by one, keeps a
// chosen variant, and is what the phone seals for its plaintext in one of the framings.
#include "core/record.h"
#include "fixed_handshake.h"
#include "phone_client.h"

#include <algorithm>
#include <cstdlib>

using namespace pointrelay;

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
    if ((result == core::RecordOpen::TooShort) != (body.size() < core::kMinAeadFrame))
        std::abort(); // the size verdict disagrees with the frame's size
    const bool opened = result == core::RecordOpen::Opened;
    if (keys.rxCounter != before.rxCounter + opened ||
        (!opened && keys.chosenVariant != before.chosenVariant) ||
        (opened && (!keys.chosenVariant ||
                    (before.chosenVariant && keys.chosenVariant != before.chosenVariant))))
        std::abort(); // the receive state moved other than by one opened frame
    // The type byte is neither authenticated nor looked at: the rest must seal back.
    if (opened && std::ranges::none_of(core::kAllFramings, [&](core::AeadFraming framing) {
            const auto sealed =
                client::sealRecord(keys, *keys.chosenVariant, framing, before.rxCounter, plaintext);
            return sealed.size() == body.size() &&
                   std::equal(sealed.begin() + 1, sealed.end(), body.begin() + 1);
        }))
        std::abort(); // the plaintext does not seal back into the frame
    return 0;
}
