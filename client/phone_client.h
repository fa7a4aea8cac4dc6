// SPDX-License-Identifier: MIT
#pragma once

#include "core/handshake.h"
#include "core/record.h"
#include "core/session_keys.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pointrelay::client {

/// \brief Builds an AEAD frame body (type byte included) carrying `plaintext`, sealed under
/// `variant` with record counter `counter`, laid out as `framing`.
std::vector<uint8_t> sealRecord(const core::SessionKeys& keys, core::AeadVariant variant,
                                core::AeadFraming framing, uint32_t counter,
                                std::span<const uint8_t> plaintext);

/// The phone's side of the protocol over one TCP connection, as a phone application speaks
/// it: HELLO, the WELCOME check, the key schedule, plain and sealed frames, frame reading.
class PhoneClient {
public:
    PhoneClient() = default;
    ~PhoneClient();
    PhoneClient(PhoneClient&& other) noexcept;
    PhoneClient& operator=(PhoneClient&& other) noexcept;
    PhoneClient(const PhoneClient&) = delete;
    PhoneClient& operator=(const PhoneClient&) = delete;

    /// \brief Connects to an IPv4 `host` (dotted decimal) and `port`, optionally from a given
    /// local address (any 127.x.y.z works on loopback).
    bool connect(const std::string& host, uint16_t port,
                 const std::optional<std::string>& sourceAddress = std::nullopt);
    /// Takes over an already connected socket (for in-process tests over a socket pair).
    void adopt(int fd);
    void close();
    int fd() const { return m_fd; }

    /// \brief HELLO, then WELCOME checked against the key; on success keys() are ready.
    /// The client nonce is random unless given.
    bool handshake(std::string_view psk,
                   const std::optional<core::HandshakeNonce>& clientNonce = std::nullopt,
                   int timeoutMs = 5000);
    const core::SessionKeys& keys() const { return m_keys; }
    const core::HandshakeNonce& serverNonce() const { return m_serverNonce; }

    bool sendFrame(std::span<const uint8_t> body);
    bool sendRaw(std::span<const uint8_t> bytes);
    bool sendText(std::string_view text);
    bool sendMove(int16_t dx, int16_t dy);
    bool sendScroll(int16_t dx, int16_t dy);
    bool sendClick(uint8_t button, bool down);
    bool sendPing();
    bool sendPong();
    /// Seals `text` with the next record counter (0 for the first) and sends it.
    bool sendSealedText(std::string_view text,
                        core::AeadVariant variant = core::AeadVariant::TextCs,
                        core::AeadFraming framing = core::AeadFraming::Offset1NoAad);
    /// Seals with an explicit counter, leaving the running counter alone.
    bool sendSealedText(std::string_view text, core::AeadVariant variant, core::AeadFraming framing,
                        uint32_t counter);

    /// \brief Receives one frame body, waiting at most `timeoutMs` for each part.
    bool recvFrame(std::vector<uint8_t>& body, int timeoutMs);
    /// \brief Waits until the daemon closes the connection, skipping frames; false on time-out.
    bool waitForClose(int timeoutMs);

private:
    int m_fd = -1;
    core::SessionKeys m_keys;
    core::HandshakeNonce m_serverNonce{};
    uint32_t m_txCounter = 0;
};

} // namespace pointrelay::client
