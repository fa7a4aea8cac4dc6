// SPDX-License-Identifier: MIT
// The built pointrelayd under load over loopback: a flood of silent connections, and a storm of
// short-lived phones sending whatever a phone can send into a real X server. Every loop here is
// bounded in count, and every wait in time.
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/temp_dir.h"

#include <arpa/inet.h>
#include <fstream>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <numeric>
#include <poll.h>
#include <random>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace pointrelay {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using test::eventually;

constexpr char kPsk[] = "5a17c0de5a17c0de5a17c0de5a17c0de5a17c0de5a17c0de5a17c0de5a17c0de";

// Loopback source addresses spread over 127.N.x.y, so that the per-address bound on pending
// handshakes never decides a test that is about the total bound.
std::string sourceAddress(int net, int i) {
    return "127." + std::to_string(net) + "." + std::to_string(i / 250) + "." +
           std::to_string(1 + i % 250);
}

// A phone connected from `source` (any 127.x.y.z) to 127.0.0.1:`port`, Nagle off; false on
// failure. The socket has SO_REUSEADDR: when it closes first, its port stays in TIME_WAIT for a
// minute, and only then does that not keep a daemon started meanwhile (by any test) from
// binding the port. Floods of thousands of connections need this.
bool connectPhone(client::PhoneClient& phone, uint16_t port, const std::string& source) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    const timeval sendTimeout{5, 0}; // a daemon that stopped reading fails the writes instead
    sockaddr_in local{AF_INET, 0, {}, {}},
        remote{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    phone.adopt(fd); // closed with the phone, also when the connection fails
    return ::inet_pton(AF_INET, source.c_str(), &local.sin_addr) == 1 &&
           ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
           ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
}

// A numeric field of /proc/PID/status ("Threads"; "VmRSS" in KiB); nothing when the process is
// gone or has no such field.
std::optional<long> procStatusField(pid_t pid, std::string_view field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':')
            return std::stol(line.substr(field.size() + 1));
    return std::nullopt;
}

struct DaemonLoadTest : ::testing::Test {
    static void SetUpTestSuite() {
        // 1,000 connections on each side of loopback; the daemon inherits the limit.
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        ASSERT_TRUE(::setrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur >= 2200)
            << "too few file descriptors allowed";
        // Where the system allows it (CAP_SYS_ADMIN), the floods stay in a network of their own
        // with only loopback, up, and take their TIME_WAIT ports with them; elsewhere the
        // phones' SO_REUSEADDR keeps them from blocking the daemons of other tests.
        if (::unshare(CLONE_NEWNET) == 0) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ifreq lo{{"lo"}, {.ifru_flags = IFF_UP}}; // the flags that the kernel owns stay
            ASSERT_EQ(::ioctl(fd, SIOCSIFFLAGS, &lo), 0);
            ::close(fd);
        }
    }

    // Without `withDisplay` the daemon has no window system, so that it cannot move the
    // pointer of a real desktop; with it, it uses the X server DISPLAY names.
    auto start(bool withDisplay = false) {
        std::map<std::string, std::string> env{{"WAYLAND_DISPLAY", ""}};
        if (!withDisplay)
            env["DISPLAY"] = "";
        auto daemon = test::startDaemon(port, m_state.path(), {"--psk", kPsk}, env);
        EXPECT_EQ(daemon->count("[C++] Listening on port "), 1u);
        return daemon;
    }

    // A new phone is served at once: it completes its handshake within 1 s.
    void expectAFreshPhoneIsServed() {
        client::PhoneClient phone;
        ASSERT_TRUE(connectPhone(phone, port, "127.0.0.1"));
        EXPECT_TRUE(phone.handshake(kPsk, std::nullopt, 1000));
        EXPECT_TRUE(phone.sendMove(2, 2) && test::pingRoundTrip(phone));
    }

    uint16_t port = test::freePort();
    test::TempDir m_state;
};

// Silent connections are closed as they pile up, the ones that waited longest first, and the
// rest when their HELLO time runs out; a phone gets through meanwhile. (The storm below checks
// that threads and memory go back to idle.)
TEST_F(DaemonLoadTest, SilentConnectionsDoNotHoldOffAPhone) {
    constexpr int kSilent = 400, kPendingBound = 32;
    auto daemon = start();
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
        for (int i = 0; i < kSilent; ++i)
            if (pollfd fd{silent[i].fd(), POLLIN, 0}; ::poll(&fd, 1, 0) == 0)
                indices.push_back(i);
        return indices;
    };
    std::vector<int> newest(kPendingBound);
    std::iota(newest.begin(), newest.end(), kSilent - kPendingBound);
    eventually([&] { return open().size() <= size_t{kPendingBound}; }, 3s);
    EXPECT_EQ(open(), newest) << "the oldest are closed first"; // (said so: the unit test)

    expectAFreshPhoneIsServed();
    EXPECT_TRUE(eventually([&] { return open().empty(); }, 8s)); // the HELLO time is 5 s
    silent.clear();
    EXPECT_TRUE(eventually([&] { return daemon->count("Client disconnected (") == kSilent + 1; }));
}

