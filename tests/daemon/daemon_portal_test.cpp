// SPDX-License-Identifier: MIT
// pointrelayd on the desktop portal route (POINTRELAY_INPUT=portal) against a mock portal
// (tests/support/portal/mock_portal.py) on a private session bus: run under
// tests/scripts/with_session_bus.sh. Each test starts its own mock, scripted to grant, refuse
// or close, and reads the calls it records.
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/temp_dir.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace pointrelay {
namespace {

using namespace std::chrono_literals;
using test::DaemonProcess;
using Clock = std::chrono::steady_clock;

class DaemonOnPortal : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::getenv("DBUS_SESSION_BUS_ADDRESS")) << "run under with_session_bus.sh";
        if (std::system("/usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null") != 0)
            GTEST_SKIP() << "/usr/bin/python3 with gi (python3-gi) is needed for the mock portal";
    }

    void startPortal(std::vector<std::string> options = {}) {
        options.insert(options.begin(), {"/usr/bin/python3", MOCK_PORTAL_PATH});
        m_portal = std::make_unique<DaemonProcess>(options, std::map<std::string, std::string>{}, 0,
                                                   DaemonProcess::Output::standardOutput);
        ASSERT_TRUE(m_portal->waitFor("ready\n", 10s)) << m_portal->output();
    }
    void startDaemon() {
        m_port = test::freePort();
        m_daemon = std::make_unique<DaemonProcess>(
            std::vector<std::string>{POINTRELAYD_PATH, "--no-mdns", "--port",
                                     std::to_string(m_port)},
            std::map<std::string, std::string>{{"POINTRELAY_INPUT", "portal"},
                                               {"XDG_STATE_HOME", m_state.path().string()}});
        ASSERT_TRUE(m_daemon->waitFor("Listening on port", 10s)) << m_daemon->output();
        ASSERT_EQ(m_daemon->count("[C++] Input: Wayland (desktop portal)\n"), 1u)
            << m_daemon->output();
    }
    void stopDaemon() {
        m_daemon->signal(SIGTERM);
        ASSERT_EQ(m_daemon->waitExit(5s), 0) << m_daemon->output();
    }
    void connectPhone() {
        ASSERT_TRUE(m_phone.connect("127.0.0.1", m_port));
        ASSERT_TRUE(m_phone.handshake("set-a-real-psk-here-00"));
    }
    // The phone is still served: a PING is answered.
    void expectServed() {
        ASSERT_TRUE(m_phone.sendPing());
        std::vector<uint8_t> pong;
        ASSERT_TRUE(m_phone.recvFrame(pong, 2000));
        EXPECT_EQ(pong, std::vector<uint8_t>{0xFF});
    }

    // The calls the portal recorded, "call " left off.
    std::vector<std::string> calls() const {
        std::vector<std::string> found;
        for (const std::string& line : m_portal->lines()) {
            if (line.rfind("call ", 0) == 0)
                found.push_back(line.substr(5));
        }
        return found;
    }
    size_t countCalls(const std::string& prefix) const {
        size_t n = 0;
        for (const std::string& call : calls())
            n += call.rfind(prefix, 0) == 0;
        return n;
    }
    bool waitForCalls(const std::string& prefix, size_t count = 1) const {
        const auto deadline = Clock::now() + 5s;
        while (countCalls(prefix) < count) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    // The value of "KEY=VALUE" in a recorded call, or "" when it has none.
    static std::string option(const std::string& call, const std::string& key) {
        const auto at = call.find(" " + key + "=");
        if (at == std::string::npos)
            return "";
        const auto begin = at + key.size() + 2;
        return call.substr(begin, call.find(' ', begin) - begin);
    }
    std::string tokenFile() const {
        return (m_state.path() / "pointrelay" / "portal-restore-token").string();
    }

    test::TempDir m_state;
    std::unique_ptr<DaemonProcess> m_portal;
    std::unique_ptr<DaemonProcess> m_daemon;
    uint16_t m_port = 0;
    client::PhoneClient m_phone;
};

