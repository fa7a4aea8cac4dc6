// SPDX-License-Identifier: MIT
#include "handshake.h"

#include "core/crypto/aead.h"
#include "core/crypto/hmac_sha256.h"
#include "core/crypto/random.h"
#include "device_keys.h"
#include "frame.h"
#include "handshake_admission.h"
#include "log.h"
#include "replay_guard.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace pointrelay::core {

using crypto::asBytes;
using crypto::hmacSha256;

namespace {

constexpr size_t kMacOffset = 22;

crypto::Sha256Digest helloMac(std::string_view psk, const HandshakeNonce& clientNonce) {
    return hmacSha256(asBytes(psk), {asBytes("HELLO"), clientNonce});
}

template <size_t N>
std::array<uint8_t, N> truncated(const crypto::Sha256Digest& digest) {
    std::array<uint8_t, N> out;
    std::copy_n(digest.begin(), N, out.begin());
    return out;
}

// Releases the pending-handshake slot when the HELLO wait is over, whatever its outcome.
class AdmissionRelease {
public:
    explicit AdmissionRelease(const HandshakeGuards& guards) : m_guards(guards) {}
    ~AdmissionRelease() { release(); }
    void release() {
        if (m_guards.admission && !m_released)
            m_guards.admission->release(m_guards.admissionTicket);
        m_released = true;
    }

private:
    const HandshakeGuards& m_guards;
    bool m_released = false;
};

} // namespace

HelloFrame buildHello(std::string_view psk, const HandshakeNonce& clientNonce) {
    HelloFrame hello{};
    hello[0] = static_cast<uint8_t>(FrameType::Hello);
    std::memcpy(hello.data() + 1, kMagic.data(), kMagic.size());
    hello[5] = kProtocolVersion;
    std::copy(clientNonce.begin(), clientNonce.end(), hello.begin() + 6);
    const auto mac = helloMac(psk, clientNonce);
    std::copy(mac.begin(), mac.end(), hello.begin() + kMacOffset);
    return hello;
}

WelcomeFrame buildWelcome(std::string_view psk, const HandshakeNonce& clientNonce,
                          const HandshakeNonce& serverNonce) {
    WelcomeFrame welcome{};
    welcome[0] = static_cast<uint8_t>(FrameType::Welcome);
    std::copy(serverNonce.begin(), serverNonce.end(), welcome.begin() + 1);
    const auto mac = hmacSha256(asBytes(psk), {asBytes("WELCOME"), clientNonce, serverNonce});
    std::copy(mac.begin(), mac.end(), welcome.begin() + 1 + kNonceSize);
    return welcome;
}

bool helloMacMatches(std::string_view psk, const HandshakeNonce& clientNonce,
                     std::span<const uint8_t> mac) {
    return crypto::constantTimeEqual(helloMac(psk, clientNonce), mac);
}

bool helloMacMatches(const crypto::HmacSha256Key& key, const HandshakeNonce& clientNonce,
                     std::span<const uint8_t> mac) {
    return crypto::constantTimeEqual(key.mac({asBytes("HELLO"), clientNonce}), mac);
}

namespace {

// The checks before the MAC; on Ok `clientNonce` holds the nonce.
HelloCheck checkHelloShape(std::span<const uint8_t> body, HandshakeNonce& clientNonce) {
    if (body.size() != kHelloSize)
        return HelloCheck::InvalidSize;
    if (body[0] != static_cast<uint8_t>(FrameType::Hello))
        return HelloCheck::WrongType;
    if (std::memcmp(body.data() + 1, kMagic.data(), kMagic.size()) != 0)
        return HelloCheck::BadMagic;
    if (body[5] != kProtocolVersion)
        return HelloCheck::BadVersion;
    std::copy_n(body.begin() + 6, kNonceSize, clientNonce.begin());
    return HelloCheck::Ok;
}

} // namespace

HelloCheck checkHello(std::span<const uint8_t> body, std::string_view psk,
                      HandshakeNonce& clientNonce) {
    const HelloCheck shape = checkHelloShape(body, clientNonce);
    if (shape != HelloCheck::Ok)
        return shape;
    return helloMacMatches(psk, clientNonce, body.subspan(kMacOffset)) ? HelloCheck::Ok
                                                                       : HelloCheck::HmacMismatch;
}

