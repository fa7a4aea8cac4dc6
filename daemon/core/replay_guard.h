// SPDX-License-Identifier: MIT
#pragma once

#include "handshake.h"

#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_set>

namespace pointrelay::core {

/// Remembers the client nonce of every accepted handshake so that a recorded HELLO cannot be
/// played back. The set survives restarts in a small file (mode 0600) tagged with a
/// fingerprint of the key, so a new key starts a new set. It keeps the most recent
/// `capacity` nonces. If the file cannot be used, the set lives in memory only.
class ReplayGuard {
public:
    static constexpr size_t kDefaultCapacity = 65536;
    static constexpr const char* kMemoryOnlyMessage =
        "Replay guard: state file unusable, remembering HELLO nonces in memory only";

    explicit ReplayGuard(std::string_view psk, size_t capacity = kDefaultCapacity);
    ~ReplayGuard();
    ReplayGuard(const ReplayGuard&) = delete;
    ReplayGuard& operator=(const ReplayGuard&) = delete;

    /// \brief Loads (or starts) the set kept at `path`; false when the file cannot be used,
    /// in which case the guard keeps working in memory.
    bool attachFile(const std::filesystem::path& path);

    /// \brief True, and remembered, when `nonce` was never seen; false for a replay.
    bool admit(const HandshakeNonce& nonce);

    size_t size() const;

    /// The keyed fingerprint that tags this guard's file.
    const std::array<uint8_t, 32>& fingerprint() const { return m_fingerprint; }
    /// \brief Whether the file at `path` is a set kept for the key of this fingerprint.
    static bool fileBelongsTo(const std::filesystem::path& path,
                              const std::array<uint8_t, 32>& fingerprint);

    /// `$XDG_STATE_HOME/pointrelay/replay-nonces`, or under `~/.local/state`; nullopt when
    /// neither the variable nor a home folder is known.
    static std::optional<std::filesystem::path> defaultPath();

private:
    struct NonceHash {
        size_t operator()(const HandshakeNonce& n) const;
    };

    void rememberLocked(const HandshakeNonce& nonce);
    bool appendLocked(const HandshakeNonce& nonce);
    bool rewriteLocked();
    void dropFileLocked();

    const size_t m_capacity;
    std::array<uint8_t, 32> m_fingerprint;
    mutable std::mutex m_mutex;
    std::deque<HandshakeNonce> m_order; // oldest first
    std::unordered_set<HandshakeNonce, NonceHash> m_seen;
    std::filesystem::path m_path;
    int m_fd = -1;
    size_t m_recordsInFile = 0;
};

} // namespace pointrelay::core
