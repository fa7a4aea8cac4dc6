// SPDX-License-Identifier: MIT
// The built pointrelayd, driven over loopback exactly as a phone would drive it.
#include "core/options.h"
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/temp_dir.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <set>

namespace pointrelay {
namespace {

using namespace std::chrono_literals;
using test::DaemonProcess;

constexpr char kPsk[] = "0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0";

struct DaemonTest : ::testing::Test {
    auto start(const std::vector<std::string>& args = {"--psk", kPsk}) {
        return test::startDaemon(port, state.path(), args);
    }
    client::PhoneClient phone() {
        client::PhoneClient client;
        EXPECT_TRUE(client.connect("127.0.0.1", port));
        return client;
    }

    uint16_t port = test::freePort();
    test::TempDir state;
};

TEST_F(DaemonTest, UsageErrorsAndABusyPortExitWithStatus1) {
    // One usage error for all: every refusal goes the same way (CommandLine's test has each).
    DaemonProcess usage({POINTRELAYD_PATH, "--port", "none"});
    EXPECT_EQ(usage.waitExit(5s), 1);
    EXPECT_EQ(usage.output(), "[C++] AEAD build=ON\n" + core::usageText(POINTRELAYD_PATH));
    // An empty or short key (a key file that was empty, a typo) would open the desktop to
    // anyone on the network: refused before anything listens.
    for (const char* key : {"", "0123456789abcde"}) {
        DaemonProcess weak(
            {POINTRELAYD_PATH, "--no-mdns", "--port", std::to_string(port), "--psk", key});
        EXPECT_EQ(weak.waitExit(5s), 1);
        EXPECT_EQ(weak.count("[C++] --psk is shorter than 16 characters: not serving"), 1u);
        EXPECT_EQ(weak.count("Listening"), 0u);
    }
    auto first = start({"--psk", kPsk, "--port", "70000"}); // refused, and said
    EXPECT_EQ(first->count("[C++] --port 70000 refused (1024 to 65535): port " +
                           std::to_string(port) + " is used"),
              1u);
    DaemonProcess second({POINTRELAYD_PATH, "--no-mdns", "--port", std::to_string(port)},
                         {{"XDG_STATE_HOME", state.path().string()}});
    EXPECT_EQ(second.waitExit(5s), 1);
    EXPECT_EQ(second.count("bind: Address already in use"), 1u);
}

// A phone's frames are counted in the statistics; a silent one is pinged, then closed by the
// idle limit. SIGINT or SIGTERM stops the daemon within a second: every session, authenticated
// or still waiting for its HELLO, ends with its line, then "Server stopped", status 0. A HELLO
// seen before the restart is refused after it; a forged one with its nonce did not lock it out.
TEST_F(DaemonTest, ServesPhonesPingsIdlersStopsPromptlyAndRemembersHellos) {
    auto daemon =
        start({"--psk", kPsk, "--stat-ms", "1000", "--ping-ms", "1000", "--idle-ms", "0"});
    std::ifstream cmdline("/proc/" + std::to_string(daemon->pid()) + "/cmdline");
    const std::string arguments((std::istreambuf_iterator<char>(cmdline)), {});
    EXPECT_TRUE(arguments.find("--psk") != std::string::npos &&
                arguments.find("0f1e2d") == std::string::npos); // the key is wiped
    ASSERT_TRUE(daemon->waitFor("STAT move=0 scroll=0 rateMove=0.000000 rateScroll=0.000000", 3s));
    const core::HandshakeNonce nonce = {7, 7, 7, 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_FALSE(phone().handshake("a forged key", nonce)); // not remembered: it failed its MAC
    auto client = phone();
    ASSERT_TRUE(client.handshake(kPsk, nonce));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(client.sendMove(3, -3));
    ASSERT_TRUE(client.sendScroll(0, 4));
    ASSERT_TRUE(daemon->waitFor("STAT move=10 scroll=1 rateMove=", 3s));
    // Silent now: a PING after a second (--ping-ms), then the idle limit (0 is raised to 1 s).
    std::vector<uint8_t> ping;
    ASSERT_TRUE(client.recvFrame(ping, 2500) && ping == std::vector<uint8_t>{0xFE});
    EXPECT_TRUE(client.waitForClose(3000) && daemon->waitFor("[C++] Idle timeout -> closing"));

    std::vector<client::PhoneClient> phones;
    std::set<core::HandshakeNonce> nonces; // straight from the system's random source
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(phones.emplace_back(phone()).handshake(kPsk) &&
                    nonces.insert(phones.back().serverNonce()).second);
    phones.push_back(phone()); // silent
    ASSERT_TRUE(daemon->waitFor("Client connected (21 active)"));
    for (const int signal : {SIGINT, SIGTERM}) {
        daemon->signal(signal);
        EXPECT_EQ(daemon->waitExit(3s), 0);
        EXPECT_EQ(daemon->lines().back(), "[C++] Server stopped");
        EXPECT_EQ(daemon->count("Client disconnected ("), signal == SIGINT ? 23u : 2u);
        daemon = start();
        auto replay = phone(), fresh = phone();
        EXPECT_TRUE(!replay.handshake(kPsk, nonce) &&
                    daemon->waitFor("[C++] Handshake: replayed HELLO") && fresh.handshake(kPsk));
    }
}

// Without --psk anyone who has read the built-in key could drive the desktop: such a daemon
// answers this machine only. It listens on 127.0.0.1 alone, so another loopback address (as
// any other interface's would) finds nobody there.
TEST_F(DaemonTest, WithTheBuiltInKeyOnlyLoopbackReachesIt) {
    for (const bool ownKey : {false, true}) {
        auto daemon =
            start(ownKey ? std::vector<std::string>{"--psk", kPsk} : std::vector<std::string>{});
        EXPECT_EQ(daemon->count("[C++] No --psk given: the built-in key is public, listening "
                                "on 127.0.0.1 only"),
                  ownKey ? 0u : 1u);
        client::PhoneClient other, local;
        EXPECT_EQ(other.connect("127.0.0.2", port), ownKey);
        EXPECT_TRUE(local.connect("127.0.0.1", port) &&
                    local.handshake(ownKey ? kPsk : core::kBuiltInPsk));
    }
}

} // namespace
} // namespace pointrelay
