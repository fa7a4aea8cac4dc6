// SPDX-License-Identifier: MIT
#include "model/alerts.h"
#include "model/app_state.h"
#include "model/file_psk_store.h"
#include "model/keychain_psk.h"
#include "model/login_item.h"
#include "model/port_check.h"
#include "model/preferences.h"
#include "model/server_process_manager.h"
#include "support/qt_wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pointrelay::app {
namespace {

using test::waitUntil;

class ScriptedAlerts final : public Alerts {
public:
    void critical(const QString& message, const QString&) override { criticals << message; }
    void information(const QString& message, const QString&) override { notices << message; }
    void notify(const QString& title, const QString&) override { notices << title; }
    std::optional<quint16> askAlternativePort(quint16 port, const QString& holder,
                                              const QList<quint16>& suggestions) override {
        asked = {port, holder, suggestions};
        return answer;
    }
    struct Question {
        quint16 port = 0;
        QString holder;
        QList<quint16> suggestions;
    };
    std::optional<Question> asked;
    std::optional<quint16> answer;
    QStringList criticals;
    QStringList notices;
};

// A port on 0.0.0.0 that nothing listens on now, in the range the settings allow.
quint16 freeSettingsPort() {
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(fd);
        const quint16 port = ntohs(address.sin_port);
        if (port >= 1024 && port <= 49151)
            return port;
        // Ephemeral ports are usually above 49151: take one below the range's top instead.
        for (quint16 candidate = 30000 + (port % 10000); candidate < 49151; ++candidate)
            if (PortCheck::shared().canBindPort(candidate))
                return candidate;
    }
}

class AppStateTest : public ::testing::Test {
protected:
    AppStateTest()
        : preferences(dir.filePath("prefs.json")),
          keys("test", "psk", std::make_shared<FilePskStore>(dir.filePath("keys"))) {
        manager.setDaemonPath(POINTRELAYD_PATH);
        ::setenv("XDG_STATE_HOME", qPrintable(dir.filePath("state")), 1);
    }
    ~AppStateTest() override { manager.stop(); }

    std::unique_ptr<AppState> load() {
        return std::make_unique<AppState>(preferences, keys, PortCheck::shared(), manager, &alerts);
    }

    QTemporaryDir dir;
    Preferences preferences;
    KeychainPSK keys;
    ServerProcessManager manager;
    ScriptedAlerts alerts;
};

TEST_F(AppStateTest, StoredSettingsLoadWithTheirDefaultsAndClamps) {
    const std::vector<std::pair<QVariant, quint16>> ports = {
        {QVariant(80), 1024},     {QVariant(1025), 1025}, {QVariant(65535), 49151},
        {QVariant("9001"), 9000}, {QVariant(), 9000},     {QVariant(true), 9000}};
    for (const auto& [stored, expected] : ports)
        EXPECT_EQ(AppState::loadedPort(stored), expected) << stored.toString().toStdString();

    preferences.setValue("hostMode", 2);
    preferences.setValue("port", "9100"); // a string is not a port
    auto state = load();
    EXPECT_EQ(state->port(), 9000);
    EXPECT_EQ(state->hostMode(), HostAdvertiseMode::bonjourLocalName);
    EXPECT_TRUE(state->bonjourEnabled());
    EXPECT_FALSE(state->autoLaunch());
    EXPECT_FALSE(state->running());
    EXPECT_EQ(state->maskedPSK(), QString::fromUtf8("（未設定）"));

    state->setPort(12345);
    state->setHostMode(HostAdvertiseMode::ipv4Address);
    state->setBonjourEnabled(false);
    state->setAutoLaunch(true);
    state->applySettings(); // not running: only saves
    EXPECT_FALSE(state->running());
    Preferences reread(preferences.fileName()); // the types survive the file
    EXPECT_EQ(reread.value("port").typeId(), QMetaType::LongLong);
    EXPECT_EQ(reread.value("bonjourEnabled").typeId(), QMetaType::Bool);
    auto again = std::make_unique<AppState>(reread, keys, PortCheck::shared(), manager, &alerts);
    EXPECT_EQ(again->port(), 12345);
    EXPECT_EQ(again->hostMode(), HostAdvertiseMode::ipv4Address);
    EXPECT_FALSE(again->bonjourEnabled());
    EXPECT_TRUE(again->autoLaunch());
}

