// SPDX-License-Identifier: MIT
#include "server_process_manager.h"

#include "alerts.h"
#include "keys_file.h"
#include "port_check.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace pointrelay::app {

Q_LOGGING_CATEGORY(lcProcess, "pointrelay.process")

namespace {

constexpr auto kTerminateGrace = std::chrono::milliseconds(500);

void echoToStandardError(const QString& line) {
    const QByteArray text = "[pointrelayd] " + line.toUtf8() + "\n";
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
}

// Runs in the child between fork and exec. The daemon must never outlive its supervisor: a
// supervisor that is killed outright would leave it serving with nobody to stop it. On Linux
// the child asks for SIGTERM when its parent dies, then checks that the parent did not die
// before it asked. Elsewhere the supervisor's stop is the only way. The daemon also gets a
// process group of its own, so that a Ctrl-C in the supervisor's terminal reaches the
// supervisor alone, which decides when the daemon stops. SIGHUP (read the keys again) starts
// blocked: one sent before the daemon has its handler would end it; blocked, it waits until the
// daemon takes its signals.
void tetherToParent(pid_t parent) {
    ::setpgid(0, 0);
    sigset_t reload;
    sigemptyset(&reload);
    sigaddset(&reload, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &reload, nullptr);
#ifdef Q_OS_LINUX
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)
        ::_exit(1);
#else
    Q_UNUSED(parent);
#endif
}

} // namespace

ServerProcessManager::ServerProcessManager(QObject* parent)
    : QObject(parent),
      m_parser([this](const ServerState&) { publishLocked(); }, echoToStandardError,
               [this](const QString& name) {
                   QMetaObject::invokeMethod(
                       this, [this, name] { emit deviceSeen(name); }, Qt::QueuedConnection);
               }) {
    m_counter = [](quint16 port) { return PortCheck::shared().countEstablishedConnections(port); };
}

ServerProcessManager::~ServerProcessManager() {
    stopPoll();
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished();
    }
}

ServerProcessManager& ServerProcessManager::shared() {
    static ServerProcessManager* instance = new ServerProcessManager(); // lives for the process
    return *instance;
}

ServerState ServerProcessManager::state() const {
    std::lock_guard lock(m_stateMutex);
    return m_state;
}

// Called with m_stateMutex held: queues a snapshot for the GUI thread. Queued calls run in
// the order they were queued, so observers see the changes in order.
void ServerProcessManager::publishLocked() {
    const ServerState snapshot = m_state;
    QMetaObject::invokeMethod(
        this,
        [this, snapshot] {
            if (onStateChange)
                onStateChange(snapshot);
            std::erase_if(m_observers, [](const auto& entry) { return entry.first.isNull(); });
            for (const auto& [owner, observer] : std::vector(m_observers))
                if (owner)
                    observer(snapshot);
        },
        Qt::QueuedConnection);
}

template <typename Change>
void ServerProcessManager::update(Change change) {
    std::lock_guard lock(m_stateMutex);
    change(m_state);
    publishLocked();
}

void ServerProcessManager::observe(QObject* owner, StateObserver observer) {
    for (auto& entry : m_observers) {
        if (entry.first == owner) {
            entry.second = std::move(observer);
            return;
        }
    }
    m_observers.emplace_back(owner, std::move(observer));
}

QStringList ServerProcessManager::daemonArguments(int port, const QString& keysFile, bool bonjour,
                                                  int statMs) {
    // The keys go in a file of the user's: a command line is for every user to read.
    QStringList arguments{QStringLiteral("--port"), QString::number(port),
                          QStringLiteral("--keys-file"), keysFile};
    if (!bonjour)
        arguments << QStringLiteral("--no-mdns");
    if (statMs > 0)
        arguments << QStringLiteral("--stat-ms") << QString::number(statMs);
    return arguments;
}

QString ServerProcessManager::findDaemonExecutable() {
    if (!QCoreApplication::instance())
        return {};
    const QDir dir(QCoreApplication::applicationDirPath());
    for (const QString& candidate :
         {dir.filePath(QStringLiteral("pointrelayd")),
          dir.filePath(QStringLiteral("../libexec/pointrelayd")),
          dir.filePath(QStringLiteral("../../daemon/pointrelayd"))}) { // the build tree
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return info.canonicalFilePath();
    }
    return {};
}

void ServerProcessManager::reloadKeys(const QByteArray& keys) {
    const QString path = keysFilePath();
    if (QFileInfo::exists(path) && writeKeysFile(path, keys))
        reloadKeysReaders(path);
    emit keysReloaded();
}

