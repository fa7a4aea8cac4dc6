// SPDX-License-Identifier: MIT
#pragma once

// What the model and widget tests share: alerts that record what they show and answer the port
// question as told, a free port, a port held as another program would hold it, and a socket
// lister with fixed answers.

#include "model/alerts.h"
#include "model/port_check.h"

#include <QStringList>
#include <arpa/inet.h>
#include <unistd.h>

namespace pointrelay::test {

/// Each alert recorded as "kind: message / informative"; the question for another port
/// records the ports offered and is answered with `portAnswer`.
struct RecordingAlerts final : app::Alerts {
    void critical(const QString& a, const QString& b) override { add("critical", a, b); }
    void information(const QString& a, const QString& b) override { add("information", a, b); }
    void notify(const QString& a, const QString& b) override { add("notify", a, b); }
    std::optional<quint16> askAlternativePort(quint16, const QString&, const QList<quint16>& ports,
                                              app::PortUse) override {
        offered = ports;
        return portAnswer;
    }
    void add(const char* kind, const QString& a, const QString& b) {
        shown << kind + (": " + a) + " / " + b;
    }
    QStringList shown;
    QList<quint16> offered;
    std::optional<quint16> portAnswer;
};

/// A port in the settings' range that nothing listens on now, apart from other test processes'.
inline quint16 freePort() {
    quint16 port = 30000 + ::getpid() % 15000;
    while (!app::PortCheck::shared().canBindPort(port))
        ++port;
    return port;
}

/// A listener on 0.0.0.0 at a free port, as another program would hold it.
struct HeldPort {
    HeldPort() {
        sockaddr_in address{AF_INET, htons(port), {}, {}};
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd, 8);
    }
    ~HeldPort() { ::close(fd); }
    const quint16 port = freePort();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

/// A lister with fixed answers; `names` are given first, one per question.
struct FixedLister final : app::SocketLister {
    std::optional<QString> describeListener(int) const override { return description; }
    std::optional<qint32> listeningPID(int) const override { return pid; }
    std::optional<QString> processName(qint32 of) const override {
        return of == parent ? parentName : names.empty() ? name : names.takeFirst();
    }
    std::optional<qint32> parentPID(qint32) const override { return parent; }
    std::optional<qint64> countEstablishedConnections(int) const override { return 0; }
    std::optional<QString> description = "a listener", name = "pointrelayd", parentName;
    // Only PID 1 takes orphans: in a PID namespace PID 2 may well be a supervisor.
    std::optional<qint32> pid = 4242, parent = 2;
    mutable QStringList names;
};

} // namespace pointrelay::test