SessionKeys deriveSessionKeys(std::string_view psk, const HandshakeNonce& clientNonce,
                              const HandshakeNonce& serverNonce) {
    const auto key = asBytes(psk);
    const auto text = asBytes("PRLY:aead:text");
    const auto keyLabel = asBytes("PRLY:aead:key");
    const auto nonce = asBytes("PRLY:aead:nonce");
    SessionKeys keys;
    keys.textCs = hmacSha256(key, {text, clientNonce, serverNonce});
    keys.keyCs = hmacSha256(key, {keyLabel, clientNonce, serverNonce});
    keys.nonceBaseCs = truncated<12>(hmacSha256(key, {nonce, clientNonce, serverNonce}));
    keys.textSc = hmacSha256(key, {text, serverNonce, clientNonce});
    keys.keySc = hmacSha256(key, {keyLabel, serverNonce, clientNonce});
    keys.nonceBaseSc = truncated<12>(hmacSha256(key, {nonce, serverNonce, clientNonce}));
    return keys;
}

bool performHandshake(int fd, const ServerConfig& config, const HandshakeGuards& guards,
                      SessionKeys& keys, DeviceMatch* device) {
    AdmissionRelease admission(guards);

    // The whole HELLO must arrive within the handshake time, however slowly it trickles in.
    const auto deadline = Clock::now() + std::chrono::milliseconds(config.handshakeTimeoutMs);
    uint8_t header[kFrameHeaderSize];
    uint32_t length = 0;
    if (!readExactUntil(fd, header, deadline) || !decodeFrameHeader(header, length)) {
        logLine("Handshake: failed to receive HELLO");
        return false;
    }
    if (length != kHelloSize) { // refused before any body byte is read
        logLine("Handshake: invalid HELLO size");
        return false;
    }
    std::array<uint8_t, kHelloSize> body;
    if (!readExactUntil(fd, body, deadline)) {
        logLine("Handshake: failed to receive HELLO");
        return false;
    }
    admission.release();

    HandshakeNonce clientNonce{};
    std::optional<DeviceMatch> match;
    HelloCheck check = checkHelloShape(body, clientNonce);
    if (check == HelloCheck::Ok) {
        const auto mac = std::span<const uint8_t>(body).subspan(kMacOffset);
        if (guards.devices)
            match = guards.devices->match(clientNonce, mac);
        if (guards.devices ? !match : !helloMacMatches(config.psk, clientNonce, mac))
            check = HelloCheck::HmacMismatch;
    }
    switch (check) {
    case HelloCheck::Ok:
        break;
    case HelloCheck::InvalidSize:
        logLine("Handshake: invalid HELLO size");
        return false;
    case HelloCheck::WrongType:
        logLine("Handshake: wrong type");
        return false;
    case HelloCheck::BadMagic:
        logLine("Handshake: bad magic");
        return false;
    case HelloCheck::BadVersion:
        logLine("Handshake: bad version");
        return false;
    case HelloCheck::HmacMismatch:
        logLine("Handshake: HMAC mismatch");
        return false;
    }

    // Only a verified HELLO enters the replay memory, so forged ones cannot fill it.
    ReplayGuard* const replay = match ? &match->key->replay() : guards.replay;
    if (replay && !replay->admit(clientNonce)) {
        logLine("Handshake: replayed HELLO");
        return false;
    }

    HandshakeNonce serverNonce{};
    if (!crypto::fillRandom(serverNonce)) {
        logLine("Handshake: no random source");
        return false;
    }
    const std::string_view psk = match ? std::string_view(match->key->key()) : config.psk;
    const auto welcome = buildWelcome(psk, clientNonce, serverNonce);
    if (!sendFrame(fd, welcome)) {
        logLine("Handshake: failed to send WELCOME");
        return false;
    }
    keys = deriveSessionKeys(psk, clientNonce, serverNonce);
    if (match && !match->name.empty())
        logLine("Handshake: OK (" + deviceLabel(match->name) + ")");
    else
        logLine("Handshake: OK");
    if (device && match)
        *device = std::move(*match);
    return true;
}

} // namespace pointrelay::core
