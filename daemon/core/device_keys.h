// SPDX-License-Identifier: MIT
#pragma once

#include "handshake.h"
#include "replay_guard.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pointrelay::core {

/// One line of the keys file: a phone's key and the name it was paired under.
struct DeviceEntry {
    std::string key;
    std::string name;
};

/// What reading a keys file found. The file is refused whole when it is not a regular file of
/// this user's, readable by the owner only, or larger than kMaxKeysFileBytes.
struct KeysFile {
    enum class Problem { none, unreadable, notPrivate, tooLarge };
    static constexpr size_t kMaxKeysFileBytes = 64 * 1024;

    Problem problem = Problem::none;
    std::vector<DeviceEntry> entries;
    std::vector<size_t> badLines; ///< 1-based numbers of lines that are no device
    bool overLimit = false;       ///< more devices than DeviceKeys::kMaxDevices; the rest dropped
};

/// \brief Reads a keys file: one device a line, its key (at least 16 characters, no space),
/// one space and its name. Blank lines and lines starting with '#' are skipped, a repeated
/// key counts once.
KeysFile readKeysFile(const std::filesystem::path& path);

/// A device's name as log lines show it: control bytes and the backslash as "\xNN".
std::string deviceLabel(std::string_view name);

/// One paired key and what the daemon keeps for it: its replay memory, and a descriptor that
/// becomes readable once the key is no longer listed, so that its sessions end at once.
class PairedKey {
public:
    PairedKey(std::string key, std::unique_ptr<ReplayGuard> replay);
    ~PairedKey();
    PairedKey(const PairedKey&) = delete;
    PairedKey& operator=(const PairedKey&) = delete;

    const std::string& key() const { return m_key; }
    const crypto::HmacSha256Key& macKey() const { return m_macKey; }
    ReplayGuard& replay() const { return *m_replay; }
    int revokedFd() const { return m_revoked[0]; }
    void revoke();

private:
    std::string m_key;
    crypto::HmacSha256Key m_macKey;
    std::unique_ptr<ReplayGuard> m_replay;
    int m_revoked[2] = {-1, -1};
};

/// The device a HELLO was verified with.
struct DeviceMatch {
    std::shared_ptr<PairedKey> key;
    std::string name;
};

/// The keys the daemon accepts, shared by every session. A HELLO is checked against each key
/// in turn; the list can be replaced while sessions run (SIGHUP), and sessions of keys that
/// are gone are told to end.
class DeviceKeys {
public:
    static constexpr size_t kMaxDevices = 64;

    /// Replay memory of each key goes to a file of its own in `stateFolder`; in memory only
    /// without one.
    explicit DeviceKeys(std::optional<std::filesystem::path> stateFolder);

    /// \brief Replaces the list; keys that stay keep their replay memory and sessions. Returns
    /// false when some key's replay memory could only be kept in memory.
    bool replace(const std::vector<DeviceEntry>& entries);

    /// \brief The device whose key made the MAC of a HELLO with this nonce, if any.
    std::optional<DeviceMatch> match(const HandshakeNonce& clientNonce,
                                     std::span<const uint8_t> mac) const;

    size_t size() const;

private:
    struct Listed {
        std::shared_ptr<PairedKey> key;
        std::string name;
    };
    using List = std::vector<Listed>;

    std::unique_ptr<ReplayGuard> makeReplayGuard(const std::string& key, bool& fileUsable) const;

    std::optional<std::filesystem::path> m_stateFolder;
    mutable std::mutex m_mutex;
    std::shared_ptr<const List> m_list; // replaced whole, so a match runs without the lock
};

/// \brief Reads the keys file into `devices`, saying in one line each what was refused or
/// left out. False, with `devices` unchanged, when the file itself was refused.
bool loadKeysFile(const std::filesystem::path& path, DeviceKeys& devices);

} // namespace pointrelay::core
