// SPDX-License-Identifier: MIT
#pragma once

#include "socket_lister.h"

#include <QList>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace pointrelay::app {

/// Whether a TCP port is free for the daemon, who holds it if not, and whether the holder is a
/// stale copy of our own daemon that may be stopped. Stateless: every operation asks the system
/// afresh and may block for about a second; callable from any thread.
class PortCheck {
public:
    /// Only a process whose command name begins with this is ever signalled: the first nine
    /// characters of "pointrelayd" (lsof's command column is nine characters wide).
    static constexpr const char* kDaemonNamePrefix = "pointrela";
    /// The range the start path and the suggestions work in.
    static constexpr int kLowestPort = 1024;
    static constexpr int kHighestPort = 49151;
    /// The pause between the rounds of `waitForPortFree`.
    static constexpr std::chrono::milliseconds kPollInterval{50};

    /// Sends a signal to a process; returns what kill(2) returns. Replaceable for tests.
    using SignalSender = std::function<int(qint32 pid, int signal)>;

    explicit PortCheck(std::shared_ptr<const SocketLister> lister = SocketLister::system());

    /// The instance the application shares, on the system's lister.
    static const PortCheck& shared();

    /// \brief Whether an IPv4 TCP socket with SO_REUSEADDR binds to 0.0.0.0:port just now.
    /// False for a port outside 0 to 65535.
    bool canBindPort(int port) const;
    /// \brief True once the port binds and no process shows a listening socket on it; polls
    /// every 50 ms until the time-out, then checks once more (a time-out of 0 only checks).
    bool waitForPortFree(int port, std::chrono::duration<double> timeout) const;
    /// \brief The first listening socket on the port as the lister prints it.
    std::optional<QString> describeListener(int port) const;
    /// \brief Who listens on the port, for people: "NAME (PID N)" from the lister's first two
    /// columns, or \a unknown when nobody can be seen listening.
    QString describeHolder(int port, const QString& unknown) const;
    std::optional<qint32> listeningPID(int port) const;
    std::optional<QString> processName(qint32 pid) const;
    std::optional<qint32> parentPID(qint32 pid) const;
    /// \brief Stops the process listening on the port when its name begins with "pointrela"
    /// and nothing supervises it any more (its parent is not a live PointrelayServer or
    /// pointrelay): SIGTERM, the grace period, SIGKILL if the port is still listened on, then
    /// a wait of up to one second for the port. True when such a daemon was found and
    /// signalled. A supervised daemon is a running Pointrelay and is left alone.
    bool killStaleDaemon(int port, std::chrono::microseconds grace) const;
    /// \brief Up to \a count ports that bind now: upwards from port + 1 to 49151 first, then
    /// downwards from port − 1 to 1024. The port is first clamped into 1024 to 49151.
    QList<quint16> suggestFreePorts(int port, int count) const;
    /// \brief Established connections on the port (the daemon's poll of its clients).
    std::optional<qint64> countEstablishedConnections(int port) const;

    /// Whether a command name is that of our own daemon.
    static bool isOwnDaemonName(const QString& name);
    /// Whether a command name is that of one of our supervising programs (PointrelayServer,
    /// whose name the kernel cuts to 15 characters, or pointrelay).
    static bool isSupervisorName(const QString& name);

    void setSignalSender(SignalSender sender) { m_sendSignal = std::move(sender); }
    const SocketLister& lister() const { return *m_lister; }

private:
    std::shared_ptr<const SocketLister> m_lister;
    SignalSender m_sendSignal;
};

} // namespace pointrelay::app