void ServerProcessManager::start(int port, const QByteArray& keys, bool bonjour, int statMs) {
    stop(); // at most one daemon; this also publishes a stopped state

    const QString keysFile = keysFilePath();
    if (!writeKeysFile(keysFile, keys)) {
        if (m_alerts)
            m_alerts->critical(
                QCoreApplication::translate("ServerProcessManager", "鍵ファイルを書き込めません"),
                keysFile);
        return;
    }
    const QString program = m_daemonPath.isEmpty() ? findDaemonExecutable() : m_daemonPath;
    if (program.isEmpty() || !QFileInfo(program).isExecutable()) {
        if (m_alerts)
            m_alerts->critical(QStringLiteral("実行ファイルが見つかりません"),
                               QStringLiteral("ターゲットの Copy Files (Executables) に "
                                              "'pointrelayd' を追加してください。"));
        return;
    }

    auto* process = new QProcess(this);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setProgram(program);
    process->setArguments(daemonArguments(port, keysFile, bonjour, statMs));
    process->setChildProcessModifier([parent = ::getpid()] { tetherToParent(parent); });
    connect(process, &QProcess::readyReadStandardOutput, this, &ServerProcessManager::readOutput);
    connect(process, &QProcess::finished, this, &ServerProcessManager::onFinished);
    process->start();
    if (!process->waitForStarted()) {
        const QString reason = process->errorString();
        process->deleteLater();
        if (m_alerts)
            m_alerts->critical(QStringLiteral("起動に失敗しました"), reason);
        return;
    }
    m_process = process;
    m_stopping = false;
    setRunning(true, static_cast<quint16>(port), bonjour);
    startPoll(static_cast<quint16>(port));
}

void ServerProcessManager::stop() {
    if (QThread::currentThread() != thread()) {
        // The child belongs to the GUI thread; the quit sequence stops it from a worker while
        // the event loop keeps running.
        QMetaObject::invokeMethod(this, &ServerProcessManager::stop, Qt::BlockingQueuedConnection);
        return;
    }
    stopPoll();
    if (m_process) {
        m_stopping = true;
        QProcess* process = std::exchange(m_process, nullptr);
        process->disconnect(this);
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(static_cast<int>(kTerminateGrace.count()))) {
                ::kill(static_cast<pid_t>(process->processId()), SIGKILL);
                process->waitForFinished(-1);
            }
        }
        process->deleteLater();
    }
    setRunning(false);
}

// A new or ended daemon: counts and rates start again; the last line stays.
void ServerProcessManager::setRunning(bool running, quint16 port, bool advertised) {
    std::lock_guard lock(m_stateMutex);
    m_parser.reset();
    m_state.running = running;
    m_state.port = port;
    m_state.advertised = advertised;
    m_state.connectedClients = 0;
    m_state.moveFPS = 0;
    m_state.scrollFPS = 0;
    m_state.inControl.clear();
    publishLocked();
}

void ServerProcessManager::readOutput() {
    if (!m_process)
        return;
    const QByteArray chunk = m_process->readAllStandardOutput();
    std::lock_guard lock(m_stateMutex);
    m_parser.feed(chunk, m_state);
}

QString ServerProcessManager::describeExit(QProcess::ExitStatus status, int code) {
    // QProcess reports the signal that ended a crashed child as its exit code.
    if (status == QProcess::CrashExit)
        return QCoreApplication::translate("ServerProcessManager", "シグナル %1 (%2)")
            .arg(code)
            .arg(QString::fromLocal8Bit(::strsignal(code)));
    return QCoreApplication::translate("ServerProcessManager", "終了コード %1").arg(code);
}

void ServerProcessManager::onFinished() {
    // The daemon ended without being asked to (it crashed, or was killed from outside): show
    // it stopped, and tell the user, whose windows may all be closed, that phones can no
    // longer connect. It is not restarted: whatever ended it may end it again.
    if (m_stopping || !m_process)
        return;
    readOutput();
    const QString how = describeExit(m_process->exitStatus(), m_process->exitCode());
    qCWarning(lcProcess).noquote() << "pointrelayd exited unexpectedly:" << how;
    stopPoll();
    m_process->deleteLater();
    m_process = nullptr;
    setRunning(false);
    if (m_alerts)
        m_alerts->notify(
            QCoreApplication::translate("ServerProcessManager", "pointrelayd が停止しました"), how);
}

void ServerProcessManager::startPoll(quint16 port) {
    stopPoll();
    m_pollStop = false;
    m_poll = std::thread([this, port] {
        std::unique_lock lock(m_pollMutex);
        while (!m_pollWake.wait_for(lock, m_pollInterval, [this] { return m_pollStop; })) {
            lock.unlock();
            const auto count = m_counter ? m_counter(port) : std::nullopt;
            lock.lock();
            if (m_pollStop)
                break;
            if (count)
                update([&](ServerState& s) { s.connectedClients = std::max<qint64>(0, *count); });
        }
    });
}

void ServerProcessManager::stopPoll() {
    {
        std::lock_guard lock(m_pollMutex);
        m_pollStop = true;
    }
    m_pollWake.notify_all();
    if (m_poll.joinable())
        m_poll.join();
}

} // namespace pointrelay::app
