// SPDX-License-Identifier: MIT
// The built pointrelayd, driven over loopback exactly as a phone would drive it.
#include "core/options.h"
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/private_network.h"
#include "support/temp_dir.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace pointrelay {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::DaemonProcess;

constexpr char kPsk[] = "0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0";

// ASan and TSan reserve terabytes of shadow address space at start-up, so a sanitized daemon
// cannot start under an address-space limit at all.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif
#else
constexpr bool kSanitizedBuild = false;
#endif

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override { port = test::freePort(); }

    std::unique_ptr<DaemonProcess> start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {POINTRELAYD_PATH,     "--no-mdns", "--port",
                                         std::to_string(port), "--psk",     kPsk};
        args.insert(args.end(), extra.begin(), extra.end());
        auto daemon = std::make_unique<DaemonProcess>(
            args, std::map<std::string, std::string>{{"XDG_STATE_HOME", m_state.string()}});
        EXPECT_TRUE(daemon->waitFor("[C++] Listening on port " + std::to_string(port)));
        return daemon;
    }

    client::PhoneClient phone(const std::optional<std::string>& source = std::nullopt) {
        client::PhoneClient client;
        EXPECT_TRUE(client.connect("127.0.0.1", port, source)) << std::strerror(errno);
        return client;
    }

    uint16_t port = 0;
    test::TempDir m_stateDir;
    const fs::path& m_state = m_stateDir.path();
};

TEST_F(DaemonTest, UsageErrorsAndABusyPortExitWithStatus1) {
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--help"}, {"--port", "none"}, {"--grace", "99999999999"}}) {
        std::vector<std::string> args{POINTRELAYD_PATH};
        args.insert(args.end(), bad.begin(), bad.end());
        DaemonProcess daemon(args);
        EXPECT_EQ(daemon.waitExit(5s), 1);
        EXPECT_EQ(daemon.output(), "[C++] AEAD build=ON\n" + core::usageText(POINTRELAYD_PATH));
    }
    auto first = start();
    DaemonProcess second({POINTRELAYD_PATH, "--no-mdns", "--port", std::to_string(port)},
                         {{"XDG_STATE_HOME", m_state.string()}});
    EXPECT_EQ(second.waitExit(5s), 1);
    EXPECT_EQ(second.count("bind: Address already in use"), 1u);
}

TEST_F(DaemonTest, ServesPhonesPingsIdlersAndReportsStatistics) {
    auto daemon = start({"--stat-ms", "1000", "--ping-ms", "1000", "--idle-ms", "0"});
    // The key is read, then wiped from the command line others can see.
    std::ifstream cmdline("/proc/" + std::to_string(daemon->pid()) + "/cmdline");
    const std::string text((std::istreambuf_iterator<char>(cmdline)), {});
    EXPECT_TRUE(text.find("--psk") != std::string::npos &&
                text.find("0f1e2d") == std::string::npos);
    ASSERT_TRUE(daemon->waitFor("STAT move=0 scroll=0 rateMove=0.000000 rateScroll=0.000000", 3s));
    auto client = phone();
    ASSERT_TRUE(client.handshake(kPsk));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(client.sendMove(3, -3));
    ASSERT_TRUE(client.sendScroll(0, 4) && client.sendClick(0, true));
    ASSERT_TRUE(daemon->waitFor("STAT move=10 scroll=1 rateMove=", 3s));
    EXPECT_EQ(daemon->count("[C++] CLICK: btn=0 down"), 1u);
    // Silent now: a PING after a second (--ping-ms), then the idle limit (0 is raised to 1 s).
    std::vector<uint8_t> ping;
    ASSERT_TRUE(client.recvFrame(ping, 2500));
    EXPECT_EQ(ping, std::vector<uint8_t>{0xFE});
    EXPECT_TRUE(client.waitForClose(3000));
    EXPECT_TRUE(daemon->waitFor("[C++] Idle timeout -> closing"));
    std::set<core::HandshakeNonce> nonces; // straight from the system's random source
    for (int i = 0; i < 30; ++i) {
        auto next = phone();
        ASSERT_TRUE(next.handshake(kPsk));
        EXPECT_TRUE(nonces.insert(next.serverNonce()).second);
    }
}

// Without --psk anyone who has read the built-in key could drive the desktop: such a daemon
// answers this machine only. Checked in a network namespace of the test's own that has a
// second, non-loopback address.
TEST_F(DaemonTest, WithTheBuiltInKeyOnlyLoopbackReachesIt) {
    bool isolated = false;
    std::thread([&] {
        isolated = test::enterPrivateLoopbackNetwork() &&
                   std::system("ip addr add 10.77.0.1/32 dev lo 2>/dev/null") == 0;
        for (const bool ownKey : {false, true}) {
            if (!isolated)
                return;
            std::vector<std::string> args{POINTRELAYD_PATH, "--no-mdns", "--port",
                                          std::to_string(port)};
            if (ownKey)
                args.insert(args.end(), {"--psk", kPsk});
            DaemonProcess daemon(args);
            ASSERT_TRUE(daemon.waitFor("[C++] Listening on port"));
            EXPECT_EQ(daemon.count("[C++] No --psk given: the built-in key is public, listening "
                                   "on 127.0.0.1 only"),
                      ownKey ? 0u : 1u);
            client::PhoneClient outside, local;
            EXPECT_EQ(outside.connect("10.77.0.1", port), ownKey);
            ASSERT_TRUE(local.connect("127.0.0.1", port));
            EXPECT_TRUE(local.handshake(ownKey ? kPsk : core::kBuiltInPsk));
        }
    }).join();
    if (!isolated)
        GTEST_SKIP() << "no private network namespace (needs CAP_SYS_ADMIN and iproute2)";
}

