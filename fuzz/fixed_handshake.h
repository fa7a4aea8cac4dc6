// SPDX-License-Identifier: MIT
#pragma once

#include "core/handshake.h"

#include <string_view>

namespace pointrelay::fuzz {

// The key and the two nonces of one fixed handshake: the committed binary seeds were sealed
// under its keys (with client::sealRecord), so they open under the targets' keys.
inline constexpr std::string_view kPsk = "set-a-real-psk-here-00";
inline constexpr core::HandshakeNonce kClientNonce = {
    0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
inline constexpr core::HandshakeNonce kServerNonce = {1, 2,  3,  4,  5,  6,  7,  8,
                                                      9, 10, 11, 12, 13, 14, 15, 16};

} // namespace pointrelay::fuzz
