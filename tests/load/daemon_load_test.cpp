// SPDX-License-Identifier: MIT
// The built pointrelayd under load over loopback: a flood of silent connections, and a storm of
// short-lived phones sending whatever a phone can send into a real X server. Every loop here is
// bounded in count, and every wait in time.
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/loopback_connect.h"
#include "support/private_network.h"
#include "support/process_status.h"
#include "support/temp_dir.h"

#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <numeric>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>

namespace pointrelay {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using test::DaemonProcess;

constexpr char kPsk[] = "5a17c0de5a17c0de5a17c0de5a17c0de5a17c0de5a17c0de5a17c0de5a17c0de";

// Loopback source addresses spread over 127.N.x.y, so that the per-address bound on pending
// handshakes never decides a test that is about the total bound.
std::string sourceAddress(int net, int i) {
    return "127." + std::to_string(net) + "." + std::to_string(i / 250) + "." +
           std::to_string(1 + i % 250);
}

// A phone connected from a loopback source address (connectLoopback: thousands of closed
// connections must not hold ports that the daemons of later tests bind).
bool connectPhone(client::PhoneClient& phone, uint16_t port, const std::string& source) {
    const int fd = test::connectLoopback(port, source);
    if (fd < 0)
        return false;
    // A daemon that stopped reading fails the test's writes instead of blocking them.
    const timeval sendTimeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    phone.adopt(fd);
    return true;
}

// A PING answered by a PONG: every frame the phone sent before it has been handled.
bool syncWithPing(client::PhoneClient& phone) {
    if (!phone.sendPing())
        return false;
    Bytes body;
    while (phone.recvFrame(body, 5000)) {
        if (body == Bytes{0xFF})
            return true;
    }
    return false;
}

// The largest thread count and resident size the daemon reaches while the sampler runs.
class ResourceSampler {
public:
    explicit ResourceSampler(pid_t pid)
        : m_thread([this, pid] {
              while (!m_stop) {
                  m_threads =
                      std::max(m_threads.load(), test::procStatusField(pid, "Threads").value_or(0));
                  m_rssKiB =
                      std::max(m_rssKiB.load(), test::procStatusField(pid, "VmRSS").value_or(0));
                  std::this_thread::sleep_for(2ms);
              }
          }) {}
    ~ResourceSampler() { stop(); }
    void stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    long maxThreads() const { return m_threads; }
    long maxRssKiB() const { return m_rssKiB; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_threads{0};
    std::atomic<long> m_rssKiB{0};
    std::thread m_thread;
};

class DaemonLoadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // 1,000 connections on each side of loopback; the daemon inherits the limit.
        ASSERT_GE(test::raiseOpenFileLimit(), 2200u) << "too few file descriptors allowed";
        // Where the system allows it, the floods stay in a network of their own; elsewhere the
        // phones' SO_REUSEADDR keeps them from blocking the daemons of other tests.
        test::enterPrivateLoopbackNetwork();
    }
    void SetUp() override { port = test::freePort(); }

    // Without `withDisplay` the daemon has no window system, so that it cannot move the
    // pointer of a real desktop; with it, it uses the X server DISPLAY names.
    std::unique_ptr<DaemonProcess> start(bool withDisplay = false) {
        const std::vector<std::string> args = {POINTRELAYD_PATH,     "--no-mdns", "--port",
                                               std::to_string(port), "--psk",     kPsk};
        std::map<std::string, std::string> env{{"XDG_STATE_HOME", m_state.path().string()},
                                               {"WAYLAND_DISPLAY", ""}};
        if (!withDisplay)
            env["DISPLAY"] = "";
        auto daemon = std::make_unique<DaemonProcess>(args, env);
        EXPECT_TRUE(daemon->waitFor("[C++] Listening on port " + std::to_string(port)));
        return daemon;
    }