TEST_F(DaemonOnPortal, AGrantedSessionCarriesPointerKeysAndText) {
    ASSERT_NO_FATAL_FAILURE(startPortal());
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(connectPhone());
    ASSERT_TRUE(m_phone.sendMove(1, -1));
    ASSERT_TRUE(m_phone.sendClick(0, true));
    ASSERT_TRUE(m_phone.sendClick(0, false));
    ASSERT_TRUE(m_phone.sendScroll(0, 1));
    ASSERT_TRUE(m_phone.sendText(R"({"type":"sys","action":"copy"})"));
    ASSERT_TRUE(m_phone.sendSealedText("\xC3\xA9")); // é
    ASSERT_TRUE(waitForCalls("NotifyKeyboardKeysym", 6)) << m_portal->output();

    const auto all = calls();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[0].rfind("CreateSession ", 0), 0u) << all[0];
    EXPECT_EQ(all[1].rfind("SelectDevices ", 0), 0u) << all[1];
    EXPECT_EQ(option(all[1], "types"), "3");
    EXPECT_EQ(option(all[1], "persist_mode"), ""); // version 1 has none
    EXPECT_EQ(all[2].rfind("Start ", 0), 0u) << all[2];
    const std::vector<std::string> events(all.begin() + 3, all.end());
    const std::vector<std::string> expected = {
        "NotifyPointerMotion 3 -3",     "NotifyPointerButton 272 1",
        "NotifyPointerButton 272 0",    "NotifyPointerAxisDiscrete 0 -1",
        "NotifyKeyboardKeysym 65507 1", "NotifyKeyboardKeysym 99 1",
        "NotifyKeyboardKeysym 99 0",    "NotifyKeyboardKeysym 65507 0",
        "NotifyKeyboardKeysym 233 1",   "NotifyKeyboardKeysym 233 0"};
    EXPECT_EQ(events, expected) << m_portal->output();
    EXPECT_EQ(m_portal->count("refused "), 0u) << m_portal->output();
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

TEST_F(DaemonOnPortal, ARefusedConsentIsLoggedAndThePhoneIsStillServed) {
    ASSERT_NO_FATAL_FAILURE(startPortal({"--start-response", "1", "--consent-delay-ms", "200"}));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(m_daemon->waitFor("[C++] Input: the desktop refused remote input\n", 5s))
        << m_daemon->output();
    ASSERT_NO_FATAL_FAILURE(connectPhone());
    ASSERT_TRUE(m_phone.sendClick(0, true));
    ASSERT_TRUE(m_phone.sendClick(0, false));
    ASSERT_TRUE(m_daemon->waitFor("CLICK: btn=0 up", 3s)) << m_daemon->output();
    ASSERT_NO_FATAL_FAILURE(expectServed());
    EXPECT_EQ(countCalls("Notify"), 0u) << m_portal->output();
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

TEST_F(DaemonOnPortal, ASessionThePortalClosesEndsTheRoute) {
    ASSERT_NO_FATAL_FAILURE(startPortal());
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(connectPhone());
    ASSERT_TRUE(m_phone.sendMove(1, 1));
    ASSERT_TRUE(waitForCalls("NotifyPointerMotion"));
    m_portal->signal(SIGUSR1);
    ASSERT_TRUE(m_portal->waitFor("closed ", 5s));
    ASSERT_TRUE(
        m_daemon->waitFor("Input: the desktop portal closed the remote desktop session\n", 5s))
        << m_daemon->output();
    ASSERT_TRUE(m_phone.sendMove(2, 2));
    ASSERT_TRUE(m_daemon->waitFor("Input: Wayland (desktop portal) has gone", 5s));
    ASSERT_NO_FATAL_FAILURE(expectServed());
    EXPECT_EQ(countCalls("Notify"), 1u) << m_portal->output();
    EXPECT_EQ(m_portal->count("refused "), 0u) << m_portal->output();
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

TEST_F(DaemonOnPortal, TheRestoreTokenIsKeptOwnerOnlyAndPassedOnTheNextStart) {
    ASSERT_NO_FATAL_FAILURE(startPortal({"--version", "2"}));
    std::string issued;
    for (int run = 0; run < 2; ++run) {
        const size_t before = m_portal->count("issued restore_token=");
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        ASSERT_TRUE(waitForCalls("Start", run + 1)) << m_portal->output();
        const auto selects = calls();
        const auto select = std::find_if(selects.rbegin(), selects.rend(), [](const auto& c) {
            return c.rfind("SelectDevices ", 0) == 0;
        });
        ASSERT_NE(select, selects.rend());
        EXPECT_EQ(option(*select, "persist_mode"), "2");
        EXPECT_EQ(option(*select, "restore_token"), issued); // none on the first start

        // The daemon keeps the newest token, for its owner only.
        const auto deadline = Clock::now() + 5s;
        std::string kept;
        while (Clock::now() < deadline) {
            if (m_portal->count("issued restore_token=") > before) {
                const std::string out = m_portal->output();
                const auto at = out.rfind("issued restore_token=") + 21;
                issued = out.substr(at, out.find('\n', at) - at);
                std::ifstream(tokenFile()) >> kept;
                if (kept == issued)
                    break;
            }
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_FALSE(issued.empty()) << m_portal->output();
        EXPECT_EQ(kept, issued);
        struct stat info {};
        ASSERT_EQ(::stat(tokenFile().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        ASSERT_NO_FATAL_FAILURE(stopDaemon());
    }
}

TEST_F(DaemonOnPortal, StoppingWhileThePersonDecidesIsPrompt) {
    ASSERT_NO_FATAL_FAILURE(startPortal({"--consent-delay-ms", "60000"}));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitForCalls("Start"));
    const auto before = Clock::now();
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    EXPECT_LT(Clock::now() - before, 2s);
    EXPECT_TRUE(waitForCalls("Request.Close")) << m_portal->output(); // the dialog goes too
}

} // namespace
} // namespace pointrelay
