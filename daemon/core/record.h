// SPDX-License-Identifier: MIT
#pragma once

#include "session_keys.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace pointrelay::core {

/// The ways a client may lay out an AEAD frame body B (B[0] = 0x90, tag in the last 16 bytes).
enum class AeadFraming : uint8_t {
    Offset1NoAad, ///< ciphertext B[1..n-16), no AAD
    Offset1Aad10, ///< ciphertext B[1..n-16), AAD the byte 0x10
    Offset2Aad10, ///< ciphertext B[2..n-16), AAD 0x10; only when B[1] is 0x10
};
inline constexpr AeadFraming kAllFramings[] = {AeadFraming::Offset1NoAad, AeadFraming::Offset1Aad10,
                                               AeadFraming::Offset2Aad10};

inline constexpr size_t kAeadTagSize = 16;
inline constexpr size_t kMinAeadFrame = 18; ///< type byte, 1 byte of ciphertext, tag

/// The 12-byte nonce of one record: the first 8 bytes of the base, then the counter big-endian.
std::array<uint8_t, 12> recordNonce(const NonceBase& base, uint32_t counter);

enum class RecordOpen { Opened, TooShort, Failed };

/// \brief Opens one AEAD frame body with the session's keys, trying the framings in order and,
/// until one has worked, every variant. On success the plaintext is in `plaintext`, the
/// counter has advanced and the variant is chosen; on failure nothing changed.
RecordOpen openRecord(SessionKeys& keys, std::span<const uint8_t> body,
                      std::vector<uint8_t>& plaintext);

} // namespace pointrelay::core
