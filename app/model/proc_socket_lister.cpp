// SPDX-License-Identifier: MIT
#include "proc_socket_lister.h"

#include "file_descriptor.h"

#include <QFile>
#include <QStringDecoder>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <string_view>
#include <unistd.h>

namespace pointrelay::app {

namespace {

// Socket states as the kernel numbers them in net/tcp (include/net/tcp_states.h).
constexpr int kStateEstablished = 0x01;
constexpr int kStateListen = 0x0A;

// A table this large means something is wrong with what we read; refuse rather than hoard.
constexpr std::size_t kMaxTableBytes = 64u << 20;

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using Directory = std::unique_ptr<DIR, DirCloser>;

/// The whole file; procfs files report no size, so read until the end.
std::optional<std::string> readFile(const std::string& path, std::size_t limit) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            return content;
        }
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > limit) {
            return std::nullopt;
        }
    }
}

template <typename Number>
bool parseWhole(std::string_view text, Number& value, int base) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

/// Space-separated fields of a line, empty ones skipped.
std::vector<std::string_view> fields(std::string_view line, std::size_t wanted) {
    std::vector<std::string_view> result;
    std::size_t i = 0;
    while (i < line.size() && result.size() < wanted) {
        while (i < line.size() && line[i] == ' ') {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ') {
            ++i;
        }
        if (i > start) {
            result.push_back(line.substr(start, i - start));
        }
    }
    return result;
}

/// "0100007F:2328" (IPv4) or 32 hex digits and a port (IPv6). The kernel prints each 32-bit
/// word of the address as the host-order number of its in-memory bytes, so copying the parsed
/// word back into memory restores network byte order on any host.
bool parseEndpoint(std::string_view text, bool ipv6, ProcSocketLister::SocketRow& row) {
    const std::size_t colon = text.find(':');
    const std::size_t digits = ipv6 ? 32 : 8;
    if (colon != digits) {
        return false;
    }
    for (std::size_t word = 0; word < digits / 8; ++word) {
        std::uint32_t value = 0;
        if (!parseWhole(text.substr(word * 8, 8), value, 16)) {
            return false;
        }
        std::memcpy(row.localAddress + word * 4, &value, sizeof value);
    }
    return parseWhole(text.substr(colon + 1), row.localPort, 16) && row.localPort >= 0 &&
           row.localPort <= 65535;
}

/// "sl local rem st tx:rx tr:when retrnsmt uid timeout inode ..."; the header and anything
/// malformed give nothing.
std::optional<ProcSocketLister::SocketRow> parseRow(std::string_view line, bool ipv6) {
    const auto f = fields(line, 10);
    if (f.size() < 10) {
        return std::nullopt;
    }
    ProcSocketLister::SocketRow row;
    row.ipv6 = ipv6;
    if (!parseEndpoint(f[1], ipv6, row) || !parseWhole(f[3], row.state, 16) ||
        !parseWhole(f[7], row.uid, 10) || !parseWhole(f[9], row.inode, 10)) {
        return std::nullopt;
    }
    return row;
}

QString formatAddress(const ProcSocketLister::SocketRow& row) {
    const std::size_t length = row.ipv6 ? 16 : 4;
    if (std::all_of(row.localAddress, row.localAddress + length,
                    [](std::uint8_t b) { return b == 0; })) {
        return QStringLiteral("*");
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (!::inet_ntop(row.ipv6 ? AF_INET6 : AF_INET, row.localAddress, text, sizeof text)) {
        return QStringLiteral("?");
    }
    return row.ipv6 ? QStringLiteral("[%1]").arg(QLatin1String(text)) : QLatin1String(text);
}

QString userName(std::uint32_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[16384];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found) {
        return QString::fromLocal8Bit(found->pw_name);
    }
    return QString::number(uid);
}

/// The inode of a descriptor link "socket:[12345]".
std::optional<std::uint64_t> socketInode(std::string_view link) {
    constexpr std::string_view prefix = "socket:[";
    if (link.size() < prefix.size() + 2 || link.substr(0, prefix.size()) != prefix ||
        link.back() != ']') {
        return std::nullopt;
    }
    std::uint64_t inode = 0;
    if (!parseWhole(link.substr(prefix.size(), link.size() - prefix.size() - 1), inode, 10)) {
        return std::nullopt;
    }
    return inode;
}

} // namespace

ProcSocketLister::ProcSocketLister(const QString& procRoot)
    : m_root(QFile::encodeName(procRoot).toStdString()) {}

std::optional<std::vector<ProcSocketLister::SocketRow>> ProcSocketLister::sockets(int port,
                                                                                  int state) const {
    std::vector<SocketRow> rows;
    bool readable = false;
    for (const bool ipv6 : {false, true}) {
        const auto table = readFile(m_root + (ipv6 ? "/net/tcp6" : "/net/tcp"), kMaxTableBytes);
        if (!table) {
            continue; // net/tcp6 is missing when IPv6 is off
        }
        readable = true;
        std::string_view rest(*table);
        while (!rest.empty()) {
            const std::size_t end = rest.find('\n');
            const std::string_view line = rest.substr(0, end);
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
            const auto row = parseRow(line, ipv6);
            if (row && row->localPort == port && row->state == state) {
                rows.push_back(*row);
            }
        }
    }
    if (!readable) {
        qCDebug(lcPortCheck) << "no readable socket table under" << m_root.c_str();
        return std::nullopt;
    }
    return rows;
}

