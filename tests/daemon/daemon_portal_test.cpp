// SPDX-License-Identifier: MIT
// pointrelayd on the desktop portal route (POINTRELAY_INPUT=portal) against a mock portal
// (tests/support/portal/mock_portal.py) on a private session bus: run under
// tests/scripts/with_session_bus.sh. Each test starts its own mock, scripted to grant, refuse
// or wait, and reads the calls it records.
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/temp_dir.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>

namespace pointrelay {
namespace {

using namespace std::chrono_literals;
using test::DaemonProcess;
using Lines = std::vector<std::string>;

struct DaemonOnPortal : ::testing::Test {
    void SetUp() override {
        ASSERT_TRUE(std::getenv("DBUS_SESSION_BUS_ADDRESS")) << "run under with_session_bus.sh";
        if (std::system("/usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null") != 0)
            GTEST_SKIP() << "/usr/bin/python3 with gi (python3-gi) is needed for the mock portal";
    }
    void startPortal(std::vector<std::string> options) {
        options.insert(options.begin(), {"/usr/bin/python3", MOCK_PORTAL_PATH});
        portal = std::make_unique<DaemonProcess>(options);
        ASSERT_TRUE(portal->waitFor("ready\n", 10s)) << portal->output();
    }
    // A daemon on the portal route, with a phone connected to it.
    void startDaemon() {
        const uint16_t port = test::freePort();
        daemon = test::startDaemon(port, state.path(), {}, {{"POINTRELAY_INPUT", "portal"}});
        ASSERT_EQ(daemon->count("[C++] Input: Wayland (desktop portal)\n"), 1u) << daemon->output();
        phone = client::PhoneClient();
        ASSERT_TRUE(phone.connect("127.0.0.1", port) && phone.handshake("set-a-real-psk-here-00"));
    }
    void stopDaemon() {
        daemon->signal(SIGTERM);
        ASSERT_EQ(daemon->waitExit(5s), 0) << daemon->output(); // the consent wait ends too
    }
    // The calls the portal recorded that start with `prefix`, "call " left off.
    Lines calls(const std::string& prefix = "") const {
        Lines found;
        for (const std::string& line : portal->lines())
            if (line.starts_with("call " + prefix))
                found.push_back(line.substr(5));
        return found;
    }
    bool waitForCalls(const std::string& prefix, size_t count) const {
        return test::eventually([&] { return calls(prefix).size() >= count; });
    }
    // The value of KEY in the last SelectDevices call, or "" when it has none.
    std::string selected(const std::string& key) const {
        std::smatch value;
        const std::string call = calls("SelectDevices").back();
        return std::regex_search(call, value, std::regex(" " + key + "=(\\S*)")) ? value[1].str()
                                                                                 : "";
    }

