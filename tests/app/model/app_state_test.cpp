// SPDX-License-Identifier: MIT
// The settings model: stored settings, their types and the launch-at-login entry, a busy port
// and the one chosen instead, and a key that cannot be kept. (The widget tests start the daemon
// through it; the headless command's test has it end a stale daemon.)
#include "app/app_test_support.h"
#include "core/handshake.h"
#include "model/app_state.h"
#include "model/file_psk_store.h"
#include "model/keychain_psk.h"
#include "model/login_item.h"
#include "model/preferences.h"
#include "model/server_process_manager.h"
#include "model/web_relay.h"
#include "support/qt_wait.h"

#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>

namespace pointrelay::app {
namespace {

struct AppStateTest : ::testing::Test {
    QTemporaryDir dir;
    Preferences preferences{dir.filePath("prefs.json")};
    KeychainPSK keys{"test", "psk", std::make_shared<FilePskStore>(dir.filePath("keys"))};
    ServerProcessManager manager;
    test::RecordingAlerts alerts;
};

TEST_F(AppStateTest, StoredSettingsKeepTheirTypesDefaultsAndClamps) {
    const std::pair<QVariant, quint16> ports[] = {{80, 1024},     {1025, 1025}, {65535, 49151},
                                                  {"9001", 9000}, {{}, 9000},   {true, 9000}};
    for (const auto& [stored, expected] : ports)
        EXPECT_EQ(AppState::loadedPort(stored), expected) << stored.toString().toStdString();
    // As the file holds them: a string is no port, 2 no host mode, and only true is true.
    std::ofstream(dir.filePath("prefs.json").toStdString())
        << R"({"port": "9100", "hostMode": 2, "bonjourEnabled": "no", "autoLaunch": 1})";
    Preferences fromFile(dir.filePath("prefs.json"));
    AppState state(fromFile, keys, PortCheck::shared(), manager, &alerts);
    EXPECT_EQ(std::tuple(state.port(), state.hostMode(), state.bonjourEnabled(), state.autoLaunch(),
                         state.running(), state.maskedPSK()),
              std::tuple(9000, HostAdvertiseMode::bonjourLocalName, true, false, false,
                         QString("（未設定）")));
    // Said once, with the file kept beside as ".bad" and what is used written in its place.
    const QString bad = dir.filePath("prefs.json.bad");
    EXPECT_EQ(
        alerts.shown,
        QStringList{"information: 設定ファイルに使えない値がありました / port: \"9100\" "
                    "はポート番号ではありません。9000 を使います。\nhostMode: 2 はホストの示し"
                    "方ではありません。0 を使います。\nbonjourEnabled: \"no\" は true か false "
                    "ではありません。true を使います。\nautoLaunch: 1 は true か false ではありま"
                    "せん。false を使います。\n元のファイルは " +
                    bad + " に残しました。"});
    QFile kept(bad);
    EXPECT_TRUE(kept.open(QIODevice::ReadOnly) && kept.readAll().startsWith(R"({"port": "9100")"));
    for (const char* text : {"{\"port\": 70000}", "not json", ""}) {
        alerts.shown.clear();
        std::ofstream(dir.filePath("again.json").toStdString()) << text;
        Preferences again(dir.filePath("again.json"));
        const AppState once(again, keys, PortCheck::shared(), manager, &alerts);
        const AppState twice(again, keys, PortCheck::shared(), manager, &alerts);
        EXPECT_EQ(alerts.shown.join("").remove(dir.path() + "/"),
                  QString(*text == '{' ? "information: 設定ファイルに使えない値がありました / "
                                         "port: 70000 は 1024〜49151 の外です。49151 を使います。\n"
                                         "元のファイルは again.json.bad に残しました。"
                          : *text ? "information: 設定ファイルに使えない値がありました / "
                                    "again.json は JSON のオブジェクトではありません。既定の設定"
                                    "を使います。\n元のファイルは again.json.bad に残しました。"
                                  : ""));
    }
    // A ".bad" that cannot be replaced (a folder with something in it) is told, not claimed.
    QDir(dir.path()).mkpath("stuck.json.bad/x");
    std::ofstream(dir.filePath("stuck.json").toStdString()) << R"({"port": 70000})";
    Preferences stuck(dir.filePath("stuck.json"));
    const AppState aside(stuck, keys, PortCheck::shared(), manager, &alerts);
    EXPECT_TRUE(alerts.shown.join("").endsWith("元のファイルを " + dir.filePath("stuck.json.bad") +
                                               " に残せませんでした。"));
    const LoginItem item(dir.filePath("autostart"), "/opt/point relay/Pointrelay$Server");
    state.setLaunchAtLoginHandler([&](bool enabled) { item.apply(enabled); });
    state.setPort(12345);
    state.setHostModeRaw(1);
    state.setBonjourEnabled(false);
    state.setAutoLaunch(true);
    EXPECT_FALSE(item.isInstalled()); // only a save acts on the choice
    state.applySettings();            // not running: only saves
    QFile entry(item.entryPath());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(
        entry.readAll().contains("\nExec=\"/opt/point relay/Pointrelay\\$Server\" --background\n"));
    // Read back as a new process reads it, from the file: QSettings' copy goes once it changed.
    std::ofstream(fromFile.fileName().toStdString(), std::ios::app) << '\n';
    Preferences reread(fromFile.fileName());
    EXPECT_EQ(reread.value("port").typeId(), QMetaType::LongLong);
    const AppState back(reread, keys, PortCheck::shared(), manager, nullptr);
    EXPECT_EQ(std::tuple(back.port(), back.hostMode(), back.bonjourEnabled(), back.autoLaunch()),
              std::tuple(12345, HostAdvertiseMode::ipv4Address, false, true));
    state.setAutoLaunch(false);
    state.save();
    EXPECT_FALSE(item.isInstalled());
}

// A busy port is asked about with the next free ports on offer, also when a stale daemon was
// ended and the port is still taken; the one chosen is where the daemon starts, and is stored.
// (The holder named with its PID, the headless command's test sees; a busy port typed in while
// it runs, and cancelled, the widget tests see leave the daemon and the setting where they
// were, and the page's busy port, cancelled, switch the page off.)
TEST_F(AppStateTest, ABusyPortIsAskedAboutAndTheDaemonStartsOnThePortChosen) {
    const test::HeldPort held;
    // Every port seems held by a daemon of ours handed to init, so stale; ending it only
    // pretends (no signal goes out), so the port held for real stays taken.
    auto stale = std::make_shared<test::FixedLister>();
    stale->parent = 1;
    PortCheck ports(stale);
    ports.setSignalSender([](qint32, int) { return 0; });
    manager.setDaemonPath(POINTRELAYD_PATH);
    AppState state(preferences, keys, ports, manager, &alerts);
    state.setPort(held.port);
    const QList<quint16> free = PortCheck::shared().suggestFreePorts(held.port, 3);
    alerts.portAnswer = free.value(1);
    state.start();
    EXPECT_EQ(alerts.offered, free);
    EXPECT_TRUE(state.running() && state.port() == free.value(1));
    EXPECT_EQ(preferences.value("port"), free.value(1));
    EXPECT_TRUE(test::waitUntil([&] { return !PortCheck::shared().canBindPort(free.value(1)); }));
    manager.stop();
}

// A store that keeps no key (its folder would lie under a file): no start, and the user is told,
// since a key that only this process knows could never be paired.
TEST_F(AppStateTest, AKeyThatCannotBeKeptStartsNothing) {
    QFile(dir.filePath("file")).open(QIODevice::WriteOnly);
    KeychainPSK unstorable("test", "psk", std::make_shared<FilePskStore>(dir.filePath("file/k")));
    AppState keyless(preferences, unstorable, PortCheck::shared(), manager, &alerts);
    keyless.setPort(test::freePort());
    keyless.start();
    EXPECT_FALSE(keyless.running() || manager.state().running);
    EXPECT_EQ(alerts.shown, QStringList{"critical: 端末の一覧を読めません / 保存先: " +
                                        dir.filePath("file/k/test/devices")});

    // A key file of an earlier version edited by hand: a key this system did not make is
    // neither served nor replaced; a good one (its line break no part of it) becomes the first
    // device, once.
    AppState state(preferences, keys, PortCheck::shared(), manager, &alerts);
    const QString key = QString("0123456789abcdef").repeated(4);
    for (const QString& stored : {QString("zzzz\n"), " " + key + "\n", QString("zzzz\n")}) {
        ASSERT_TRUE(keys.save(stored));
        alerts.shown.clear();
        const bool refused = stored == "zzzz\n" && state.devices().isEmpty();
        EXPECT_EQ(state.ensureKey(&alerts), refused ? std::nullopt : std::optional(key));
        EXPECT_EQ(alerts.shown, refused ? QStringList{"critical: 保存されている鍵を使えません / " +
                                                      dir.filePath("keys/test/psk") +
                                                      " の鍵が 64 桁の 16 進数ではありません。"
                                                      "削除するか、設定で鍵を再生成してください。"}
                                        : QStringList{});
    }
    EXPECT_EQ(state.devices().size(), 1);
    EXPECT_EQ(state.maskedPSK(), KeychainPSK::mask(key));
    // The device being paired is the one added last, also once renamed.
    for (const QString& error :
         {state.addDevice("A"), state.addDevice("B"), state.renameDevice("A", "C")})
        ASSERT_EQ(error, "");
    EXPECT_EQ(state.pairingDevice(), "B");
    ASSERT_EQ(state.renameDevice("B", "D"), "");
    EXPECT_EQ(state.pairingDevice(), "D");
    // A browser's HELLO names the automatically named device being paired, which stays paired.
    ASSERT_EQ(state.addDevice(), "");
    const core::HelloFrame hello = core::buildHello(state.devices().last().key.toStdString(), {});
    const QByteArray frame = QByteArray::fromHex("00000036") +
                             QByteArray(reinterpret_cast<const char*>(hello.data()), hello.size());
    for (const char* agent : {"curl/8.5", "Firefox/133.0 (Android 14)"})
        emit WebRelay::shared().helloSent(frame, agent);
    EXPECT_EQ(state.pairingDevice(), "Firefox on Android");
}

} // namespace
} // namespace pointrelay::app
