// SPDX-License-Identifier: MIT
#pragma once

#include "socket_lister.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pointrelay::app {

/// Answers the socket and process questions from Linux's /proc in-process: the socket tables
/// net/tcp and net/tcp6, the descriptor links <pid>/fd/* ("socket:[inode]") and <pid>/comm.
/// The listener description imitates a row of `lsof -nP`:
///   "<comm> <pid> <user> <fd>u IPv4 <inode> 0t0 TCP 127.0.0.1:9000 (LISTEN)"
/// A listening socket whose process cannot be seen (another user's, without privileges) is
/// still described, with "?" for the command, process identifier and descriptor: the port is
/// taken all the same.
class ProcSocketLister final : public SocketLister {
public:
    /// \a procRoot is where procfs is mounted; tests pass a folder laid out like it.
    explicit ProcSocketLister(const QString& procRoot = QStringLiteral("/proc"));

    std::optional<QString> describeListener(int port) const override;
    std::optional<qint32> listeningPID(int port) const override;
    std::optional<QString> processName(qint32 pid) const override;
    /// \brief The fourth field of <pid>/stat, after the command name in parentheses.
    std::optional<qint32> parentPID(qint32 pid) const override;
    /// \brief Rows of net/tcp and net/tcp6 whose local port is \a port and whose state is
    /// ESTABLISHED (01): each accepted connection counts once, whichever process holds it and
    /// wherever its peer is; a local client's own end (remote port = \a port) is not counted.
    std::optional<qint64> countEstablishedConnections(int port) const override;

    /// One row of the kernel's socket tables, as far as the questions need it.
    struct SocketRow {
        bool ipv6 = false;
        std::uint8_t localAddress[16] = {}; ///< network byte order; 4 bytes used for IPv4
        int localPort = 0;
        int state = 0;
        std::uint32_t uid = 0;
        std::uint64_t inode = 0;
    };

private:
    struct Owner {
        qint32 pid = 0;
        int fd = 0;
        std::uint64_t inode = 0;
    };

    /// Rows with this local port and state from both tables; nothing when neither is readable.
    std::optional<std::vector<SocketRow>> sockets(int port, int state) const;
    /// The lowest process (and within it the lowest descriptor) holding one of the rows.
    std::optional<Owner> firstOwner(const std::vector<SocketRow>& rows) const;

    std::string m_root;
};

} // namespace pointrelay::app
