// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string_view>

namespace pointrelay::crypto {

using Sha256Digest = std::array<uint8_t, 32>;

/// HMAC-SHA256 (RFC 2104) of the concatenation of `parts`, keyed with `key`.
Sha256Digest hmacSha256(std::span<const uint8_t> key,
                        std::initializer_list<std::span<const uint8_t>> parts);

/// A key made ready once for many HMAC-SHA256 computations: its padded blocks are hashed here
/// only. Used from several threads at once.
class HmacSha256Key {
public:
    explicit HmacSha256Key(std::span<const uint8_t> key);
    ~HmacSha256Key();
    HmacSha256Key(const HmacSha256Key&) = delete;
    HmacSha256Key& operator=(const HmacSha256Key&) = delete;

    /// The same digest as hmacSha256 with this key.
    Sha256Digest mac(std::initializer_list<std::span<const uint8_t>> parts) const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

/// Frees what the HMAC library keeps for the calling thread. A thread that may still be ending
/// while the process exits calls it before it says it is done, so the library's own clean-up at
/// exit never runs beside a thread that is tearing its share down (OpenSSL frees its per-thread
/// state from a thread-exit handler otherwise).
void releaseThreadState();

/// Bytes of an ASCII label or key text, without a terminator.
inline std::span<const uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

} // namespace pointrelay::crypto
