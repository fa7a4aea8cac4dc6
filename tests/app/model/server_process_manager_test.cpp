// SPDX-License-Identifier: MIT
#include "model/alerts.h"
#include "model/daemon_output_parser.h"
#include "model/server_process_manager.h"
#include "support/qt_wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

namespace pointrelay::app {
namespace {

using test::waitUntil;

// ---- the line parser, fed chunk by chunk ----

class ParserTest : public ::testing::Test {
protected:
    void feed(QByteArrayView chunk) { parser.feed(chunk, state); }
    std::vector<ServerState> published;
    QStringList echoed;
    ServerState state;
    DaemonOutputParser parser{[this](const ServerState& s) { published.push_back(s); },
                              [this](const QString& line) { echoed << line; }};
};

TEST_F(ParserTest, LinesEndWithAnyLineBreakAndAreInterpretedOnce) {
    feed("[C++] Client conn");
    EXPECT_TRUE(published.empty());
    feed("ected: 10.0.0.2\r");            // a chunk ending in "\r" ends its line at once
    EXPECT_EQ(state.connectedClients, 0); // the address line does not count
    EXPECT_EQ(state.lastLog, "[C++] Client connected: 10.0.0.2");
    feed("\n[C++] Client connected (1 active)\r\n   \n");
    EXPECT_EQ(state.connectedClients, 1); // one connection, one arrival
    EXPECT_EQ(state.lastLog, "[C++] Client connected (1 active)");
    EXPECT_EQ(published.size(), 3u); // each line its last line, the arrival its count too
    feed("[C++] Client disconnected (0 active)\n[C++] client DISCONNECTED\n");
    feed("[C++] Client disconnected (0 active)\n");
    EXPECT_EQ(state.connectedClients, 0); // never below 0
}

TEST_F(ParserTest, StatisticsLinesSetTheRates) {
    feed("STAT move=10 scroll=2 rateMove=12.000000 rateScroll=0.400000\n");
    EXPECT_DOUBLE_EQ(state.moveFPS, 12.0);
    EXPECT_DOUBLE_EQ(state.scrollFPS, 0.4);
    feed("STATUS rateMove=abc rateScroll=  3.5\n"); // letters: move unchanged; spaces skipped
    EXPECT_DOUBLE_EQ(state.moveFPS, 12.0);
    EXPECT_DOUBLE_EQ(state.scrollFPS, 3.5);
    feed("stat rateMove=99\n[C++] rateMove=98\n"); // not a statistics line
    EXPECT_DOUBLE_EQ(state.moveFPS, 12.0);
    EXPECT_EQ(state.lastLog, "[C++] rateMove=98");
}

TEST_F(ParserTest, InputLinesTellTheRoute) {
    feed("[C++] Input: Wayland (desktop portal)\n");
    EXPECT_EQ(state.inputRoute, InputRoute::portal);
    feed("[C++] Input: the desktop refused remote input\n");
    EXPECT_EQ(state.inputRoute, InputRoute::portalRefused);
    feed("[C++] Input: X11 (XTest)\n[C++] Input: this is a Wayland session: only X "
         "applications will receive the events\n");
    EXPECT_EQ(state.inputRoute, InputRoute::x11InWayland);
    feed("[C++] [SYS] parsed action=Input: X11 (XTest)\n"); // a phone's text is no route
    EXPECT_EQ(state.inputRoute, InputRoute::x11InWayland);
}

TEST_F(ParserTest, EchoesFocusAndFunctionKeyLines) {
    feed("[C++] [KEY] macFKey: n=6\n[C++] [SYS] focus begin pid=3\n[C++] [SYS] other\n");
    EXPECT_EQ(echoed, (QStringList{"[C++] [KEY] macFKey: n=6", "[C++] [SYS] focus begin pid=3"}));
    EXPECT_EQ(state.lastLog, "[C++] [SYS] other");
}

TEST_F(ParserTest, CharactersSplitAcrossChunksAreKept) {
    const QByteArray line =
        "[C++] [SYS] parsed action=h\xC3\xA9llo dir=0\n[C++] Client connected (1 active)\n";
    for (qsizetype i = 0; i < line.size(); ++i)
        feed(line.mid(i, 1)); // byte by byte, also through the two-byte character
    EXPECT_EQ(state.connectedClients, 1);
    EXPECT_EQ(published.size(), 3u);
    feed("bad \xFF byte\n"); // invalid bytes cost that character, not the line
    EXPECT_EQ(state.lastLog, QString::fromUtf8("bad \xEF\xBF\xBD byte"));
}

TEST_F(ParserTest, InvalidSequencesReadTheSameWhereverAChunkEnds) {
    // An invalid lead byte before a space, a cut three-byte sequence, a cut four-byte one
    // before "\r\n", and a valid four-byte character. A chunk ending after the invalid byte
    // once cost the space that follows it.
    const QByteArray output = "A\xF0 B\xE2\x82 C\xF0\x9F\r\nD \xF0\x9F\x98\x80 E\n";
    const QString lastLines = QString::fromUtf8("A\xF0 B\xE2\x82 C\xF0\x9F") + "|" +
                              QString::fromUtf8("D \xF0\x9F\x98\x80 E");
    for (qsizetype split = 0; split <= output.size(); ++split) {
        SCOPED_TRACE(split);
        QStringList lines;
        ServerState splitState;
        DaemonOutputParser splitParser([&](const ServerState& s) { lines << s.lastLog; },
                                       [](const QString&) {});
        splitParser.feed(QByteArrayView(output).first(split), splitState);
        splitParser.feed(QByteArrayView(output).sliced(split), splitState);
        lines.removeDuplicates();
        EXPECT_EQ(lines.join(u'|').toStdString(), lastLines.toStdString());
    }
}

// ---- the manager with real child processes ----

class RecordingAlerts final : public Alerts {
public:
    void critical(const QString& message, const QString& informative) override {
        shown << message + " / " + informative;
    }
    void information(const QString& message, const QString& informative) override {
        shown << message + " / " + informative;
    }
    void notify(const QString& title, const QString& message) override {
        shown << "notify: " + title + " / " + message;
    }
    std::optional<quint16> askAlternativePort(quint16, const QString&,
                                              const QList<quint16>&) override {
        return std::nullopt;
    }
    QStringList shown;
};

class ManagerTest : public ::testing::Test {
protected:
    ManagerTest() {
        manager.setAlerts(&alerts);
        manager.onStateChange = [this](const ServerState& s) { seen.push_back(s); };
    }
    // A stand-in daemon: a shell script that prints its arguments, then `body`.
    QString script(const QString& body) {
        const QString path = dir.filePath(QStringLiteral("pointrelayd"));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(("#!/bin/sh\necho \"args: $*\"\n" + body + "\n").toUtf8());
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        manager.setDaemonPath(path);
        return path;
    }

