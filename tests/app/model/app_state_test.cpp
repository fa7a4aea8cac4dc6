// SPDX-License-Identifier: MIT
// The settings model: stored settings and their types, the start (key, daemon, models that
// follow it), a busy port and a stale daemon, and the launch-at-login entry.
#include "model/alerts.h"
#include "model/app_state.h"
#include "model/file_psk_store.h"
#include "model/keychain_psk.h"
#include "model/login_item.h"
#include "model/port_check.h"
#include "model/preferences.h"
#include "model/server_process_manager.h"
#include "support/qt_wait.h"

#include <QProcess>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace pointrelay::app {
namespace {

using test::waitUntil;

class ScriptedAlerts final : public Alerts {
public:
    void critical(const QString& message, const QString&) override { criticals << message; }
    void information(const QString&, const QString&) override {}
    void notify(const QString&, const QString&) override {}
    std::optional<quint16> askAlternativePort(quint16 port, const QString&,
                                              const QList<quint16>& offered) override {
        asked = port;
        suggestions = offered;
        return answer;
    }
    std::optional<quint16> asked, answer;
    QList<quint16> suggestions;
    QStringList criticals;
};

// A port in the settings' range that nothing listens on now.
quint16 freeSettingsPort() {
    quint16 port = 30000 + ::getpid() % 15000;
    while (!PortCheck::shared().canBindPort(port))
        ++port;
    return port;
}

// Holds a port as another program would (a listener on 0.0.0.0).
struct Holder {
    explicit Holder(quint16 port) {
        sockaddr_in address{AF_INET, htons(port), {}, {}};
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
             ::listen(fd, 4) == 0;
    }
    ~Holder() { ::close(fd); }
    int fd;
    bool ok;
};

class AppStateTest : public ::testing::Test {
protected:
    AppStateTest() {
        manager.setDaemonPath(POINTRELAYD_PATH);
        ::setenv("XDG_STATE_HOME", qPrintable(dir.filePath("state")), 1);
    }
    ~AppStateTest() override { manager.stop(); }
    std::unique_ptr<AppState> load(const PortCheck& ports = PortCheck::shared()) {
        auto state = std::make_unique<AppState>(preferences, keys, ports, manager, &alerts);
        state->setBonjourEnabled(false);
        return state;
    }

