// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QtGlobal>
#include <memory>
#include <optional>

namespace pointrelay::app {

Q_DECLARE_LOGGING_CATEGORY(lcPortCheck)

/// The questions the port check puts to the operating system about TCP sockets and processes.
/// Every answer is a fresh snapshot and nothing is kept between calls, so one instance may
/// serve several threads (the GUI thread's start path, the connection poll, the quit sequence).
class SocketLister {
public:
    virtual ~SocketLister() = default;

    /// \brief One line about the first listening TCP socket on the port, in the lister's own
    /// format (not trimmed); nothing when no listening socket is shown.
    virtual std::optional<QString> describeListener(int port) const = 0;
    /// \brief A process that listens on the port (the lowest process identifier shown).
    virtual std::optional<qint32> listeningPID(int port) const = 0;
    /// \brief The process's command name, trimmed; nothing when the process cannot be asked.
    virtual std::optional<QString> processName(qint32 pid) const = 0;
    /// \brief The process's parent; nothing when the process cannot be asked.
    virtual std::optional<qint32> parentPID(qint32 pid) const = 0;
    /// \brief Established TCP connections on the port; nothing when the lister cannot answer.
    virtual std::optional<qint64> countEstablishedConnections(int port) const = 0;

    /// The lister that answers best on this system: /proc on Linux, lsof and ps elsewhere
    /// (and on a Linux without a readable /proc).
    static std::shared_ptr<const SocketLister> system();
};

/// True for a TCP port number a socket can carry (1 to 65535).
constexpr bool isListablePort(int port) {
    return port > 0 && port <= 65535;
}

} // namespace pointrelay::app
