// SPDX-License-Identifier: MIT
#include "device_keys.h"

#include "log.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pointrelay::core {
namespace {

// The shortest key listed; the keys the application makes have 64 characters.
constexpr size_t kMinKeyLength = 16;

std::string hexPrefix(const std::array<uint8_t, 32>& bytes, size_t count) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 0xF];
    }
    return out;
}

// The whole file, or nothing when it is not a private regular file of this user's.
KeysFile::Problem readPrivateFile(const std::filesystem::path& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return KeysFile::Problem::unreadable;
    struct stat info {};
    KeysFile::Problem problem = KeysFile::Problem::none;
    if (::fstat(fd, &info) != 0)
        problem = KeysFile::Problem::unreadable;
    else if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0)
        problem = KeysFile::Problem::notPrivate;
    else if (static_cast<size_t>(info.st_size) > KeysFile::kMaxKeysFileBytes)
        problem = KeysFile::Problem::tooLarge;
    char chunk[4096];
    while (problem == KeysFile::Problem::none) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            problem = KeysFile::Problem::unreadable;
        if (n <= 0)
            break;
        text.append(chunk, static_cast<size_t>(n));
        if (text.size() > KeysFile::kMaxKeysFileBytes) // grew while being read
            problem = KeysFile::Problem::tooLarge;
    }
    ::close(fd);
    return problem;
}

} // namespace

KeysFile readKeysFile(const std::filesystem::path& path) {
    KeysFile file;
    std::string text;
    file.problem = readPrivateFile(path, text);
    if (file.problem != KeysFile::Problem::none)
        return file;
    size_t lineNumber = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            continue;
        const size_t space = line.find(' ');
        const std::string_view key = line.substr(0, space);
        if (key.size() < kMinKeyLength || key.find('\t') != std::string_view::npos) {
            file.badLines.push_back(lineNumber);
            continue;
        }
        const bool repeated = std::ranges::any_of(
            file.entries, [&](const DeviceEntry& entry) { return entry.key == key; });
        if (repeated)
            continue;
        if (file.entries.size() == DeviceKeys::kMaxDevices) {
            file.overLimit = true;
            break;
        }
        const std::string_view name =
            space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
        file.entries.push_back({std::string(key), std::string(name)});
    }
    return file;
}

std::string deviceLabel(std::string_view name) {
    std::string out;
    size_t from = 0;
    for (size_t at = name.find('\\'); at != std::string_view::npos; at = name.find('\\', from)) {
        out += escapeForLog(name.substr(from, at - from));
        out += "\\x5C";
        from = at + 1;
    }
    return out + escapeForLog(name.substr(from));
}

PairedKey::PairedKey(std::string key, std::unique_ptr<ReplayGuard> replay)
    : m_key(std::move(key)), m_macKey(crypto::asBytes(m_key)), m_replay(std::move(replay)) {
    if (::pipe2(m_revoked, O_CLOEXEC) != 0)
        m_revoked[0] = m_revoked[1] = -1;
}

PairedKey::~PairedKey() {
    for (const int fd : m_revoked) {
        if (fd >= 0)
            ::close(fd);
    }
}

void PairedKey::revoke() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_revoked[1], &byte, 1);
}

DeviceKeys::DeviceKeys(std::optional<std::filesystem::path> stateFolder)
    : m_stateFolder(std::move(stateFolder)), m_list(std::make_shared<const List>()) {}

std::unique_ptr<ReplayGuard> DeviceKeys::makeReplayGuard(const std::string& key,
                                                         bool& fileUsable) const {
    auto guard = std::make_unique<ReplayGuard>(key);
    if (!m_stateFolder) {
        fileUsable = false;
        return guard;
    }
    // Each key's set lives in a file named by its fingerprint. The set that a daemon of one
    // key kept goes on with that key's.
    const auto path = *m_stateFolder / ("replay-nonces-" + hexPrefix(guard->fingerprint(), 8));
    const auto single = *m_stateFolder / "replay-nonces";
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) &&
        ReplayGuard::fileBelongsTo(single, guard->fingerprint()))
        std::filesystem::rename(single, path, ec);
    if (!guard->attachFile(path))
        fileUsable = false;
    return guard;
}

bool DeviceKeys::replace(const std::vector<DeviceEntry>& entries) {
    std::shared_ptr<const List> before;
    {
        std::lock_guard lock(m_mutex);
        before = m_list;
    }
    auto after = std::make_shared<List>();
    bool filesUsable = true;
    for (const DeviceEntry& entry : entries) {
        const auto kept = std::ranges::find_if(
            *before, [&](const Listed& listed) { return listed.key->key() == entry.key; });
        auto key =
            kept != before->end()
                ? kept->key
                : std::make_shared<PairedKey>(entry.key, makeReplayGuard(entry.key, filesUsable));
        after->push_back({std::move(key), entry.name});
    }
    {
        std::lock_guard lock(m_mutex);
        m_list = std::move(after);
    }
    for (const Listed& listed : *before) {
        const bool stays = std::ranges::any_of(
            entries, [&](const DeviceEntry& entry) { return entry.key == listed.key->key(); });
        if (!stays)
            listed.key->revoke();
    }
    return filesUsable;
}

std::optional<DeviceMatch> DeviceKeys::match(const HandshakeNonce& clientNonce,
                                             std::span<const uint8_t> mac) const {
    std::shared_ptr<const List> list;
    {
        std::lock_guard lock(m_mutex);
        list = m_list;
    }
    for (const Listed& listed : *list) {
        if (helloMacMatches(listed.key->macKey(), clientNonce, mac))
            return DeviceMatch{listed.key, listed.name};
    }
    return std::nullopt;
}

size_t DeviceKeys::size() const {
    std::lock_guard lock(m_mutex);
    return m_list->size();
}

bool loadKeysFile(const std::filesystem::path& path, DeviceKeys& devices) {
    const KeysFile file = readKeysFile(path);
    switch (file.problem) {
    case KeysFile::Problem::none:
        break;
    case KeysFile::Problem::unreadable:
        logLine("Keys file cannot be read: " + escapeForLog(path.string()));
        return false;
    case KeysFile::Problem::notPrivate:
        logLine("Keys file must be a regular file readable by its owner only: " +
                escapeForLog(path.string()));
        return false;
    case KeysFile::Problem::tooLarge:
        logLine("Keys file is larger than 64 KiB: " + escapeForLog(path.string()));
        return false;
    }
    for (const size_t line : file.badLines)
        logLine("Keys file line " + std::to_string(line) +
                " ignored: not a key of at least 16 characters, a space and a name");
    if (file.overLimit)
        logLine("Keys file lists more than 64 devices: the first 64 are used");
    if (!devices.replace(file.entries))
        logLine(ReplayGuard::kMemoryOnlyMessage);
    return true;
}

} // namespace pointrelay::core
