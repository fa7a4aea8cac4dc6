// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace pointrelay::core {

/// How a client may have derived its record key: the key set (the "text" or the "key"
/// label) and the order in which both nonces were fed (cs: client first, sc: server first).
enum class AeadVariant : uint8_t { TextCs, TextSc, KeyCs, KeySc };
inline constexpr AeadVariant kAllVariants[] = {AeadVariant::TextCs, AeadVariant::TextSc,
                                               AeadVariant::KeyCs, AeadVariant::KeySc};

using RecordKey = std::array<uint8_t, 32>;
using NonceBase = std::array<uint8_t, 12>;

/// Per-session keys and receive state, owned by one session thread.
struct SessionKeys {
    RecordKey textCs{};
    RecordKey textSc{};
    RecordKey keyCs{};
    RecordKey keySc{};
    NonceBase nonceBaseCs{};
    NonceBase nonceBaseSc{};
    uint32_t rxCounter = 0; ///< AEAD frames opened so far
    std::optional<AeadVariant> chosenVariant;

    const RecordKey& key(AeadVariant v) const {
        switch (v) {
        case AeadVariant::TextCs:
            return textCs;
        case AeadVariant::TextSc:
            return textSc;
        case AeadVariant::KeyCs:
            return keyCs;
        case AeadVariant::KeySc:
            break;
        }
        return keySc;
    }
    const NonceBase& nonceBase(AeadVariant v) const {
        return (v == AeadVariant::TextCs || v == AeadVariant::KeyCs) ? nonceBaseCs : nonceBaseSc;
    }
};

} // namespace pointrelay::core
