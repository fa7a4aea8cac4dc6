// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

namespace pointrelay::core {

/// The built-in key used when no --psk is given. It is public, so a daemon running with it
/// accepts anyone who reads this file; the application always passes a generated key.
inline constexpr char kBuiltInPsk[] = "set-a-real-psk-here-00";

/// Per-session configuration, copied into every session by value.
struct ServerConfig {
    std::string psk = kBuiltInPsk;     ///< HMAC key: the bytes of the key text itself
    int32_t handshakeTimeoutMs = 5000; ///< the whole HELLO must arrive within this time
    int32_t idleMs = 600000;
    int32_t pingMs = 20000;
    int32_t grace = 3; ///< missed-PONG deadlines tolerated before closing
    bool keepalive = true;
};

} // namespace pointrelay::core