// One of everything a phone sends, good and bad; false once the daemon has closed on it.
bool sendSomething(client::PhoneClient& phone, std::mt19937& random) {
    static const std::vector<std::string> kTexts(
        {"a", "h\xC3\xA9llo", "\xF0\x9F\x98\x80", R"({"type":"sys","action":"copy"})",
         R"({"type":"move","dx":2,"dy":-1})", R"({"type":"sys")"});
    const std::string& text = kTexts[random() % kTexts.size()];
    const auto small = [&] { return int16_t(int(random() % 21) - 10); };
    Bytes sealed = client::sealRecord(phone.keys(), core::AeadVariant::TextCs,
                                      core::AeadFraming::Offset1NoAad, 7, Bytes{'x'});
    sealed.back() ^= 1;
    switch (random() % 10) {
    case 2:
        return phone.sendScroll(small(), small());
    case 3:
        return phone.sendClick(uint8_t(random() % 3), random() % 2);
    case 4:
        return phone.sendText(text);
    case 5:
        return phone.sendSealedText(text);
    case 6: // malformed or unknown frames: logged and skipped
        return phone.sendFrame(random() % 2 ? Bytes{0x11, 0x00} : Bytes{0xAB, 0x01});
    case 7:
        return phone.sendPing();
    case 8: // a seal that does not open: the daemon closes the session
        return phone.sendFrame(sealed) && false;
    case 9: // a header announcing more than a frame may hold
        return phone.sendRaw(Bytes{0x7F, 0xFF, 0xFF, 0xFF, 0x10}) && false;
    default: // 0 and 1: a move, twice as likely as anything else
        return phone.sendMove(small(), small());
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
    const char* seconds = std::getenv("POINTRELAY_STORM_SECONDS");
    auto daemon = start(true);
    ASSERT_TRUE(daemon->waitFor("Input: X11 (XTest)"));
    const pid_t pid = daemon->pid();
    const long baseThreads = procStatusField(pid, "Threads").value_or(0);
    expectAFreshPhoneIsServed(); // the adapter's lazy state exists before the baseline
    eventually([&] { return procStatusField(pid, "Threads") == baseThreads; }, 2s);
    const long baseRss = procStatusField(pid, "VmRSS").value_or(0);

    std::vector<std::jthread> phones;
    const auto stormEnd = Clock::now() + std::chrono::seconds(seconds ? std::atoi(seconds) : 4);
    for (int t = 0; t < 8; ++t) // eight phones at once
        phones.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            for (int i = 0; Clock::now() < stormEnd; ++i) {
                client::PhoneClient phone;
                if (!connectPhone(phone, port, sourceAddress(9, t * 1000 + i % 1000)))
                    continue;
                if (random() % 8 != 0 && phone.handshake(kPsk, std::nullopt, 2000))
                    for (int n = int(random() % 40); n > 0 && sendSomething(phone, random); --n) {
                    }
                const linger reset{1, 0};
                if (const auto end = random() % 4; end == 0) // a reset, a half-close, a header
                    ::setsockopt(phone.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                else if (end == 1) // cut short, or a plain close
                    ::shutdown(phone.fd(), SHUT_WR);
                else if (end == 2)
                    phone.sendRaw(Bytes{0, 0});
            }
        });
    phones.clear(); // joins them
    const auto ended = Clock::now();
    const size_t connected = daemon->count("Client connected (");
    // (A "(0 active)" line alone does not say that every departure has been logged: another
    // session may have counted itself down first and still be about to write its line.)
    EXPECT_TRUE(eventually([&] { return daemon->count("Client disconnected (") == connected; }, 2s))
        << daemon->count("Client disconnected (") << " of " << connected << " ended";
    eventually([&] { return procStatusField(pid, "Threads") == baseThreads; }, 2s);
    EXPECT_LE(Clock::now() - ended, 2s);
    EXPECT_EQ(procStatusField(pid, "Threads"), baseThreads);
    EXPECT_LE(procStatusField(pid, "VmRSS").value_or(0), baseRss + 16 * 1024)
        << "base " << baseRss << " KiB";
    expectAFreshPhoneIsServed();
    EXPECT_EQ(daemon->count("X11 error"), 0u);
}

} // namespace
} // namespace pointrelay