std::optional<ProcSocketLister::Owner>
ProcSocketLister::firstOwner(const std::vector<SocketRow>& rows) const {
    std::vector<std::uint64_t> inodes;
    for (const SocketRow& row : rows) {
        if (row.inode != 0) {
            inodes.push_back(row.inode);
        }
    }
    if (inodes.empty()) {
        return std::nullopt;
    }
    std::vector<qint32> pids;
    {
        const Directory proc(::opendir(m_root.c_str()));
        if (!proc) {
            return std::nullopt;
        }
        while (const dirent* entry = ::readdir(proc.get())) {
            qint32 pid = 0;
            if (parseWhole(std::string_view(entry->d_name), pid, 10) && pid > 0) {
                pids.push_back(pid);
            }
        }
    }
    std::sort(pids.begin(), pids.end());
    for (const qint32 pid : pids) {
        // Other users' descriptors are unreadable without privileges, and processes come and
        // go while we look: both simply do not count.
        const Directory fds(::opendir((m_root + "/" + std::to_string(pid) + "/fd").c_str()));
        if (!fds) {
            continue;
        }
        std::optional<Owner> best;
        while (const dirent* entry = ::readdir(fds.get())) {
            int fd = 0;
            if (!parseWhole(std::string_view(entry->d_name), fd, 10)) {
                continue;
            }
            char link[64];
            const ssize_t n = ::readlinkat(::dirfd(fds.get()), entry->d_name, link, sizeof link);
            if (n <= 0 || n == static_cast<ssize_t>(sizeof link)) {
                continue;
            }
            const auto inode = socketInode(std::string_view(link, static_cast<std::size_t>(n)));
            if (inode && std::find(inodes.begin(), inodes.end(), *inode) != inodes.end() &&
                (!best || fd < best->fd)) {
                best = Owner{pid, fd, *inode};
            }
        }
        if (best) {
            return best;
        }
    }
    return std::nullopt;
}

std::optional<QString> ProcSocketLister::describeListener(int port) const {
    if (!isListablePort(port)) {
        return std::nullopt;
    }
    const auto rows = sockets(port, kStateListen);
    if (!rows || rows->empty()) {
        return std::nullopt;
    }
    const auto owner = firstOwner(*rows);
    const SocketRow& row =
        owner ? *std::find_if(rows->begin(), rows->end(),
                              [&](const SocketRow& r) { return r.inode == owner->inode; })
              : rows->front();
    const QString unknown = QStringLiteral("?");
    const QString command = owner ? processName(owner->pid).value_or(unknown) : unknown;
    return QStringLiteral("%1 %2 %3 %4 %5 %6 0t0 TCP %7:%8 (LISTEN)")
        .arg(command.isEmpty() ? unknown : command, owner ? QString::number(owner->pid) : unknown,
             userName(row.uid), owner ? QStringLiteral("%1u").arg(owner->fd) : unknown,
             row.ipv6 ? QStringLiteral("IPv6") : QStringLiteral("IPv4"), QString::number(row.inode),
             formatAddress(row), QString::number(port));
}

std::optional<qint32> ProcSocketLister::listeningPID(int port) const {
    if (!isListablePort(port)) {
        return std::nullopt;
    }
    const auto rows = sockets(port, kStateListen);
    if (!rows || rows->empty()) {
        return std::nullopt;
    }
    const auto owner = firstOwner(*rows);
    return owner ? std::optional<qint32>(owner->pid) : std::nullopt;
}

std::optional<QString> ProcSocketLister::processName(qint32 pid) const {
    if (pid <= 0) {
        return std::nullopt;
    }
    const auto comm = readFile(m_root + "/" + std::to_string(pid) + "/comm", 4096);
    if (!comm) {
        return std::nullopt;
    }
    QStringDecoder decoder(QStringConverter::Utf8);
    const QString text = decoder(QByteArrayView(comm->data(), qsizetype(comm->size())));
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return text.trimmed();
}

std::optional<qint32> ProcSocketLister::parentPID(qint32 pid) const {
    if (pid <= 0) {
        return std::nullopt;
    }
    const auto stat = readFile(m_root + "/" + std::to_string(pid) + "/stat", 4096);
    // "pid (comm) state ppid ...": the command name may hold blanks and parentheses, so the
    // fields after it are found from its last ')'.
    const std::size_t close = stat ? stat->rfind(')') : std::string::npos;
    if (close == std::string::npos) {
        return std::nullopt;
    }
    const auto f = fields(std::string_view(*stat).substr(close + 1), 2);
    qint32 parent = 0;
    if (f.size() < 2 || !parseWhole(f[1], parent, 10)) {
        return std::nullopt;
    }
    return parent;
}

std::optional<qint64> ProcSocketLister::countEstablishedConnections(int port) const {
    if (!isListablePort(port)) {
        return std::nullopt;
    }
    const auto rows = sockets(port, kStateEstablished);
    if (!rows) {
        return std::nullopt;
    }
    return static_cast<qint64>(rows->size());
}

} // namespace pointrelay::app
