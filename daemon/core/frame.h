// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pointrelay::core {

/// Frame types: the first byte of every frame body.
enum class FrameType : uint8_t {
    Hello = 0x01,
    Welcome = 0x02,
    Text = 0x10,
    Move = 0x11,
    Scroll = 0x12,
    Click = 0x13,
    Aead = 0x90,
    Ping = 0xFE,
    Pong = 0xFF,
};

/// Received bodies are 1 to 65535 bytes; anything else in a header fails the receive.
inline constexpr uint32_t kMaxFrameBody = 65535;
inline constexpr size_t kFrameHeaderSize = 4;

using Clock = std::chrono::steady_clock;

/// \brief Reads exactly `out.size()` bytes, waiting at most `timeoutMs` for each arrival.
/// A peer that trickles one byte per wait never times out; see readExactUntil for a bound.
bool readExact(int fd, std::span<uint8_t> out, int timeoutMs);

/// \brief Reads exactly `out.size()` bytes, all of them before `deadline`.
bool readExactUntil(int fd, std::span<uint8_t> out, Clock::time_point deadline);

/// Decodes a big-endian header; true when the length is within the receive limits.
/// Inline: the session's frame reader decodes one per frame.
inline bool decodeFrameHeader(std::span<const uint8_t, kFrameHeaderSize> header, uint32_t& length) {
    length = uint32_t{header[0]} << 24 | uint32_t{header[1]} << 16 | uint32_t{header[2]} << 8 |
             uint32_t{header[3]};
    return length >= 1 && length <= kMaxFrameBody;
}

/// \brief Receives one frame body (type byte included) into `body`, resized to its length.
bool recvFrame(int fd, std::vector<uint8_t>& body, int timeoutMs);

/// \brief Writes the 4-byte big-endian length and the body.
bool sendFrame(int fd, std::span<const uint8_t> body);

/// Appends header and body to `out`, for callers that batch frames into one write.
void appendFrame(std::vector<uint8_t>& out, std::span<const uint8_t> body);

/// Socket options of an accepted connection: linger 1 s, keepalive after 60 s idle (when
/// asked for), no Nagle delay, and a send time-out so that no write holds a session forever.
void applySessionSocketOptions(int fd, bool keepalive);

/// Sets SO_LINGER on with 1 s, as done before every orderly close of a session socket.
void setLingerOneSecond(int fd);

/// How long one blocked write may wait for the peer to take data.
inline constexpr std::chrono::seconds kSendTimeout{5};

} // namespace pointrelay::core