    test::TempDir state;
    std::unique_ptr<DaemonProcess> portal, daemon;
    client::PhoneClient phone;
};

// A granted session carries the phone's input; the token that keeps the person's permission is
// kept for its owner only and handed back on the next start; a session the portal closes
// ends the route, and the phone is still served.
TEST_F(DaemonOnPortal, AGrantedSessionCarriesInputKeepsItsTokenAndMayBeClosed) {
    ASSERT_NO_FATAL_FAILURE(startPortal({"--version", "2"}));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(phone.sendMove(1, -1) && phone.sendClick(0, true) && phone.sendClick(0, false));
    ASSERT_TRUE(phone.sendScroll(0, 1) && phone.sendText(R"({"type":"sys","action":"copy"})"));
    ASSERT_TRUE(phone.sendSealedText("\xC3\xA9")); // é
    ASSERT_TRUE(waitForCalls("Notify", 10)) << portal->output();
    const Lines all = calls();
    ASSERT_EQ(all.size(), 13u) << portal->output();
    EXPECT_TRUE(all[0].starts_with("CreateSession ") && all[1].starts_with("SelectDevices ") &&
                all[2].starts_with("Start "))
        << portal->output();
    EXPECT_EQ((Lines{selected("types"), selected("persist_mode"), selected("restore_token")}),
              (Lines{"3", "2", ""}));
    EXPECT_EQ(Lines(all.begin() + 3, all.end()),
              (Lines{"NotifyPointerMotion 3 -3", "NotifyPointerButton 272 1",
                     "NotifyPointerButton 272 0", "NotifyPointerAxisDiscrete 0 -1",
                     "NotifyKeyboardKeysym 65507 1", "NotifyKeyboardKeysym 99 1",
                     "NotifyKeyboardKeysym 99 0", "NotifyKeyboardKeysym 65507 0",
                     "NotifyKeyboardKeysym 233 1", "NotifyKeyboardKeysym 233 0"}));
    const std::string out = portal->output();
    const size_t at = out.find("issued restore_token=") + 21;
    ASSERT_NE(at, 20u) << out;
    const std::string token = out.substr(at, out.find('\n', at) - at);
    const auto file = state.path() / "pointrelay" / "portal-restore-token";
    std::string kept;
    EXPECT_TRUE(test::eventually([&] { return std::ifstream(file) >> kept, kept == token; }))
        << kept;
    EXPECT_EQ(std::filesystem::status(file).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(daemon->count("restore token could not be kept"), 0u) << daemon->output();

    portal->signal(SIGUSR1);
    ASSERT_TRUE(daemon->waitFor("Input: the desktop portal closed the remote desktop session\n"))
        << daemon->output();
    ASSERT_TRUE(phone.sendMove(2, 2));
    ASSERT_TRUE(daemon->waitFor("Input: Wayland (desktop portal) has gone"));
    EXPECT_TRUE(test::pingRoundTrip(phone)); // the phone is still served
    EXPECT_EQ(calls("Notify").size(), 10u);
    // The route opens again by itself, with the token kept: no dialog, and a new token kept.
    ASSERT_TRUE(daemon->waitFor("Input: Wayland (desktop portal) is back")) << daemon->output();
    ASSERT_TRUE(waitForCalls("Start", 2) && selected("restore_token") == token) << portal->output();
    EXPECT_TRUE(test::eventually([&] { return std::ifstream(file) >> kept, kept != token; }));
    EXPECT_EQ(portal->count("refused "), 0u) << portal->output();
    ASSERT_NO_FATAL_FAILURE(stopDaemon());

    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitForCalls("Start", 3) && selected("restore_token") == kept) << portal->output();
    ASSERT_NO_FATAL_FAILURE(stopDaemon());

    // A token that cannot be kept (a folder in its place) is told, not taken as kept.
    std::filesystem::remove(file);
    std::filesystem::create_directories(file / "x");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    EXPECT_TRUE(daemon->waitFor("restore token could not be kept")) << daemon->output();
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

TEST_F(DaemonOnPortal, ARefusedConsentIsLoggedAndThePhoneIsStillServed) {
    ASSERT_NO_FATAL_FAILURE(startPortal({"--start-response", "1", "--consent-delay-ms", "200"}));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(daemon->waitFor("[C++] Input: the desktop refused remote input\n"))
        << daemon->output();
    ASSERT_TRUE(phone.sendClick(0, true) && phone.sendClick(0, false));
    ASSERT_TRUE(daemon->waitFor("CLICK: btn=0 up")) << daemon->output();
    EXPECT_TRUE(test::pingRoundTrip(phone)); // the phone is still served
    EXPECT_EQ(calls("Notify").size(), 0u) << portal->output();
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

// A portal of version 1 keeps no permission; a daemon stopped while the person decides stops
// at once and takes the dialog with it.
TEST_F(DaemonOnPortal, StoppingWhileThePersonDecidesClosesTheDialog) {
    ASSERT_NO_FATAL_FAILURE(startPortal({"--consent-delay-ms", "60000"}));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitForCalls("Start", 1) && selected("persist_mode").empty()) << portal->output();
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
    EXPECT_TRUE(waitForCalls("Request.Close", 1)) << portal->output();
}

} // namespace
} // namespace pointrelay