    QTemporaryDir dir;
    Preferences preferences{dir.filePath("prefs.json")};
    KeychainPSK keys{"test", "psk", std::make_shared<FilePskStore>(dir.filePath("keys"))};
    ServerProcessManager manager;
    ScriptedAlerts alerts;
};

TEST_F(AppStateTest, StoredSettingsKeepTheirTypesDefaultsAndClamps) {
    const std::pair<QVariant, quint16> ports[] = {{80, 1024},     {1025, 1025}, {65535, 49151},
                                                  {"9001", 9000}, {{}, 9000},   {true, 9000}};
    for (const auto& [stored, expected] : ports)
        EXPECT_EQ(AppState::loadedPort(stored), expected) << stored.toString().toStdString();
    // As the file holds them: a string is no port, a hostMode of 2 no mode.
    QFile file(dir.filePath("prefs.json"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"port": "9100", "hostMode": 2, "bonjourEnabled": "no", "autoLaunch": 1})");
    file.close();
    {
        Preferences fromFile(dir.filePath("prefs.json"));
        const AppState state(fromFile, keys, PortCheck::shared(), manager, &alerts);
        EXPECT_EQ(state.port(), 9000);
        EXPECT_EQ(state.hostMode(), HostAdvertiseMode::bonjourLocalName);
        EXPECT_TRUE(state.bonjourEnabled() && !state.autoLaunch() && !state.running());
        EXPECT_EQ(state.maskedPSK(), QString::fromUtf8("（未設定）"));
    }
    auto state = load();
    state->setPort(12345);
    state->setHostMode(HostAdvertiseMode::ipv4Address);
    state->setAutoLaunch(true);
    state->applySettings(); // not running: only saves
    EXPECT_FALSE(state->running());
    Preferences reread(preferences.fileName());
    EXPECT_EQ(reread.value("port").typeId(), QMetaType::LongLong);
    const AppState again(reread, keys, PortCheck::shared(), manager, &alerts);
    EXPECT_EQ(
        std::tuple(again.port(), again.hostMode(), again.bonjourEnabled(), again.autoLaunch()),
        std::tuple(12345, HostAdvertiseMode::ipv4Address, false, true));
}

// The start makes the key; every model, also one that did not start the daemon, follows it.
TEST_F(AppStateTest, StartCreatesTheKeyAndEveryModelFollowsTheDaemon) {
    auto starter = load(), watcher = load();
    starter->setPort(freeSettingsPort());
    starter->start();
    EXPECT_TRUE(starter->running());
    const std::optional<QString> key = keys.load();
    ASSERT_TRUE(key && key->size() == 64);
    EXPECT_EQ(starter->maskedPSK(), key->left(3) + QString(6, QChar(0x2022)) + key->right(3));
    ASSERT_TRUE(waitUntil([&] { return watcher->lastLog().contains("Listening on port"); }));
    EXPECT_TRUE(watcher->running());
    starter->start(); // already running: nothing happens
    EXPECT_TRUE(alerts.criticals.isEmpty());
    manager.stop();
    ASSERT_TRUE(waitUntil([&] { return !watcher->running() && !starter->running(); }));
}

TEST_F(AppStateTest, ABusyPortAsksForAnotherOne) {
    const quint16 taken = freeSettingsPort();
    Holder holder(taken);
    ASSERT_TRUE(holder.ok);
    auto state = load();
    state->setPort(taken);
    state->start(); // the user cancels
    EXPECT_EQ(alerts.asked, taken);
    EXPECT_EQ(alerts.suggestions.size(), 3);
    EXPECT_FALSE(state->running());
    EXPECT_EQ(state->port(), taken);
    alerts.answer = alerts.suggestions.first();
    state->start(); // the user picks the first suggestion
    EXPECT_TRUE(state->running());
    EXPECT_EQ(state->port(), *alerts.answer);
    ASSERT_TRUE(waitUntil([&] { return !PortCheck::shared().canBindPort(*alerts.answer); }));
}

// A lister that names a daemon of ours, unsupervised, on every port: it is "ended" by a signal
// that reaches nobody, so the port it holds stays taken.
struct StaleEverywhere final : SocketLister {
    std::optional<QString> describeListener(int) const override { return "pointrelayd"; }
    std::optional<qint32> listeningPID(int) const override { return 4242; }
    std::optional<QString> processName(qint32) const override { return "pointrelayd"; }
    std::optional<qint32> parentPID(qint32) const override { return 1; }
    std::optional<qint64> countEstablishedConnections(int) const override { return 0; }
};

TEST_F(AppStateTest, AStaleDaemonIsEndedButAPortStillTakenIsStillAskedAbout) {
    const quint16 port = freeSettingsPort();
    QProcess stale; // a daemon of ours that nothing supervises any more
    stale.start(POINTRELAYD_PATH, {"--no-mdns", "--port", QString::number(port)});
    ASSERT_TRUE(waitUntil([&] { return !PortCheck::shared().canBindPort(port); }));
    auto state = load();
    state->setPort(port);
    state->start();
    EXPECT_FALSE(alerts.asked);
    EXPECT_TRUE(stale.waitForFinished(3000));
    EXPECT_TRUE(state->running());
    manager.stop();

    Holder holder(port); // "ended", yet the port is still taken
    PortCheck ports(std::make_shared<StaleEverywhere>());
    ports.setSignalSender([](qint32, int) { return 0; });
    auto second = load(ports);
    second->setPort(port);
    second->start();
    EXPECT_EQ(alerts.asked, port);
    EXPECT_FALSE(second->running());
}

TEST_F(AppStateTest, TheLaunchAtLoginEntryFollowsTheSavedChoice) {
    const LoginItem item(dir.filePath("autostart"), "/opt/point relay/Pointrelay$Server");
    auto state = load();
    state->setLaunchAtLoginHandler([&](bool enabled) { item.apply(enabled); });
    state->setAutoLaunch(true);
    EXPECT_FALSE(item.isInstalled()); // only a save acts on the choice
    state->save();
    QFile entry(item.entryPath());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(entry.readAll());
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(text.contains("Exec=\"/opt/point relay/Pointrelay\\$Server\"\n"));
    state->setAutoLaunch(false);
    state->save();
    EXPECT_FALSE(item.isInstalled());
    EXPECT_TRUE(item.apply(false)); // removing what is not there is no failure
}

} // namespace
} // namespace pointrelay::app
