// SPDX-License-Identifier: MIT
#include "phone_client.h"

#include "core/crypto/aead.h"
#include "core/crypto/random.h"
#include "core/frame.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace pointrelay::client {

using core::AeadFraming;
using core::FrameType;

std::vector<uint8_t> sealRecord(const core::SessionKeys& keys, core::AeadVariant variant,
                                AeadFraming framing, uint32_t counter,
                                std::span<const uint8_t> plaintext) {
    static constexpr uint8_t kAad10[] = {0x10};
    const std::span<const uint8_t> aad =
        framing == AeadFraming::Offset1NoAad ? std::span<const uint8_t>() : kAad10;
    const size_t offset = framing == AeadFraming::Offset2Aad10 ? 2 : 1;

    std::vector<uint8_t> body(offset + plaintext.size() + core::kAeadTagSize);
    body[0] = static_cast<uint8_t>(FrameType::Aead);
    if (offset == 2)
        body[1] = 0x10;
    const auto ciphertext = std::span(body).subspan(offset, plaintext.size());
    const auto tag =
        crypto::aeadSeal(keys.key(variant), core::recordNonce(keys.nonceBase(variant), counter),
                         aad, plaintext, ciphertext);
    std::copy(tag.begin(), tag.end(), body.end() - core::kAeadTagSize);
    return body;
}

PhoneClient::~PhoneClient() {
    close();
}

PhoneClient::PhoneClient(PhoneClient&& other) noexcept {
    *this = std::move(other);
}

PhoneClient& PhoneClient::operator=(PhoneClient&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_keys = other.m_keys;
        m_serverNonce = other.m_serverNonce;
        m_txCounter = other.m_txCounter;
    }
    return *this;
}

void PhoneClient::adopt(int fd) {
    close();
    m_fd = fd;
    m_txCounter = 0;
}

void PhoneClient::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool PhoneClient::connect(const std::string& host, uint16_t port,
                          const std::optional<std::string>& sourceAddress) {
    close();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        return false;
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    if (sourceAddress) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, sourceAddress->c_str(), &local.sin_addr) != 1 ||
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            close();
            return false;
        }
    }
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close();
        return false;
    }
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_txCounter = 0;
    return true;
}

bool PhoneClient::handshake(std::string_view psk,
                            const std::optional<core::HandshakeNonce>& clientNonce, int timeoutMs) {
    core::HandshakeNonce nonce{};
    if (clientNonce)
        nonce = *clientNonce;
    else if (!crypto::fillRandom(nonce))
        return false;
    if (!sendFrame(core::buildHello(psk, nonce)))
        return false;

    std::vector<uint8_t> welcome;
    if (!recvFrame(welcome, timeoutMs) || welcome.size() != core::kWelcomeSize ||
        welcome[0] != static_cast<uint8_t>(FrameType::Welcome))
        return false;
    std::copy_n(welcome.begin() + 1, core::kNonceSize, m_serverNonce.begin());
    // The daemon proves it knows the key too.
    const auto expected = core::buildWelcome(psk, nonce, m_serverNonce);
    if (!crypto::constantTimeEqual(expected, welcome))
        return false;
    m_keys = core::deriveSessionKeys(psk, nonce, m_serverNonce);
    m_txCounter = 0;
    return true;
}

bool PhoneClient::sendFrame(std::span<const uint8_t> body) {
    return m_fd >= 0 && core::sendFrame(m_fd, body);
}

bool PhoneClient::sendRaw(std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (m_fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return m_fd >= 0;
}

bool PhoneClient::sendText(std::string_view text) {
    std::vector<uint8_t> body{static_cast<uint8_t>(FrameType::Text)};
    body.insert(body.end(), text.begin(), text.end());
    return sendFrame(body);
}

namespace {
std::vector<uint8_t> pointerBody(FrameType type, int16_t a, int16_t b) {
    const auto ua = static_cast<uint16_t>(a);
    const auto ub = static_cast<uint16_t>(b);
    return {static_cast<uint8_t>(type), static_cast<uint8_t>(ua >> 8), static_cast<uint8_t>(ua),
            static_cast<uint8_t>(ub >> 8), static_cast<uint8_t>(ub)};
}
} // namespace

bool PhoneClient::sendMove(int16_t dx, int16_t dy) {
    return sendFrame(pointerBody(FrameType::Move, dx, dy));
}

bool PhoneClient::sendScroll(int16_t dx, int16_t dy) {
    return sendFrame(pointerBody(FrameType::Scroll, dx, dy));
}

bool PhoneClient::sendClick(uint8_t button, bool down) {
    const uint8_t body[] = {static_cast<uint8_t>(FrameType::Click), button,
                            static_cast<uint8_t>(down ? 1 : 0)};
    return sendFrame(body);
}

bool PhoneClient::sendPing() {
    const uint8_t body[] = {static_cast<uint8_t>(FrameType::Ping)};
    return sendFrame(body);
}

bool PhoneClient::sendPong() {
    const uint8_t body[] = {static_cast<uint8_t>(FrameType::Pong)};
    return sendFrame(body);
}

bool PhoneClient::sendSealedText(std::string_view text, core::AeadVariant variant,
                                 AeadFraming framing) {
    if (!sendSealedText(text, variant, framing, m_txCounter))
        return false;
    ++m_txCounter;
    return true;
}

bool PhoneClient::sendSealedText(std::string_view text, core::AeadVariant variant,
                                 AeadFraming framing, uint32_t counter) {
    const std::span<const uint8_t> plaintext(reinterpret_cast<const uint8_t*>(text.data()),
                                             text.size());
    return sendFrame(sealRecord(m_keys, variant, framing, counter, plaintext));
}

bool PhoneClient::recvFrame(std::vector<uint8_t>& body, int timeoutMs) {
    return m_fd >= 0 && core::recvFrame(m_fd, body, timeoutMs);
}

bool PhoneClient::waitForClose(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t buffer[4096];
    while (m_fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return false;
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) <= 0)
            continue;
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return true; // closed (or reset) by the daemon
    }
    return true;
}

} // namespace pointrelay::client