    QTemporaryDir dir;
    RecordingAlerts alerts;
    ServerProcessManager manager;
    std::vector<ServerState> seen;
};

TEST_F(ManagerTest, StartPassesTheOptionsAndPublishesInOrder) {
    EXPECT_EQ(ServerProcessManager::daemonArguments(9000, "k", true, 0),
              (QStringList{"--port", "9000", "--psk", "k"}));
    EXPECT_EQ(ServerProcessManager::daemonArguments(9001, "k", false, 1000),
              (QStringList{"--port", "9001", "--psk", "k", "--no-mdns", "--stat-ms", "1000"}));

    script("echo '[C++] Client connected: 127.0.0.1'\necho '[C++] Client connected (1 active)'\n"
           "exec sleep 30");
    manager.start(9123, "key", false, 0);
    ASSERT_TRUE(waitUntil([&] { return manager.state().connectedClients == 1; }));
    EXPECT_EQ(manager.state().lastLog, "[C++] Client connected (1 active)");
    ASSERT_TRUE(waitUntil([&] { return !seen.empty() && seen.back().connectedClients == 1; }));
    EXPECT_FALSE(seen.front().running); // the stop that every start begins with
    EXPECT_TRUE(seen[1].running);
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const ServerState& s) {
        return s.lastLog == "args: --port 9123 --psk key --no-mdns";
    }));

    manager.stop();
    EXPECT_FALSE(manager.state().running);
    EXPECT_EQ(manager.state().connectedClients, 0);
}

TEST_F(ManagerTest, StopKillsAChildThatIgnoresTerminate) {
    script("trap '' TERM\necho ready\nwhile :; do sleep 0.05; done");
    manager.start(9124, "key", true, 0);
    ASSERT_TRUE(waitUntil([&] { return manager.state().lastLog == "ready"; }));
    QElapsedTimer timer;
    timer.start();
    manager.stop();
    EXPECT_GE(timer.elapsed(), 450);
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_FALSE(manager.state().running);
}

TEST_F(ManagerTest, PollSetsTheClientCountAndADeadDaemonShowsStopped) {
    manager.setPollInterval(std::chrono::milliseconds(50));
    std::atomic<int> polls{0};
    manager.setConnectionCounter([&](quint16 port) -> std::optional<qint64> {
        EXPECT_EQ(port, 9125);
        return ++polls == 1 ? std::nullopt : std::optional<qint64>(-3 + polls);
    });
    script("echo '[C++] Client connected (1 active)'\nsleep 0.5\nexit 3");
    manager.start(9125, "key", true, 0);
    ASSERT_TRUE(waitUntil([&] { return polls >= 6; }));
    EXPECT_GE(manager.state().connectedClients, 0);
    ASSERT_TRUE(waitUntil([&] { return !manager.state().running; }, 5000));
    const int after = polls;
    QThread::msleep(200);
    EXPECT_EQ(polls, after); // polling ended with the daemon
    EXPECT_EQ(alerts.shown, QStringList{"notify: pointrelayd が停止しました / 終了コード 3"});
}

TEST_F(ManagerTest, ADaemonKilledFromOutsideIsNotifiedAndAStopIsNot) {
    script("echo \"pid $$\"\nexec sleep 30");
    manager.start(9127, "key", true, 0);
    ASSERT_TRUE(waitUntil([&] { return manager.state().lastLog.startsWith("pid "); }));
    ::kill(manager.state().lastLog.mid(4).toInt(), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return !alerts.shown.isEmpty(); }));
    EXPECT_EQ(alerts.shown,
              QStringList{"notify: pointrelayd が停止しました / シグナル 9 (Killed)"});
    EXPECT_FALSE(manager.state().running);
    manager.start(9127, "key", true, 0);
    manager.stop(); // asked for: no notification
    QThread::msleep(100);
    QCoreApplication::processEvents();
    EXPECT_EQ(alerts.shown.size(), 1);
}

TEST_F(ManagerTest, StartFailuresAreShownAndLeaveItStopped) {
    manager.setDaemonPath(dir.filePath("missing"));
    manager.start(9126, "key", true, 0);
    EXPECT_EQ(alerts.shown, QStringList{"実行ファイルが見つかりません / ターゲットの Copy Files "
                                        "(Executables) に 'pointrelayd' を追加してください。"});
    manager.stop();
    EXPECT_FALSE(manager.state().running);
}

} // namespace
} // namespace pointrelay::app