TEST_F(AppStateTest, StartCreatesTheKeyAndFollowsTheDaemon) {
    auto state = load();
    state->setPort(freeSettingsPort());
    state->setBonjourEnabled(false);
    state->start();
    EXPECT_TRUE(state->running());
    const std::optional<QString> key = keys.load();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->size(), 64);
    EXPECT_EQ(state->maskedPSK(), key->left(3) + QString(6, QChar(0x2022)) + key->right(3));
    ASSERT_TRUE(waitUntil([&] { return state->lastLog().contains("Listening on port"); }));
    EXPECT_TRUE(state->running());

    state->start(); // already running: nothing happens
    EXPECT_TRUE(alerts.criticals.isEmpty());
    manager.stop();
    ASSERT_TRUE(waitUntil([&] { return !state->running(); }));
}

// Every model shows the one daemon: one that did not start it still follows its reports.
TEST_F(AppStateTest, EveryModelFollowsTheDaemon) {
    auto starter = load();
    auto watcher = load();
    starter->setPort(freeSettingsPort());
    starter->setBonjourEnabled(false);
    starter->start();
    ASSERT_TRUE(waitUntil([&] { return watcher->lastLog().contains("Listening on port"); }));
    EXPECT_TRUE(watcher->running());
    manager.stop();
    ASSERT_TRUE(waitUntil([&] { return !watcher->running() && !starter->running(); }));
}

TEST_F(AppStateTest, ForeignListenerAsksForAnotherPort) {
    const quint16 taken = freeSettingsPort();
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(taken);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);

    auto state = load();
    state->setPort(taken);
    state->setBonjourEnabled(false);
    state->start(); // the user cancels
    ASSERT_TRUE(alerts.asked);
    EXPECT_EQ(alerts.asked->port, taken);
    EXPECT_EQ(alerts.asked->suggestions.size(), 3);
    EXPECT_FALSE(state->running());
    EXPECT_EQ(state->port(), taken);

    alerts.answer = alerts.asked->suggestions.first();
    state->start(); // the user picks the first suggestion
    EXPECT_TRUE(state->running());
    EXPECT_EQ(state->port(), *alerts.answer);
    ASSERT_TRUE(waitUntil([&] {
        return state->lastLog().contains("Listening on port " + QString::number(*alerts.answer));
    }));
    ::close(listener);
}

TEST_F(AppStateTest, StaleDaemonOfOurOwnIsEnded) {
    const quint16 port = freeSettingsPort();
    QProcess stale;
    stale.setProgram(POINTRELAYD_PATH);
    stale.setArguments({"--no-mdns", "--port", QString::number(port)});
    stale.start();
    ASSERT_TRUE(stale.waitForStarted());
    ASSERT_TRUE(waitUntil([&] { return !PortCheck::shared().canBindPort(port); }));

    auto state = load();
    state->setPort(port);
    state->setBonjourEnabled(false);
    state->start();
    EXPECT_FALSE(alerts.asked); // no question: the stale daemon was ours
    EXPECT_TRUE(stale.waitForFinished(3000));
    EXPECT_TRUE(state->running());
    EXPECT_EQ(state->port(), port);
}

} // namespace
} // namespace pointrelay::app

namespace pointrelay::app {
namespace {

TEST(LoginItem, EntryFollowsTheSavedChoice) {
    QTemporaryDir dir;
    Preferences preferences(dir.filePath("prefs.json"));
    KeychainPSK keys("test", "psk", std::make_shared<FilePskStore>(dir.filePath("keys")));
    ServerProcessManager manager;
    const LoginItem item(dir.filePath("autostart"), "/opt/point relay/Pointrelay$Server");
    AppState state(preferences, keys, PortCheck::shared(), manager, nullptr);
    state.setLaunchAtLoginHandler([&](bool enabled) { item.apply(enabled); });

    state.setAutoLaunch(true);
    EXPECT_FALSE(item.isInstalled()); // only a save acts on the choice
    state.save();
    ASSERT_TRUE(item.isInstalled());
    QFile entry(item.entryPath());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(entry.readAll());
    EXPECT_TRUE(text.contains("Exec=\"/opt/point relay/Pointrelay\\$Server\"\n"))
        << text.toStdString();
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n"));

    state.setAutoLaunch(false);
    state.save();
    EXPECT_FALSE(item.isInstalled());
    EXPECT_TRUE(item.apply(false)); // removing what is not there is no failure
}

} // namespace
} // namespace pointrelay::app
