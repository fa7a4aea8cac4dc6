// SPDX-License-Identifier: MIT
// The application's supervision when the daemon misbehaves: killed outright while phones are
// connected, or flooding its output. The model must end in a state that matches what happened,
// and the event loop must keep serving meanwhile.
#include "model/port_check.h"
#include "model/server_process_manager.h"
#include "output_flood.h"
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/qt_wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>

namespace pointrelay::app {
namespace {

using namespace std::chrono_literals;
using test::waitUntil;

constexpr char kPsk[] = "c0ffee00c0ffee00c0ffee00c0ffee00c0ffee00c0ffee00c0ffee00c0ffee00";

class SupervisionFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The daemon inherits these: its replay memory stays in the test folder, and it never
        // reaches a real desktop.
        for (const char* name : {"XDG_STATE_HOME", "DISPLAY"})
            m_savedEnvironment.emplace_back(name, qEnvironmentVariableIsSet(name)
                                                      ? std::optional(qgetenv(name))
                                                      : std::nullopt);
        qputenv("XDG_STATE_HOME", dir.path().toUtf8());
        qputenv("DISPLAY", "");
        manager.onStateChange = [this](const ServerState& s) { seen.push_back(s); };
    }
    void TearDown() override {
        manager.stop();
        for (const auto& [name, value] : m_savedEnvironment) {
            if (value)
                qputenv(name, *value);
            else
                qunsetenv(name);
        }
    }

    bool lastLogContains(const QString& text) const {
        return manager.state().lastLog.contains(text);
    }

    QTemporaryDir dir;
    ServerProcessManager manager;
    std::vector<ServerState> seen;

private:
    std::vector<std::pair<const char*, std::optional<QByteArray>>> m_savedEnvironment;
};

TEST_F(SupervisionFaultTest, DaemonKilledWithSigkillShowsStoppedAndCanStartAgain) {
    const quint16 port = test::freePort();
    manager.setDaemonPath(POINTRELAYD_PATH);
    manager.setPollInterval(50ms); // polls are under way when the daemon dies
    manager.start(port, kPsk, false, 100);
    ASSERT_TRUE(waitUntil([&] { return lastLogContains("STAT move="); }));

    std::vector<client::PhoneClient> phones(3);
    for (auto& phone : phones) {
        ASSERT_TRUE(phone.connect("127.0.0.1", port));
        ASSERT_TRUE(phone.handshake(kPsk));
        for (int i = 0; i < 50; ++i)
            ASSERT_TRUE(phone.sendMove(1, 1));
    }
    ASSERT_TRUE(waitUntil([&] { return manager.state().moveFPS > 0; }));
    ASSERT_TRUE(waitUntil([&] { return manager.state().connectedClients == 3; }));

    const auto pid = PortCheck::shared().listeningPID(port);
    ASSERT_TRUE(pid);
    ASSERT_TRUE(PortCheck::isOwnDaemonName(PortCheck::shared().processName(*pid).value_or("")));
    ASSERT_EQ(::kill(*pid, SIGKILL), 0);

    ASSERT_TRUE(waitUntil([&] { return !manager.state().running; }, 3000));
    const ServerState stopped = manager.state();
    EXPECT_EQ(stopped.connectedClients, 0);
    EXPECT_EQ(stopped.moveFPS, 0);
    EXPECT_EQ(stopped.scrollFPS, 0);
    // Nothing changes afterwards (the poll ended with the daemon), and the observers saw the
    // state the model holds.
    waitUntil([] { return false; }, 300);
    EXPECT_EQ(manager.state(), stopped);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), stopped);
    for (auto& phone : phones)
        EXPECT_TRUE(phone.waitForClose(2000));

    // The port is free again and the daemon starts on it as if nothing had happened.
    ASSERT_TRUE(PortCheck::shared().waitForPortFree(port, 2s));
    manager.start(port, kPsk, false, 100);
    ASSERT_TRUE(
        waitUntil([&] { return manager.state().running && lastLogContains("STAT move=0 "); }));
    client::PhoneClient phone;
    ASSERT_TRUE(phone.connect("127.0.0.1", port));
    EXPECT_TRUE(phone.handshake(kPsk));
    manager.stop();
    EXPECT_FALSE(manager.state().running);
}

TEST_F(SupervisionFaultTest, FloodOfOutputInOddChunksKeepsTheModelConsistentAndResponsive) {
    using test::OutputFlood;
    const QString script = dir.filePath(QStringLiteral("pointrelayd"));
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\nexec '" + QCoreApplication::applicationFilePath().toUtf8() + "' " +
               test::kWriteOutputFloodSwitch + "\n");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    manager.setDaemonPath(script);
    manager.setConnectionCounter({}); // the stand-in holds no port; the output alone counts

    // The event loop serves a 10 ms timer all along; the longest pause between its ticks is
    // what a user of the interface would feel.
    QElapsedTimer sinceTick;
    qint64 longestPause = 0;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestPause = std::max(longestPause, sinceTick.restart()); });
    QElapsedTimer elapsed;
    elapsed.start();
    sinceTick.start();
    ticker.start();
    manager.start(9, "key", false, 0);
    const bool finished = waitUntil(
        [&] { return manager.state().lastLog == QLatin1StringView(OutputFlood::kLastLine); },
        30000);
    ticker.stop();
    ASSERT_TRUE(finished) << "last line: " << manager.state().lastLog.left(80).toStdString();
    waitUntil([] { return false; }, 100); // the last queued snapshots reach the observers

    const ServerState state = manager.state();
    EXPECT_TRUE(state.running);
    EXPECT_EQ(state.connectedClients, OutputFlood::kFinalClients);
    EXPECT_DOUBLE_EQ(state.moveFPS, OutputFlood::kFinalMoveRate);
    EXPECT_DOUBLE_EQ(state.scrollFPS, OutputFlood::kFinalScrollRate);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), state);
    // Every multi-byte line came through whole, however the pieces cut it.
    EXPECT_TRUE(std::none_of(seen.begin(), seen.end(), [](const ServerState& s) {
        return s.lastLog.contains(QChar::ReplacementCharacter);
    }));
    EXPECT_LT(longestPause, 250) << "flood handled in " << elapsed.elapsed() << " ms";

    QElapsedTimer stopping;
    stopping.start();
    manager.stop();
    EXPECT_FALSE(manager.state().running);
    EXPECT_LT(stopping.elapsed(), 1000);
}

} // namespace
} // namespace pointrelay::app
