// SPDX-License-Identifier: MIT
// The daemon's output read chunk by chunk (the fuzzer cuts it everywhere), and the manager with
// real child processes: stand-in daemons (shell scripts) that print, ignore SIGTERM or end, and
// the real daemon killed outright while a phone is connected.
#include "app/app_test_support.h"
#include "model/daemon_output_parser.h"
#include "model/keys_file.h"
#include "model/server_process_manager.h"
#include "phone_client.h"
#include "support/qt_wait.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>

namespace pointrelay::app {
namespace {

using test::waitUntil;

TEST(ParserTest, LinesSetTheCountTheRatesTheRouteAndTheLastLine) {
    std::vector<ServerState> published;
    QStringList echoed, seen;
    ServerState state;
    DaemonOutputParser parser([&](const ServerState& s) { published.push_back(s); },
                              [&](const QString& line) { echoed << line; },
                              [&](const QString& name) { seen << name; });
    const auto feed = [&](QByteArrayView chunk) { return parser.feed(chunk, state), state; };
    feed("[C++] Client conn");
    EXPECT_TRUE(published.empty());
    // A chunk ending in "\r" ends its line at once.
    EXPECT_EQ(feed("ected: 10.0.0.2\r").lastLog, "[C++] Client connected: 10.0.0.2");
    // One connection, one arrival; each line its last line, the arrival its count too.
    EXPECT_EQ(feed("\n[C++] Client connected (1 active)\r\n   \n").connectedClients, 1);
    EXPECT_EQ(published.size(), 3u);
    feed("[C++] Client disconnected (0 active)\n[C++] client DISCONNECTED\n");
    EXPECT_EQ(state.connectedClients, 0); // never below 0

    feed("STAT move=10 rateMove=12.000000 rateScroll=0.400000\r");
    EXPECT_EQ(std::pair(state.moveFPS, state.scrollFPS), std::pair(12.0, 0.4));
    feed("STATUS rateMove=abc rateScroll=  3.5"); // a "\r" two chunks back: "\n" ends this line
    feed("\nstat rateMove=99\n[C++] rateMove=98\n");
    EXPECT_EQ(std::pair(state.moveFPS, state.scrollFPS), std::pair(12.0, 3.5));

    EXPECT_EQ(feed("[C++] Input: Wayland (desktop portal)\n").inputRoute, InputRoute::portal);
    feed("[C++] Input: X11 (XTest)\n[C++] Input: this is a Wayland session: X only\n");
    EXPECT_EQ(state.inputRoute, InputRoute::x11InWayland);
    feed("[C++] [SYS] parsed action=Input: X11 (XTest)\n"); // a phone's text is no route
    EXPECT_EQ(state.inputRoute, InputRoute::x11InWayland);
    feed("[C++] Input: Wayland (libei, GNOME remote desktop) has gone, events are dropped until "
         "it is back\n");
    EXPECT_TRUE(state.desktopLost);
    feed("[C++] [SYS] text=Input: is back\n[C++] Input: Wayland (libei, GNOME remote desktop)\n");
    EXPECT_EQ(std::pair(state.inputRoute, state.desktopLost), std::pair(InputRoute::libei, true));
    EXPECT_FALSE(feed("[C++] Input: Wayland (libei, GNOME remote desktop) is back\n").desktopLost);

    // Repeated for the person: every route line, warnings, and the actions that need them, without
    // the daemon's "[C++] "; never a phone's text, nor what went well.
    EXPECT_EQ(echoed.filter(QRegularExpression("^Input: ")).size(), 6);
    echoed.clear();
    feed("[C++] [KEY] macFKey: n=6\n[C++] [SYS] focus begin pid=3\n[C++] [SYS] other\n[C++] --port "
         "80 is refused\n[C++] Handshake: HMAC mismatch\n[C++] Handshake: OK\n[C++] Listening\n");
    EXPECT_EQ(echoed, (QStringList{"[KEY] macFKey: n=6", "[SYS] focus begin pid=3",
                                   "--port 80 is refused", "Handshake: HMAC mismatch"}));
    // The devices in control, by the names the daemon logs: each handshake a session more.
    feed("[C++] Handshake: OK (Phone 1)\n[C++] Handshake: OK (a\\x5Cb)\n[C++] Handshake: OK "
         "(Phone 1)\n[C++] Session ended (Phone 1)\n[C++] Session ended (a\\x5Cb)\n[C++] Session "
         "ended (x)\n[C++] [SYS] text=Handshake: OK (y)\n[C++] Keys reloaded: 1 devices\n");
    EXPECT_EQ(state.inControl, (QMap<QString, int>{{"Phone 1", 1}}));
    EXPECT_EQ(seen, (QStringList{"Phone 1", "a\\x5Cb", "Phone 1"}));
    EXPECT_EQ(std::pair(echoed.last(), state.keysReloads),
              std::pair(QString("Keys reloaded: 1 devices"), 1));
    feed("[C++] [SYS] other\n");
    EXPECT_EQ(state.lastLog, "[C++] [SYS] other");
    feed("half a line");
    parser.reset(); // the daemon was restarted: the half line is forgotten
    // An invalid byte costs that character, not the line.
    EXPECT_EQ(feed("bad \xFF byte\n").lastLog, QString::fromUtf8("bad \xEF\xBF\xBD byte"));
}

// Stand-in daemons (shell scripts that print their arguments, then run the given lines): the
// options reach the daemon, reports arrive in order, the poll sets the count (never below 0)
// and ends with the daemon; a stop ends even a daemon that ignores SIGTERM (asked first, then
// killed) and is not told; a daemon that ends by itself or dies of a signal is shown stopped and
// told; one that cannot be started is shown critically.
// A manager whose alerts and published states are recorded.
struct ManagerTest : ::testing::Test {
    ManagerTest() {
        manager.setAlerts(&alerts);
        manager.onStateChange = [this](const ServerState& s) { seen.push_back(s); };
    }
    test::RecordingAlerts alerts;
    ServerProcessManager manager;
    std::vector<ServerState> seen;
};

TEST_F(ManagerTest, TheDaemonIsStartedPolledStoppedAndItsEndIsTold) {
    QTemporaryDir dir;
    manager.setPollInterval(std::chrono::milliseconds(20));
    std::atomic<int> polls{0};
    manager.setConnectionCounter([&](quint16 port) -> std::optional<qint64> {
        EXPECT_EQ(port, 9123);
        if (!manager.state().lastLog.endsWith("active)"))
            return std::nullopt; // no count to be had before the arrival
        return ++polls < 3 ? -1 : 4;
    });
    const auto script = [&](const QString& body) {
        QFile file(dir.filePath("pointrelayd"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(("#!/bin/sh\necho \"args: $*\"\n" + body + "\n").toUtf8());
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        manager.setDaemonPath(file.fileName());
    };
    QFile term(dir.filePath("term"));
    // The keys reach the daemon in an owner-only file, which it reads again on SIGHUP.
    script("trap 'echo term > " + term.fileName() + "' TERM\n" +
           "trap 'echo \"hup $(stat -c %a \"$4\") $(tail -n 1 \"$4\")\"' HUP\n" +
           "echo '[C++] Client connected (1 active)'\nwhile :; do sleep 0.05; done");
    manager.start(9123, "# keys\nK1 one\n", true, 0);
    ASSERT_TRUE(waitUntil([&] { return !seen.empty() && seen.back().connectedClients == 4; }));
    // The stop that every start begins with, then the daemon as started.
    EXPECT_TRUE(!seen[0].running && seen[1].running && seen[1].port == 9123 && seen[1].advertised);
    const auto any = [&](auto what) { return std::any_of(seen.begin(), seen.end(), what); };
    EXPECT_TRUE(any(
        [](auto& s) { return s.lastLog == "args: --port 9123 --keys-file " + keysFilePath(); }));
    manager.reloadKeys("# keys\nK2 two\n");
    EXPECT_TRUE(waitUntil([&] { return manager.state().lastLog == "hup 600 K2 two"; }));
    EXPECT_TRUE(any([](auto& s) { return s.connectedClients == 1; }));
    EXPECT_FALSE(any([](auto& s) { return s.connectedClients < 0; }));
    manager.stop();
    const int polled = polls;
    EXPECT_TRUE(!manager.state().running && manager.state().connectedClients == 0);
    EXPECT_TRUE(term.open(QIODevice::ReadOnly) && term.readAll() == "term\n");
    QThread::msleep(100);
    EXPECT_EQ(polls, polled); // the poll ended with the daemon
    script("exit 3");
    manager.start(9123, "", true, 0);
    ASSERT_TRUE(waitUntil([&] { return !manager.state().running; }));
    QFile::remove(keysFilePath()); // a keys file that cannot be written starts nothing
    QDir().mkpath(keysFilePath() + "/x");
    manager.start(9123, "", true, 0);
    QDir(keysFilePath()).removeRecursively();
    manager.setDaemonPath(dir.filePath("missing"));
    manager.start(9123, "", true, 0);
    EXPECT_EQ(alerts.shown, (QStringList{"notify: pointrelayd が停止しました / 終了コード 3",
                                         "critical: 鍵ファイルを書き込めません / " + keysFilePath(),
                                         "critical: 実行ファイルが見つかりません / ターゲットの "
                                         "Copy Files (Executables) に 'pointrelayd' を追加して"
                                         "ください。"}));
    EXPECT_EQ(
        ServerProcessManager::daemonArguments(9001, "k", false, 1000),
        (QStringList{"--port", "9001", "--keys-file", "k", "--no-mdns", "--stat-ms", "1000"}));
}

// The real daemon killed outright while a phone moves the pointer: shown stopped, with nothing
// left counted and nothing polled or published afterwards, told, and it starts again on its
// port.
TEST_F(ManagerTest, ADaemonKilledOutrightShowsStoppedAndStartsAgain) {
    const quint16 port = test::freePort();
    manager.setDaemonPath(POINTRELAYD_PATH);
    manager.setPollInterval(std::chrono::milliseconds(50)); // polls are under way at the kill
    manager.start(port, "sixteen-char-key", false, 100);
    ASSERT_TRUE(waitUntil([&] { return manager.state().lastLog.startsWith("STAT move="); }));
    client::PhoneClient phone;
    ASSERT_TRUE(phone.connect("127.0.0.1", port) && phone.handshake("sixteen-char-key"));
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(phone.sendMove(1, 1));
    ASSERT_TRUE(waitUntil(
        [&] { return manager.state().moveFPS > 0 && manager.state().connectedClients == 1; }));
    const auto pid = PortCheck::shared().listeningPID(port);
    ASSERT_TRUE(pid && ::kill(*pid, SIGKILL) == 0);
    ASSERT_TRUE(waitUntil([&] { return !manager.state().running; }));
    const ServerState stopped = manager.state();
    EXPECT_EQ(std::tuple(stopped.connectedClients, stopped.moveFPS, stopped.scrollFPS),
              std::tuple(0, 0.0, 0.0));
    waitUntil([] { return false; }, 300);
    EXPECT_TRUE(manager.state() == stopped && seen.back() == stopped);
    EXPECT_EQ(alerts.shown,
              QStringList{"notify: pointrelayd が停止しました / シグナル 9 (Killed)"});
    EXPECT_TRUE(phone.waitForClose(2000));
    ASSERT_TRUE(PortCheck::shared().waitForPortFree(port, std::chrono::seconds(2)));
    manager.start(port, "sixteen-char-key", false, 100);
    EXPECT_TRUE(waitUntil([&] { return !PortCheck::shared().canBindPort(port); }));
    manager.stop(); // (complete when it returns: the stand-in daemon has had its TERM by then)
}

} // namespace
} // namespace pointrelay::app
