// SPDX-License-Identifier: MIT
#include "replay_guard.h"

#include "core/crypto/hmac_sha256.h"
#include "log.h"
#include "state_folder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pointrelay::core {
namespace {

// File layout: 8-byte magic, 32-byte key fingerprint, then 16-byte nonces, oldest first.
constexpr char kFileMagic[8] = {'P', 'R', 'L', 'Y', 'R', 'P', 'G', '1'};
constexpr size_t kHeaderSize = sizeof kFileMagic + 32;

bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> readWholeFile(int fd) {
    std::vector<uint8_t> data;
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.insert(data.end(), chunk, chunk + n);
    }
    return data;
}

} // namespace

size_t ReplayGuard::NonceHash::operator()(const HandshakeNonce& n) const {
    uint64_t a, b;
    std::memcpy(&a, n.data(), 8);
    std::memcpy(&b, n.data() + 8, 8);
    return std::hash<uint64_t>{}(a ^ (b * 0x9E3779B97F4A7C15ull));
}

ReplayGuard::ReplayGuard(std::string_view psk, size_t capacity) : m_capacity(capacity) {
    // A keyed fingerprint: the file tells which key it belongs to without revealing it.
    m_fingerprint = crypto::hmacSha256(crypto::asBytes(psk), {crypto::asBytes("PRLY:replay-set")});
}

ReplayGuard::~ReplayGuard() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<std::filesystem::path> ReplayGuard::defaultPath() {
    const auto folder = stateFolder();
    return folder ? std::optional(*folder / "replay-nonces") : std::nullopt;
}

bool ReplayGuard::fileBelongsTo(const std::filesystem::path& path,
                                const std::array<uint8_t, 32>& fingerprint) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    uint8_t header[kHeaderSize];
    const bool read = ::read(fd, header, sizeof header) == static_cast<ssize_t>(sizeof header);
    ::close(fd);
    return read && std::memcmp(header, kFileMagic, sizeof kFileMagic) == 0 &&
           std::memcmp(header + sizeof kFileMagic, fingerprint.data(), fingerprint.size()) == 0;
}

bool ReplayGuard::attachFile(const std::filesystem::path& path) {
    std::lock_guard lock(m_mutex);
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec)
        return false;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::fchmod(fd, 0600); // an older file with looser bits is tightened

    const std::vector<uint8_t> data = readWholeFile(fd);
    const bool ours = data.size() >= kHeaderSize &&
                      std::memcmp(data.data(), kFileMagic, sizeof kFileMagic) == 0 &&
                      std::memcmp(data.data() + sizeof kFileMagic, m_fingerprint.data(), 32) == 0;
    m_fd = fd;
    m_path = path;
    if (!ours) // another key, or not our file: a new key starts a new set
        return rewriteLocked();

    const size_t records = (data.size() - kHeaderSize) / kNonceSize;
    const size_t first = records > m_capacity ? records - m_capacity : 0;
    for (size_t i = first; i < records; ++i) {
        HandshakeNonce nonce;
        std::memcpy(nonce.data(), data.data() + kHeaderSize + i * kNonceSize, kNonceSize);
        rememberLocked(nonce);
    }
    m_recordsInFile = records;
    // A torn last record (a crash mid-write) or an oversized file is rewritten whole.
    if (first > 0 || data.size() != kHeaderSize + records * kNonceSize)
        return rewriteLocked();
    return true;
}

void ReplayGuard::rememberLocked(const HandshakeNonce& nonce) {
    if (!m_seen.insert(nonce).second)
        return;
    m_order.push_back(nonce);
    if (m_order.size() > m_capacity) {
        m_seen.erase(m_order.front());
        m_order.pop_front();
    }
}

bool ReplayGuard::appendLocked(const HandshakeNonce& nonce) {
    if (!writeAll(m_fd, nonce.data(), nonce.size()))
        return false;
    // The file may hold up to twice the kept nonces before it is compacted, so rewrites stay
    // rare however many handshakes arrive.
    if (++m_recordsInFile >= 2 * m_capacity)
        return rewriteLocked();
    return true;
}

bool ReplayGuard::rewriteLocked() {
    // Write a fresh file beside the old one and rename it over, so a crash leaves either.
    const std::filesystem::path tmp = m_path.string() + ".new";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        dropFileLocked();
        return false;
    }
    std::vector<uint8_t> data(kFileMagic, kFileMagic + sizeof kFileMagic);
    data.insert(data.end(), m_fingerprint.begin(), m_fingerprint.end());
    for (const auto& nonce : m_order)
        data.insert(data.end(), nonce.begin(), nonce.end());
    const bool written = writeAll(fd, data.data(), data.size()) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(tmp.c_str(), m_path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        dropFileLocked();
        return false;
    }
    const int reopened = ::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (reopened < 0) {
        dropFileLocked();
        return false;
    }
    ::close(m_fd);
    m_fd = reopened;
    m_recordsInFile = m_order.size();
    return true;
}

void ReplayGuard::dropFileLocked() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool ReplayGuard::admit(const HandshakeNonce& nonce) {
    std::lock_guard lock(m_mutex);
    if (m_seen.contains(nonce))
        return false;
    rememberLocked(nonce);
    if (m_fd >= 0 && !appendLocked(nonce)) {
        dropFileLocked();
        logLine(kMemoryOnlyMessage);
    }
    return true;
}

size_t ReplayGuard::size() const {
    std::lock_guard lock(m_mutex);
    return m_seen.size();
}

} // namespace pointrelay::core
