// SPDX-License-Identifier: MIT
#pragma once

#include "daemon_output_parser.h"
#include "server_state.h"

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace pointrelay::app {

class Alerts;

/// The application's one owner of the pointrelayd child: starts it with the settings'
/// options, reads its merged output into a ServerState, polls the established connections on
/// its port once a second off the GUI thread, and stops it (SIGTERM, SIGKILL after 0.5 s).
/// Every change of the state reaches `onStateChange` as a queued call on the GUI thread, in
/// the order the changes happened.
class ServerProcessManager : public QObject {
    Q_OBJECT
public:
    /// Counts established connections on a port; nothing when the count cannot be had.
    using ConnectionCounter = std::function<std::optional<qint64>(quint16 port)>;

    explicit ServerProcessManager(QObject* parent = nullptr);
    ~ServerProcessManager() override;

    /// The instance the application shares; created on first use on the GUI thread.
    static ServerProcessManager& shared();

    using StateObserver = std::function<void(const ServerState&)>;

    /// Called on the GUI thread with a snapshot after every change.
    StateObserver onStateChange;
    /// Further observers, one per owner (a second call for the same owner replaces its
    /// observer); each is dropped when its owner is destroyed. Every settings model watches
    /// the one daemon this way, so none of them goes stale when another one starts it.
    void observe(QObject* owner, StateObserver observer);

    /// \brief Writes `keys` (DeviceList::keysFileText) to the keys file and starts the daemon on
    /// it.
    void start(int port, const QByteArray& keys, bool bonjour, int statMs);
    /// \brief Rewrites the keys file, where a daemon may read it, and has every daemon that
    /// reads it read it again (which ends the sessions of keys no longer listed).
    void reloadKeys(const QByteArray& keys);
    /// Ends the child and waits for it; callable from any thread.
    void stop();

    ServerState state() const;
    /// The arguments `start` passes to the daemon.
    static QStringList daemonArguments(int port, const QString& keysFile, bool bonjour, int statMs);
    /// \brief How a daemon ended, for the user: "終了コード N" or "シグナル N (name)".
    static QString describeExit(QProcess::ExitStatus status, int code);
    /// pointrelayd next to this program, or in ../libexec; empty when there is none.
    static QString findDaemonExecutable();

    void setAlerts(Alerts* alerts) { m_alerts = alerts; }
    /// Overrides the executable found next to the application (tests, development runs).
    void setDaemonPath(const QString& path) { m_daemonPath = path; }
    void setConnectionCounter(ConnectionCounter counter) { m_counter = std::move(counter); }
    void setPollInterval(std::chrono::milliseconds interval) { m_pollInterval = interval; }

signals:
    /// A device completed its handshake (its name as the daemon logs it); on the GUI thread.
    void deviceSeen(const QString& name);
    /// The keys were changed through `reloadKeys`, by whichever model.
    void keysReloaded();

private:
    void readOutput();
    void onFinished();
    void startPoll(quint16 port);
    void stopPoll();
    void setRunning(bool running, quint16 port = 0, bool advertised = false);
    void publishLocked();
    template <typename Change>
    void update(Change change);

    std::vector<std::pair<QPointer<QObject>, StateObserver>> m_observers; // GUI thread only
    Alerts* m_alerts = nullptr;
    QString m_daemonPath;
    ConnectionCounter m_counter;
    std::chrono::milliseconds m_pollInterval{1000};

    QProcess* m_process = nullptr; // owned (child QObject), lives on the GUI thread
    bool m_stopping = false;
    mutable std::mutex m_stateMutex; // the output, the poll and the caller all change it
    ServerState m_state;
    DaemonOutputParser m_parser;

    std::mutex m_pollMutex;
    std::condition_variable m_pollWake;
    bool m_pollStop = false;
    std::thread m_poll;
};

} // namespace pointrelay::app