// SIGTERM or SIGINT stops the daemon within a second: every session, authenticated or still
// waiting for its HELLO, ends with its line, then "Server stopped", status 0. Each round is
// one more chance for a session thread to still hand back library state at exit.
TEST_F(DaemonTest, StopsPromptlyAndEndsEverySession) {
    for (const int signal : {SIGTERM, SIGINT, SIGTERM}) {
        auto daemon = start();
        std::vector<client::PhoneClient> phones;
        for (int i = 0; i < 6; ++i) {
            phones.push_back(phone());
            ASSERT_TRUE(phones.back().handshake(kPsk));
        }
        phones.push_back(phone()); // silent
        ASSERT_TRUE(daemon->waitFor("Client connected (7 active)"));
        const auto before = std::chrono::steady_clock::now();
        daemon->signal(signal);
        EXPECT_EQ(daemon->waitExit(3s), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1500ms);
        EXPECT_EQ(daemon->lines().back(), "[C++] Server stopped");
        EXPECT_EQ(daemon->count("Client disconnected ("), 7u);
    }
}

TEST_F(DaemonTest, ReplayedHelloIsRefusedAlsoAfterARestart) {
    const core::HandshakeNonce nonce = {7, 7, 7, 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    {
        auto daemon = start();
        auto first = phone();
        ASSERT_TRUE(first.handshake(kPsk, nonce));
        daemon->signal(SIGTERM);
        EXPECT_EQ(daemon->waitExit(3s), 0);
    }
    struct stat info {};
    ASSERT_EQ(::stat((m_state / "pointrelay" / "replay-nonces").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    auto restarted = start();
    auto replay = phone();
    EXPECT_FALSE(replay.handshake(kPsk, nonce));
    EXPECT_TRUE(restarted->waitFor("[C++] Handshake: replayed HELLO"));
    auto fresh = phone();
    EXPECT_TRUE(fresh.handshake(kPsk));
}

// When no thread can be had for a session, its connection is closed and the daemon serves on.
TEST_F(DaemonTest, SessionThatCannotStartIsClosedAndLogged) {
    if (kSanitizedBuild)
        GTEST_SKIP() << "a sanitized daemon cannot run under an address-space limit";
    // Each session thread reserves an 8 MiB stack, so a 160 MiB address space runs out quickly.
    DaemonProcess daemon({POINTRELAYD_PATH, "--no-mdns", "--port", std::to_string(port)},
                         {{"XDG_STATE_HOME", m_state.string()}}, 160u << 20);
    ASSERT_TRUE(daemon.waitFor("Listening on port"));
    std::vector<client::PhoneClient> held;
    for (int i = 0; i < 40 && daemon.count("Session thread could not be started") == 0; ++i) {
        held.push_back(phone("127.0.0." + std::to_string(2 + i)));
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(daemon.waitFor("[C++] Session thread could not be started -> connection closed"));
    EXPECT_TRUE(held.back().waitForClose(2000));
    held.clear(); // the sessions end, their threads go, and a new phone is served again
    ASSERT_TRUE(daemon.waitFor("Client disconnected (0 active)"));
    auto client = phone();
    EXPECT_TRUE(client.handshake(core::kBuiltInPsk));
}

TEST_F(DaemonTest, BackgroundModeDetachesAndKeepsServing) {
    DaemonProcess launcher(
        {POINTRELAYD_PATH, "--daemon", "--no-mdns", "--port", std::to_string(port), "--psk", kPsk},
        {{"XDG_STATE_HOME", m_state.string()}});
    EXPECT_EQ(launcher.waitExit(5s), 0);
    client::PhoneClient client;
    for (int i = 0; i < 100 && !client.connect("127.0.0.1", port); ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(client.handshake(kPsk));
    // The detached grandchild, found by the port it listens on.
    const auto listener = [&]() -> pid_t {
        for (const auto& entry : fs::directory_iterator("/proc")) {
            std::ifstream in(entry.path() / "cmdline");
            const std::string cmd((std::istreambuf_iterator<char>(in)), {});
            if (cmd.find("--daemon") != std::string::npos &&
                cmd.find(std::string("--port") + '\0' + std::to_string(port) + '\0') !=
                    std::string::npos)
                return std::stoi(entry.path().filename());
        }
        return -1;
    }();
    ASSERT_GT(listener, 0);
    ::kill(listener, SIGTERM);
    EXPECT_TRUE(client.waitForClose(3000));
}

} // namespace
} // namespace pointrelay
