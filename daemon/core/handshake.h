// SPDX-License-Identifier: MIT
#pragma once

#include "core/crypto/hmac_sha256.h"
#include "server_config.h"
#include "session_keys.h"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace pointrelay::core {

class DeviceKeys;
class HandshakeAdmission;
class ReplayGuard;
struct DeviceMatch;

inline constexpr size_t kNonceSize = 16;
inline constexpr size_t kHelloSize = 54;
inline constexpr size_t kWelcomeSize = 49;
inline constexpr uint8_t kProtocolVersion = 1;
inline constexpr std::string_view kMagic = "PRLY";

using HandshakeNonce = std::array<uint8_t, kNonceSize>;
using HelloFrame = std::array<uint8_t, kHelloSize>;
using WelcomeFrame = std::array<uint8_t, kWelcomeSize>;

/// The outcome of checking a HELLO body; the checks stop at the first failure in this order.
enum class HelloCheck { Ok, InvalidSize, WrongType, BadMagic, BadVersion, HmacMismatch };

HelloFrame buildHello(std::string_view psk, const HandshakeNonce& clientNonce);
WelcomeFrame buildWelcome(std::string_view psk, const HandshakeNonce& clientNonce,
                          const HandshakeNonce& serverNonce);

/// \brief Checks size, type, magic, version and MAC; on Ok `clientNonce` holds the nonce.
HelloCheck checkHello(std::span<const uint8_t> body, std::string_view psk,
                      HandshakeNonce& clientNonce);

/// \brief Whether `mac` (the HELLO's 32 MAC bytes) was made with `psk` over this nonce; the
/// comparison takes the same time wherever the bytes differ.
bool helloMacMatches(std::string_view psk, const HandshakeNonce& clientNonce,
                     std::span<const uint8_t> mac);
/// The same with a key made ready beforehand (a paired device's).
bool helloMacMatches(const crypto::HmacSha256Key& key, const HandshakeNonce& clientNonce,
                     std::span<const uint8_t> mac);

/// \brief The key schedule: four record keys and two nonce bases from the key and both nonces.
SessionKeys deriveSessionKeys(std::string_view psk, const HandshakeNonce& clientNonce,
                              const HandshakeNonce& serverNonce);

/// Shared guards of the handshake: pending-handshake bounds, the replay memory and the keys.
struct HandshakeGuards {
    HandshakeAdmission* admission = nullptr; ///< optional; released once the HELLO is in
    uint64_t admissionTicket = 0;
    ReplayGuard* replay = nullptr; ///< optional; refuses client nonces seen before
    /// The paired devices, each with a replay memory of its own; without them the config's one
    /// key (and `replay`) serve.
    const DeviceKeys* devices = nullptr;
};

/// \brief Runs the daemon's side of HELLO/WELCOME on an accepted socket, logging one line for
/// the outcome ("Handshake: OK (NAME)" for a paired device). On success `keys` is ready for
/// record protection and `device`, when given, names the paired device that connected.
bool performHandshake(int fd, const ServerConfig& config, const HandshakeGuards& guards,
                      SessionKeys& keys, DeviceMatch* device = nullptr);

} // namespace pointrelay::core