    // Waits until `needle` has been logged `count` times. (A "(0 active)" line alone does not
    // say that every departure has been logged: another session may have counted itself down
    // first and still be about to write its line.)
    static bool waitForCount(const DaemonProcess& daemon, const std::string& needle, size_t count,
                             std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (daemon.count(needle) < count && Clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        return daemon.count(needle) == count;
    }

    // A new phone is served at once: it completes its handshake within 1 s.
    void expectAFreshPhoneIsServed() {
        client::PhoneClient phone;
        ASSERT_TRUE(connectPhone(phone, port, "127.0.0.1"));
        EXPECT_TRUE(phone.handshake(kPsk, std::nullopt, 1000));
        EXPECT_TRUE(phone.sendMove(2, 2) && syncWithPing(phone));
    }

    uint16_t port = 0;
    test::TempDir m_state;
};

// Silent connections are closed as they pile up, the ones that waited longest first, and the
// rest when their HELLO time runs out; a phone gets through meanwhile, and the daemon's
// threads and memory stay bounded throughout.
TEST_F(DaemonLoadTest, SilentConnectionsDoNotHoldOffAPhone) {
    constexpr int kSilent = 400, kPendingBound = 32;
    auto daemon = start();
    const pid_t pid = daemon->pid();
    const long baseThreads = test::procStatusField(pid, "Threads").value_or(0);
    const long baseRss = test::procStatusField(pid, "VmRSS").value_or(0);
    ResourceSampler sampler(pid);
    std::vector<client::PhoneClient> silent(kSilent);
    const auto accepted = [&] { return daemon->count("Client connected: "); };
    for (int i = 0; i < kSilent; ++i) {
        // The listen queue holds 16: a faster flood only has its SYNs dropped and retried a
        // second later, which would make the test slow, not harder.
        for (int wait = 0; wait < 2000 && accepted() + 8 < size_t(i); ++wait)
            std::this_thread::sleep_for(100us);
        ASSERT_TRUE(connectPhone(silent[i], port, sourceAddress(4, i / 4)));
    }
    // The daemon closes a connection by hanging up; nothing is ever sent to these.
    const auto open = [&] {
        std::vector<int> indices;
        for (int i = 0; i < kSilent; ++i) {
            pollfd fd{silent[i].fd(), POLLIN, 0};
            if (::poll(&fd, 1, 0) == 0)
                indices.push_back(i);
        }
        return indices;
    };
    std::vector<int> newest(kPendingBound);
    std::iota(newest.begin(), newest.end(), kSilent - kPendingBound);
    for (int i = 0; i < 300 && open().size() > size_t{kPendingBound}; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(open(), newest) << "the oldest are closed first";
    EXPECT_TRUE(daemon->waitFor("Too many pending handshakes -> closing the oldest"));

    expectAFreshPhoneIsServed();
    for (int i = 0; i < 800 && !open().empty(); ++i) // the HELLO time is 5 s
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(open().empty());
    sampler.stop();
    // One thread per pending handshake, plus those of evicted sessions still closing.
    EXPECT_LE(sampler.maxThreads(), baseThreads + 4 * kPendingBound);
    EXPECT_LE(sampler.maxRssKiB(), baseRss + 32 * 1024) << "base " << baseRss << " KiB";
    silent.clear();
    EXPECT_TRUE(waitForCount(*daemon, "Client disconnected (", kSilent + 1, 5s));
}

// One of everything a phone sends, good and bad; false once the daemon has closed on it.
bool sendSomething(client::PhoneClient& phone, std::mt19937& random) {
    static const std::string kTexts[] = {"a",
                                         "h\xC3\xA9llo",
                                         "\xE6\x97\xA5\xE6\x9C\xAC",
                                         "\xF0\x9F\x98\x80",
                                         R"({"type":"sys","action":"copy"})",
                                         R"({"type":"move","dx":2,"dy":-1})",
                                         R"({"type":"sys")"};
    const std::string& text = kTexts[random() % std::size(kTexts)];
    const auto small = [&] { return static_cast<int16_t>(static_cast<int>(random() % 21) - 10); };
    switch (random() % 10) {
    case 0:
    case 1:
        return phone.sendMove(small(), small());
    case 2:
        return phone.sendScroll(small(), small());
    case 3:
        return phone.sendClick(static_cast<uint8_t>(random() % 3), random() % 2);
    case 4:
        return phone.sendText(text);
    case 5:
        return phone.sendSealedText(text);
    case 6: // malformed or unknown frames: logged and skipped
        return phone.sendFrame(random() % 2 ? Bytes{0x11, 0x00} : Bytes{0xAB, 0x01});
    case 7:
        return phone.sendPing();
    case 8: { // a seal that does not open: the daemon closes the session
        Bytes sealed = client::sealRecord(phone.keys(), core::AeadVariant::TextCs,
                                          core::AeadFraming::Offset1NoAad, 7, Bytes{'x'});
        sealed.back() ^= 1;
        phone.sendFrame(sealed);
        return false;
    }
    default: { // a header announcing more than a frame may hold
        static constexpr uint8_t kHuge[] = {0x7F, 0xFF, 0xFF, 0xFF, 0x10};
        phone.sendRaw(kHuge);
        return false;
    }
    }
}

// Phones connect, send a random mix of everything (moves, clicks, scrolls, text and commands
// plain and sealed, malformed frames, tampered seals) and go in every way a connection ends,
// again and again, into a real X server. Within 2 s of the storm's end every session has
// ended, the daemon's threads and memory are back where they were, and a new phone is served
// at once. POINTRELAY_STORM_SECONDS makes the storm longer (4 s unless set).
TEST_F(DaemonLoadTest, StormOfShortLivedPhonesLeavesNothingBehind) {
    if (!std::getenv("POINTRELAY_PRIVATE_X")) // never the pointer of a real desktop
        GTEST_SKIP() << "needs a private X server: the ctest storm_on_x11 runs it under Xvfb";
    constexpr int kPhones = 8;
    const char* seconds = std::getenv("POINTRELAY_STORM_SECONDS");
    const auto stormTime = std::chrono::seconds(seconds ? std::atoi(seconds) : 4);
    auto daemon = start(true);
    ASSERT_TRUE(daemon->waitFor("Input: X11 (XTest)"));
    const pid_t pid = daemon->pid();
    const long baseThreads = test::procStatusField(pid, "Threads").value_or(0);
    expectAFreshPhoneIsServed(); // the adapter's lazy state exists before the baseline
    for (int i = 0; i < 200 && test::procStatusField(pid, "Threads") != baseThreads; ++i)
        std::this_thread::sleep_for(10ms);
    const long baseRss = test::procStatusField(pid, "VmRSS").value_or(0);

    ResourceSampler sampler(pid);
    std::vector<std::thread> phones;
    const auto stormEnd = Clock::now() + stormTime;
    for (int t = 0; t < kPhones; ++t)
        phones.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            for (int i = 0; Clock::now() < stormEnd; ++i) {
                client::PhoneClient phone;
                if (!connectPhone(phone, port, sourceAddress(9, t * 1000 + i % 1000)))
                    continue;
                if (random() % 8 != 0 && phone.handshake(kPsk, std::nullopt, 2000)) {
                    for (int frames = static_cast<int>(random() % 40);
                         frames > 0 && sendSomething(phone, random); --frames) {
                    }
                }
                switch (random() % 4) { // how the connection ends
                case 0: {
                    const linger reset{1, 0};
                    ::setsockopt(phone.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                    break;
                }
                case 1:
                    ::shutdown(phone.fd(), SHUT_WR);
                    break;
                case 2: {
                    static constexpr uint8_t kPartialHeader[] = {0, 0};
                    phone.sendRaw(kPartialHeader);
                    break;
                }
                default:
                    break;
                }
            }
        });
    for (auto& phone : phones)
        phone.join();
    const auto ended = Clock::now();

    const size_t connected = daemon->count("Client connected (");
    EXPECT_TRUE(waitForCount(*daemon, "Client disconnected (", connected, 2s))
        << daemon->count("Client disconnected (") << " of " << connected << " ended";
    const auto drained = Clock::now() - ended;
    for (int i = 0; i < 200 && test::procStatusField(pid, "Threads") != baseThreads; ++i)
        std::this_thread::sleep_for(10ms);
    sampler.stop();
    EXPECT_LE(Clock::now() - ended, 2s);
    EXPECT_EQ(test::procStatusField(pid, "Threads"), baseThreads);
    EXPECT_LE(test::procStatusField(pid, "VmRSS").value_or(0), baseRss + 16 * 1024)
        << "base " << baseRss << " KiB";
    std::printf("storm: %zu sessions in %lld s; peak %ld threads, %ld MB; drained in %lld ms\n",
                connected, static_cast<long long>(stormTime.count()), sampler.maxThreads(),
                sampler.maxRssKiB() / 1024,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(drained).count()));
    expectAFreshPhoneIsServed();
    EXPECT_EQ(daemon->count("X11 error"), 0u);
}

} // namespace
} // namespace pointrelay
