// SPDX-License-Identifier: MIT
#pragma once

// Shared pieces of the widget tests: a private home, a model on its own files with a scripted
// port lister, alerts answered by the test, held and free ports, screenshots, QR decoding.

#include "model/alerts.h"
#include "model/app_state.h"
#include "model/file_psk_store.h"
#include "model/keychain_psk.h"
#include "model/port_check.h"
#include "model/preferences.h"
#include "model/server_process_manager.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pointrelay::test {

/// A home of its own, offscreen, away from the user's keyring: called before the application
/// object exists.
inline void prepareUiTestEnvironment() {
    static QTemporaryDir home; // lives until the process ends
    qputenv("HOME", home.path().toUtf8());
    for (const char* name :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"})
        qputenv(name, QDir(home.path()).filePath(name).toUtf8());
    qunsetenv("DBUS_SESSION_BUS_ADDRESS"); // the key store falls back to its file
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
}

#define POINTRELAY_UI_TEST_MAIN(TestClass)                                                         \
    int main(int argc, char** argv) {                                                              \
        pointrelay::test::prepareUiTestEnvironment();                                              \
        QApplication application(argc, argv);                                                      \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }

/// Alerts answered by the test; each is recorded as "kind: message / informative".
class RecordingAlerts final : public app::Alerts {
public:
    void critical(const QString& message, const QString& informative) override {
        shown << "critical: " + message + " / " + informative;
    }
    void information(const QString& message, const QString& informative) override {
        shown << "information: " + message + " / " + informative;
    }
    void notify(const QString& title, const QString& message) override {
        shown << "notify: " + title + " / " + message;
    }
    std::optional<quint16> askAlternativePort(quint16 port, const QString&,
                                              const QList<quint16>&) override {
        shown << "askAlternativePort: " + QString::number(port);
        return std::nullopt;
    }
    QStringList shown;
};

/// A lister that names a port's listener as the test says.
class ScriptedLister final : public app::SocketLister {
public:
    std::optional<QString> describeListener(int) const override { return description; }
    std::optional<qint32> listeningPID(int) const override { return std::nullopt; }
    std::optional<QString> processName(qint32) const override { return std::nullopt; }
    std::optional<qint32> parentPID(qint32) const override { return std::nullopt; }
    std::optional<qint64> countEstablishedConnections(int) const override { return 0; }
    std::optional<QString> description;
};

/// A settings model on its own preferences and key files, a scripted lister (binding is still
/// tried for real) and its own process manager.
struct TestModel {
    TestModel()
        : preferences(dir.filePath("prefs.json")),
          keys("test", "psk", std::make_shared<app::FilePskStore>(dir.filePath("keys"))),
          ports(lister), state(preferences, keys, ports, manager, &alerts) {
        manager.setAlerts(&alerts);
        manager.setDaemonPath(POINTRELAYD_PATH);
    }
    ~TestModel() { manager.stop(); }

    /// \brief A stand-in daemon that appends its arguments to a file, one line per start, and
    /// then waits to be stopped. Returns the file.
    QString useStandInDaemon() {
        const QString script = dir.filePath("pointrelayd"), log = dir.filePath("arguments");
        QFile file(script);
        file.open(QIODevice::WriteOnly);
        file.write(
            QStringLiteral("#!/bin/sh\necho \"$*\" >> '%1'\nexec sleep 60\n").arg(log).toUtf8());
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        manager.setDaemonPath(script);
        return log;
    }

    QTemporaryDir dir;
    std::shared_ptr<ScriptedLister> lister = std::make_shared<ScriptedLister>();
    app::Preferences preferences;
    app::KeychainPSK keys;
    app::PortCheck ports;
    app::ServerProcessManager manager;
    RecordingAlerts alerts;
    app::AppState state;
};

inline QStringList readLines(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

/// A five-digit port in the settings' range that nothing listens on now.
inline quint16 freePort() {
    quint16 port = 36000 + ::getpid() % 5000;
    while (!app::PortCheck::shared().canBindPort(port))
        ++port;
    return port;
}

/// A listening socket on 0.0.0.0 at a free port (`port()` is 0 when none could be held).
class HeldPort {
public:
    HeldPort() : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(freePort());
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(m_fd, 1) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~HeldPort() { ::close(m_fd); }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;
    quint16 port() const { return m_port; }

private:
    int m_fd;
    quint16 m_port = 0;
};

template <typename T = QPushButton>
T* child(QWidget* root, const char* name) {
    T* found = root->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no %s", name);
    return found;
}

/// \brief Saves the widget as SCREENSHOT_DIR/<name>.png; returns the path, empty on failure.
inline QString saveScreenshot(QWidget* widget, const QString& name) {
    QCoreApplication::processEvents(); // pending layout requests after the last change
    QDir().mkpath(SCREENSHOT_DIR);
    const QString path = QDir(SCREENSHOT_DIR).filePath(name + ".png");
    return widget->grab().save(path, "PNG") ? path : QString();
}

/// \brief Whether the QR code in the image reads back as exactly `payload` (zbarimg ends its
/// text with a newline of its own). Skips the test where zbarimg is not installed.
#define POINTRELAY_VERIFY_QR(path, payload)                                                        \
    do {                                                                                           \
        const QString zbarimg = QStandardPaths::findExecutable("zbarimg");                         \
        if (zbarimg.isEmpty())                                                                     \
            QSKIP("zbarimg (Debian zbar-tools) is not installed; the code cannot be decoded");     \
        QProcess process;                                                                          \
        process.start(zbarimg, {"--raw", "-q", path});                                             \
        QVERIFY(process.waitForFinished(30000));                                                   \
        QCOMPARE(process.readAllStandardOutput(), (payload) + '\n');                               \
    } while (false)

/// \brief The visible top-level windows with this object name.
inline QList<QWidget*> visibleTopLevels(const QString& name) {
    QList<QWidget*> found;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == name && widget->isVisible())
            found << widget;
    return found;
}

/// \brief Runs deferred deletions (windows closed with WA_DeleteOnClose).
inline void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

} // namespace pointrelay::test
