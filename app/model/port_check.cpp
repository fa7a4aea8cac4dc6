// SPDX-License-Identifier: MIT
#include "port_check.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace pointrelay::app {

Q_LOGGING_CATEGORY(lcPortCheck, "pointrelay.portcheck", QtInfoMsg)

namespace {

enum class BindResult { bound, refused, noSocket };

/// An IPv4 stream socket, close-on-exec: a daemon started meanwhile on another thread must not
/// inherit it (and hold the port we are testing).
int openStreamSocket() {
#ifdef SOCK_CLOEXEC
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    return fd;
#endif
}

BindResult tryBind(int port) {
    if (port < 0 || port > 65535) {
        return BindResult::refused; // htons would silently wrap it onto another port
    }
    const int fd = openStreamSocket();
    if (fd < 0) {
        return BindResult::noSocket;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const int rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::close(fd);
    return rc == 0 ? BindResult::bound : BindResult::refused;
}

} // namespace

PortCheck::PortCheck(std::shared_ptr<const SocketLister> lister)
    : m_lister(std::move(lister)),
      m_sendSignal([](qint32 pid, int signal) { return ::kill(pid, signal); }) {}

const PortCheck& PortCheck::shared() {
    static const PortCheck instance;
    return instance;
}

bool PortCheck::canBindPort(int port) const {
    return tryBind(port) == BindResult::bound;
}

bool PortCheck::waitForPortFree(int port, std::chrono::duration<double> timeout) const {
    using Clock = std::chrono::steady_clock;
    // Bound the time-out so that an absurd value (NaN, infinity, years) cannot overflow the
    // deadline; a day is far beyond any caller's wait.
    double seconds = timeout.count();
    seconds = seconds > 0.0 ? std::min(seconds, 86400.0) : 0.0;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    while (Clock::now() < deadline) {
        // A socket that cannot be opened says nothing about the port: keep polling.
        const BindResult bound = tryBind(port);
        if (bound == BindResult::bound && !describeListener(port)) {
            return true;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return canBindPort(port) && !describeListener(port);
}

std::optional<QString> PortCheck::describeListener(int port) const {
    return m_lister->describeListener(port);
}

QString PortCheck::describeHolder(int port, const QString& unknown) const {
    const QStringList columns =
        describeListener(port).value_or(QString()).split(u' ', Qt::SkipEmptyParts);
    if (columns.size() < 2)
        return unknown;
    bool isNumber = false;
    columns[1].toInt(&isNumber);
    return isNumber ? QStringLiteral("%1 (PID %2)").arg(columns[0], columns[1]) : columns[0];
}

std::optional<qint32> PortCheck::listeningPID(int port) const {
    return m_lister->listeningPID(port);
}

std::optional<QString> PortCheck::processName(qint32 pid) const {
    return m_lister->processName(pid);
}

std::optional<qint32> PortCheck::parentPID(qint32 pid) const {
    return m_lister->parentPID(pid);
}

bool PortCheck::isOwnDaemonName(const QString& name) {
    return name.startsWith(QLatin1String(kDaemonNamePrefix), Qt::CaseSensitive);
}

bool PortCheck::isSupervisorName(const QString& name) {
    const QString program = name.section(QLatin1Char('/'), -1); // ps may print a path
    return program.startsWith(QLatin1String("PointrelayServe")) ||
           program == QLatin1String("pointrelay");
}

bool PortCheck::killStaleDaemon(int port, std::chrono::microseconds grace) const {
    const auto pid = listeningPID(port);
    // kill(2) reads 0 as our own process group and -1 as every process we may signal; and we
    // never stop ourselves.
    if (!pid || *pid <= 0 || *pid == ::getpid()) {
        return false;
    }
    const auto name = processName(*pid);
    if (!name || !isOwnDaemonName(*name)) {
        return false; // another program holds the port: leave it alone
    }
    // A daemon is stale only when its supervisor is gone (it was handed to init or a
    // subreaper) or it was never ours. One that a live PointrelayServer or pointrelay still
    // supervises serves that program's phones; a parent we cannot see counts as live.
    const auto parent = parentPID(*pid);
    const auto parentName = parent && *parent > 1 ? processName(*parent) : std::nullopt;
    if (!parent || (*parent > 1 && (!parentName || isSupervisorName(*parentName)))) {
        qCInfo(lcPortCheck) << *name << *pid << "on port" << port << "is supervised by"
                            << parentName.value_or(QStringLiteral("?")) << parent.value_or(0);
        return false;
    }
    qCInfo(lcPortCheck) << "stopping stale" << *name << *pid << "on port" << port;
    m_sendSignal(*pid, SIGTERM);
    std::this_thread::sleep_for(std::max(grace, std::chrono::microseconds::zero()));
    if (describeListener(port)) {
        // The identifier may have been reused since SIGTERM; only our daemon is ever killed.
        const auto nameNow = processName(*pid);
        if (nameNow && isOwnDaemonName(*nameNow)) {
            m_sendSignal(*pid, SIGKILL);
        }
    }
    waitForPortFree(port, std::chrono::duration<double>(1.0));
    return true;
}

QList<quint16> PortCheck::suggestFreePorts(int port, int count) const {
    QList<quint16> found;
    if (count <= 0) {
        return found;
    }
    port = std::clamp(port, kLowestPort, kHighestPort);
    for (int candidate = port + 1; candidate <= kHighestPort; ++candidate) {
        if (canBindPort(candidate)) {
            found.append(static_cast<quint16>(candidate));
            if (found.size() == count) {
                return found;
            }
        }
    }
    for (int candidate = port - 1; candidate >= kLowestPort; --candidate) {
        if (canBindPort(candidate)) {
            found.append(static_cast<quint16>(candidate));
            if (found.size() == count) {
                return found;
            }
        }
    }
    return found;
}

std::optional<qint64> PortCheck::countEstablishedConnections(int port) const {
    return m_lister->countEstablishedConnections(port);
}

} // namespace pointrelay::app
