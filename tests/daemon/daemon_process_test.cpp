// SPDX-License-Identifier: MIT
// The built pointrelayd, driven over loopback exactly as a phone would drive it.
#include "core/options.h"
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/temp_dir.h"

#include <csignal>
#include <filesystem>
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

// Keys one a line with their devices' names: each key opens its own sessions, is logged by
// name, has its own replay memory, and a key that SIGHUP finds gone ends its open session at
// once and opens nothing more, while the others go on.
TEST_F(DaemonTest, PairedDevicesEachHaveTheirKeyAndRemovedOnesEndAtOnce) {
    const auto file = state.path() / "devices";
    const auto writeKeys = [&](const std::string& text, std::filesystem::perms perms) {
        std::ofstream(file) << text;
        std::filesystem::permissions(file, perms);
    };
    const std::string tablet(64, 'b');
    const core::HandshakeNonce nonce{1, 2, 3};
    // A key that served alone before keeps its replay memory in the list.
    auto daemon = start({"--psk", kPsk});
    ASSERT_TRUE(phone().handshake(kPsk, nonce));
    daemon.reset();
    using std::filesystem::perms;
    writeKeys(std::string(kPsk) + " Phone 1\nshort Bad\n\n# comment\n" + tablet + " Tab\\let\n",
              perms::owner_read | perms::group_read);
    DaemonProcess shared({POINTRELAYD_PATH, "--no-mdns", "--keys-file", file.string()});
    EXPECT_EQ(shared.waitExit(5s), 1);
    EXPECT_EQ(shared.count("[C++] Keys file unusable: not serving"), 1u);
    DaemonProcess both({POINTRELAYD_PATH, "--psk", kPsk, "--keys-file", file.string()});
    EXPECT_EQ(both.waitExit(5s), 1);

    std::filesystem::permissions(file, perms::owner_read | perms::owner_write);
    daemon = start({"--keys-file", file.string()});
    EXPECT_EQ(daemon->count("[C++] Keys file line 2 ignored: not a key of at least 16 "
                            "characters, a space and a name"),
              1u);
    EXPECT_EQ(daemon->count("[C++] Keys: 2 devices"), 1u);
    auto phone1 = phone(), tab = phone();
    EXPECT_FALSE(phone().handshake(kPsk, nonce));
    ASSERT_TRUE(phone1.handshake(kPsk) && tab.handshake(tablet, nonce));
    EXPECT_TRUE(daemon->waitFor("[C++] Handshake: OK (Phone 1)") &&
                daemon->waitFor("[C++] Handshake: OK (Tab\\x5Clet)"));
    EXPECT_FALSE(phone().handshake(tablet, nonce));
    EXPECT_TRUE(
        test::eventually([&] { return daemon->count("[C++] Handshake: replayed HELLO") == 2; }));

    writeKeys(std::string(kPsk) + " Phone 1\n", perms::owner_read | perms::owner_write);
    daemon->signal(SIGHUP);
    EXPECT_TRUE(tab.waitForClose(1000));
    EXPECT_TRUE(daemon->waitFor("[C++] Device removed (Tab\\x5Clet) -> closing") &&
                daemon->waitFor("[C++] Keys reloaded: 1 devices"));
    EXPECT_FALSE(phone().handshake(tablet));
    EXPECT_TRUE(daemon->waitFor("[C++] Handshake: HMAC mismatch"));
    EXPECT_TRUE(test::pingRoundTrip(phone1) && phone().handshake(kPsk));
    std::filesystem::remove(file);
    daemon->signal(SIGHUP);
    EXPECT_TRUE(daemon->waitFor("[C++] Keys file unusable on reload: keeping 1 devices"));
    EXPECT_TRUE(test::pingRoundTrip(phone1));
    phone1.close();
    EXPECT_TRUE(daemon->waitFor("[C++] Session ended (Phone 1)"));

    // The most a list holds: every one of 64 keys opens a session, a 65th is left out.
    std::string keys;
    for (int i = 0; i <= 64; ++i)
        keys += std::string(60, 'c') + std::to_string(1000 + i) + " Phone " +
                std::to_string(i + 1) + "\n";
    writeKeys(keys, perms::owner_read | perms::owner_write);
    daemon->signal(SIGHUP);
    ASSERT_TRUE(daemon->waitFor("[C++] Keys reloaded: 64 devices"));
    EXPECT_EQ(daemon->count("[C++] Keys file lists more than 64 devices: the first 64 are used"),
              1u);
    for (int i = 0; i <= 64; ++i)
        EXPECT_EQ(phone().handshake(std::string(60, 'c') + std::to_string(1000 + i)), i < 64);
}

} // namespace
} // namespace pointrelay
