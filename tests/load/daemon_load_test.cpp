// SPDX-License-Identifier: MIT
// The built pointrelayd under load over loopback: hundreds of phones streaming pointer frames,
// floods of silent and of short-lived connections, and a stop in the middle of a stream.
// Every loop here is bounded in count, and every wait in time.
#include "core/frame.h"
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/loopback_connect.h"
#include "support/private_network.h"
#include "support/process_status.h"
#include "support/temp_dir.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace pointrelay {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::DaemonProcess;

constexpr char kPsk[] = "5a17c0de5a17c0de5a17c0de5a17c0de5a17c0de5a17c0de5a17c0de5a17c0de";

// Loopback source addresses spread over 127.N.x.y, so that the per-address bound on pending
// handshakes never decides a test that is about the total bound.
std::string sourceAddress(int net, int i) {
    return "127." + std::to_string(net) + "." + std::to_string(i / 250) + "." +
           std::to_string(1 + i % 250);
}

// A phone connected from a loopback source address (see connectLoopback on why not
// PhoneClient::connect: thousands of closed connections must not hold ports the daemons of
// later tests bind).
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

long long msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// How a phone's writes cut its frames: header and body apart (as sendFrame writes them),
// many frames in one write, or every frame split at a varying byte.
enum class Cut { PerPart, Batched, Split };

Cut cutFor(int client) {
    return static_cast<Cut>(client % 3);
}

bool sendMoves(client::PhoneClient& phone, int count, Cut cut, int seed) {
    static constexpr uint8_t kMove[] = {0x11, 0x00, 0x01, 0xFF, 0xFF}; // dx 1, dy -1
    switch (cut) {
    case Cut::PerPart:
        for (int i = 0; i < count; ++i)
            if (!phone.sendMove(1, -1))
                return false;
        return true;
    case Cut::Batched: {
        std::vector<uint8_t> bytes;
        for (int i = 0; i < count; ++i)
            core::appendFrame(bytes, kMove);
        return phone.sendRaw(bytes);
    }
    case Cut::Split:
        break;
    }
    for (int i = 0; i < count; ++i) {
        std::vector<uint8_t> bytes;
        core::appendFrame(bytes, kMove);
        const size_t at = 1 + static_cast<size_t>(seed + i) % (bytes.size() - 1);
        if (!phone.sendRaw(std::span(bytes).first(at)) ||
            !phone.sendRaw(std::span(bytes).subspan(at)))
            return false;
    }
    return true;
}

// A PING answered by a PONG: every frame the phone sent before it has been handled.
bool syncWithPing(client::PhoneClient& phone) {
    if (!phone.sendPing())
        return false;
    std::vector<uint8_t> body;
    while (phone.recvFrame(body, 5000)) {
        if (body == std::vector<uint8_t>{0xFF})
            return true;
    }
    return false;
}

// The largest thread count and resident size the daemon reaches while the sampler runs.
class ResourceSampler {
public:
    explicit ResourceSampler(pid_t pid) : m_pid(pid) {
        m_thread = std::thread([this] {
            while (!m_stop) {
                m_maxThreads = std::max(m_maxThreads.load(),
                                        test::procStatusField(m_pid, "Threads").value_or(0));
                m_maxRssKiB =
                    std::max(m_maxRssKiB.load(), test::procStatusField(m_pid, "VmRSS").value_or(0));
                std::this_thread::sleep_for(2ms);
            }
        });
    }
    ~ResourceSampler() { stop(); }
    void stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    long maxThreads() const { return m_maxThreads; }
    long maxRssKiB() const { return m_maxRssKiB; }

private:
    const pid_t m_pid;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_maxThreads{0};
    std::atomic<long> m_maxRssKiB{0};
    std::thread m_thread;
};

class DaemonLoadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // 1,000 connections on each side of loopback; the daemon inherits the limit.
        ASSERT_GE(test::raiseOpenFileLimit(), 2200u) << "too few file descriptors allowed";
        // Where the system allows it, the floods stay in a network of their own (see there);
        // elsewhere the phones' SO_REUSEADDR keeps them from blocking the daemons of other tests.
        test::enterPrivateLoopbackNetwork();
    }
    void SetUp() override { port = test::freePort(); }

    std::unique_ptr<DaemonProcess> start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {POINTRELAYD_PATH,     "--no-mdns", "--port",
                                         std::to_string(port), "--psk",     kPsk};
        args.insert(args.end(), extra.begin(), extra.end());
        // No window system: the daemon must not move the pointer of a real desktop.
        auto daemon = std::make_unique<DaemonProcess>(
            args, std::map<std::string, std::string>{{"XDG_STATE_HOME", m_state.path().string()},
                                                     {"DISPLAY", ""}});
        EXPECT_TRUE(daemon->waitFor("[C++] Listening on port " + std::to_string(port)));
        return daemon;
    }

    // Connects and authenticates `count` phones from `threads` threads at once.
    std::vector<std::vector<client::PhoneClient>> authenticatedGroups(int count, int threads,
                                                                      int net) {
        std::vector<std::vector<client::PhoneClient>> groups(threads);
        std::atomic<int> failures{0};
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                for (int i = t; i < count; i += threads) {
                    client::PhoneClient phone;
                    if (!connectPhone(phone, port, sourceAddress(net, i)) ||
                        !phone.handshake(kPsk)) {
                        ++failures;
                        continue;
                    }
                    groups[t].push_back(std::move(phone));
                }
            });
        for (auto& worker : workers)
            worker.join();
        EXPECT_EQ(failures, 0);
        return groups;
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

    static std::optional<uint64_t> lastStatMoves(const DaemonProcess& daemon) {
        std::optional<uint64_t> moves;
        for (const auto& line : daemon.lines()) {
            unsigned long long m = 0;
            if (std::sscanf(line.c_str(), "STAT move=%llu ", &m) == 1)
                moves = m;
        }
        return moves;
    }

    uint16_t port = 0;
    test::TempDir m_state;
};

TEST_F(DaemonLoadTest, FiveHundredStreamingClientsHaveEveryMoveCounted) {
    constexpr int kClients = 500, kThreads = 4, kRounds = 20, kPerRound = 10;
    auto daemon = start({"--stat-ms", "100"});
    auto groups = authenticatedGroups(kClients, kThreads, 3);
    ASSERT_TRUE(daemon->waitFor("Client connected (500 active)"));

    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([&, t] {
            auto& group = groups[t];
            for (int round = 0; round < kRounds; ++round)
                for (size_t i = 0; i < group.size(); ++i)
                    if (!sendMoves(group[i], kPerRound, cutFor(static_cast<int>(i)), round))
                        ++failures;
            for (auto& phone : group)
                if (!syncWithPing(phone))
                    ++failures;
        });
    for (auto& worker : workers)
        worker.join();
    ASSERT_EQ(failures, 0);

    const uint64_t total = uint64_t{kClients} * kRounds * kPerRound;
    EXPECT_TRUE(daemon->waitFor("STAT move=" + std::to_string(total) + " ", 5s));
    std::this_thread::sleep_for(300ms); // a few more periods: nothing is counted twice
    EXPECT_EQ(lastStatMoves(*daemon), total);
    EXPECT_EQ(daemon->count("Handshake: OK"), size_t{kClients});
    EXPECT_EQ(daemon->count("Client disconnected ("), 0u); // no session was lost

    groups.clear();
    EXPECT_TRUE(waitForCount(*daemon, "Client disconnected (", kClients, 10s));
    EXPECT_EQ(daemon->count("Client disconnected (0 active)"), 1u);
}

// Silent connections are closed as they pile up, the ones that waited longest first, and the
// rest when their HELLO time runs out, however slowly they trickle bytes; a phone gets
// through at once, and the daemon's threads and memory stay bounded throughout.
TEST_F(DaemonLoadTest, ThousandSilentConnectionsDoNotHoldOffAPhone) {
    constexpr int kSilent = 1000, kPendingBound = 32, kTricklers = 8;
    auto daemon = start();
    const pid_t pid = daemon->pid();
    const long baseThreads = test::procStatusField(pid, "Threads").value_or(0);
    const long baseRss = test::procStatusField(pid, "VmRSS").value_or(0);
    ResourceSampler sampler(pid);

    struct Silent {
        client::PhoneClient socket;
        Clock::time_point connectedAt;
        std::optional<Clock::time_point> closedAt;
    };
    std::vector<Silent> silent(kSilent);
    const auto accepted = [&] { return daemon->count("Client connected: "); };
    for (int i = 0; i < kSilent; ++i) {
        // The listen queue holds 16: a faster flood only has its SYNs dropped and retried a
        // second later, which would make the test slow, not harder.
        for (int wait = 0; wait < 2000 && accepted() + 8 < size_t(i); ++wait)
            std::this_thread::sleep_for(100us);
        ASSERT_TRUE(connectPhone(silent[i].socket, port, sourceAddress(4, i / 4)))
            << std::strerror(errno);
        silent[i].connectedAt = Clock::now();
    }
    const auto floodEnd = Clock::now();

    // Notes when each connection is closed by the daemon; the newest few trickle a byte of
    // their HELLO every 400 ms meanwhile.
    auto nextTrickle = Clock::now();
    size_t trickled = 0;
    auto watch = [&](std::chrono::milliseconds limit, auto until) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline && !until()) {
            if (Clock::now() >= nextTrickle) {
                static constexpr uint8_t kHello[] = {0, 0, 0, 54, 0x01, 'P', 'R', 'L', 'Y'};
                for (int i = kSilent - kTricklers; i < kSilent; ++i)
                    if (!silent[i].closedAt)
                        silent[i].socket.sendRaw(std::span(kHello).subspan(trickled % 9, 1));
                ++trickled;
                nextTrickle += 400ms;
            }
            std::vector<pollfd> fds;
            std::vector<int> index;
            for (int i = 0; i < kSilent; ++i)
                if (!silent[i].closedAt) {
                    fds.push_back({silent[i].socket.fd(), POLLIN, 0});
                    index.push_back(i);
                }
            if (::poll(fds.data(), fds.size(), 10) <= 0)
                continue;
            const auto now = Clock::now();
            for (size_t k = 0; k < fds.size(); ++k)
                if (fds[k].revents != 0)
                    silent[index[k]].closedAt = now; // nothing is ever sent to them
        }
    };
    auto openOnes = [&] {
        std::vector<int> open;
        for (int i = 0; i < kSilent; ++i)
            if (!silent[i].closedAt)
                open.push_back(i);
        return open;
    };
    auto suffixFrom = [](int first, int end) {
        std::vector<int> out;
        for (int i = first; i < end; ++i)
            out.push_back(i);
        return out;
    };

    // Every connection has been accepted once its session announced it.
    for (int i = 0; i < 500 && accepted() < size_t{kSilent}; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(accepted(), size_t{kSilent});
    watch(3s, [&] { return openOnes().size() <= size_t{kPendingBound}; });
    EXPECT_EQ(openOnes(), suffixFrom(kSilent - kPendingBound, kSilent)) << "oldest first";
    EXPECT_TRUE(daemon->waitFor("Too many pending handshakes -> closing the oldest"));
    // The warning is written at most once a second.
    EXPECT_LE(daemon->count("Too many pending handshakes"),
              size_t(1 + msBetween(silent[0].connectedAt, Clock::now()) / 1000));

    client::PhoneClient phone;
    const auto before = Clock::now();
    ASSERT_TRUE(connectPhone(phone, port, "127.0.0.1"));
    EXPECT_TRUE(phone.handshake(kPsk, std::nullopt, 1000));
    EXPECT_LT(Clock::now() - before, 1s);
    watch(1s, [&] { return openOnes().size() < size_t{kPendingBound}; });
    EXPECT_EQ(openOnes(), suffixFrom(kSilent - kPendingBound + 1, kSilent));

    // The survivors, tricklers included, last until their HELLO time is over, and no longer.
    watch(8s, [&] { return openOnes().empty(); });
    EXPECT_TRUE(openOnes().empty());
    for (int i = kSilent - kPendingBound + 1; i < kSilent; ++i) {
        ASSERT_TRUE(silent[i].closedAt) << i;
        const auto lived = msBetween(silent[i].connectedAt, *silent[i].closedAt);
        EXPECT_GE(lived, 4900) << i;
        EXPECT_LE(lived, 6500) << i;
    }
    sampler.stop();

    // One thread per pending handshake, plus those of evicted sessions still closing: far
    // fewer than one per connection.
    EXPECT_LE(sampler.maxThreads(), baseThreads + 4 * kPendingBound)
        << "base " << baseThreads << ", flood took " << msBetween(silent[0].connectedAt, floodEnd)
        << " ms";
    EXPECT_LE(sampler.maxRssKiB(), baseRss + 32 * 1024) << "base " << baseRss << " KiB";
    ASSERT_TRUE(syncWithPing(phone)); // the phone's session was never disturbed
    phone.close();
    silent.clear();
    EXPECT_TRUE(waitForCount(*daemon, "Client disconnected (", kSilent + 1, 5s));
    EXPECT_EQ(daemon->count("Client connected ("), size_t{kSilent + 1});
    EXPECT_EQ(daemon->count("Client disconnected (0 active)"), 1u);
}

// Connections that end in every way a short-lived one can: a plain close, a reset, a close
// in the middle of the HELLO header, and a close right after the handshake.
TEST_F(DaemonLoadTest, TenThousandConnectCloseCyclesLeaveTheDaemonServing) {
    constexpr int kCycles = 10000, kThreads = 2;
    auto daemon = start();
    const pid_t pid = daemon->pid();
    const long baseThreads = test::procStatusField(pid, "Threads").value_or(0);

    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    const auto started = Clock::now();
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([&, t] {
            for (int i = t; i < kCycles; i += kThreads) {
                client::PhoneClient phone;
                if (!connectPhone(phone, port, sourceAddress(5 + t, i % 1000))) {
                    ++failures;
                    continue;
                }
                switch (i / kThreads % 4) {
                case 0:
                    break;
                case 1: {
                    const linger reset{1, 0};
                    ::setsockopt(phone.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                    break;
                }
                case 2: {
                    static constexpr uint8_t kPartialHeader[] = {0, 0};
                    phone.sendRaw(kPartialHeader);
                    break;
                }
                case 3:
                    if (!phone.handshake(kPsk))
                        ++failures;
                    break;
                }
            }
        });
    for (auto& worker : workers)
        worker.join();
    const auto floodTime = msBetween(started, Clock::now());
    EXPECT_EQ(failures, 0);

    EXPECT_TRUE(waitForCount(*daemon, "Client disconnected (", kCycles, 10s));
    EXPECT_EQ(daemon->count("Client connected ("), size_t{kCycles}) << floodTime << " ms";
    EXPECT_EQ(daemon->count("accept: "), 0u);
    EXPECT_EQ(daemon->count("Session thread could not be started"), 0u);

    // Still serving, back at no active client (the next one is the only one), and no session
    // thread was left behind.
    const size_t firstArrivals = daemon->count("Client connected (1 active)");
    client::PhoneClient phone;
    ASSERT_TRUE(connectPhone(phone, port, "127.0.0.1"));
    ASSERT_TRUE(phone.handshake(kPsk, std::nullopt, 1000));
    ASSERT_TRUE(phone.sendMove(2, 2));
    EXPECT_TRUE(syncWithPing(phone));
    EXPECT_EQ(daemon->count("Client connected (1 active)"), firstArrivals + 1);
    for (int i = 0; i < 100 && test::procStatusField(pid, "Threads") != baseThreads + 1; ++i)
        std::this_thread::sleep_for(10ms); // the last sessions' threads are on their way out
    EXPECT_EQ(test::procStatusField(pid, "Threads"), baseThreads + 1);
}

// A stop while hundreds of phones stream: the daemon handles every frame that reached it
// before the signal, reports the final count, ends every session with its line and exits
// promptly with status 0.
TEST_F(DaemonLoadTest, SigtermUnderLoadCountsEveryMoveSentBeforeTheStop) {
    constexpr int kClients = 200, kThreads = 4, kBurst = 2000;
    auto daemon = start({"--stat-ms", "200"});
    auto groups = authenticatedGroups(kClients, kThreads, 8);
    ASSERT_TRUE(daemon->waitFor("Client connected (200 active)"));

    // When asked, the senders write a last burst to every phone and park between whole
    // frames, so the count sent before the signal is exact and the signal finds frames still
    // on their way; after the signal they go on until their connections fail.
    std::atomic<bool> pause{false}, resumed{false};
    std::atomic<int> parked{0};
    std::atomic<uint64_t> sentBefore{0}, sentAfter{0};
    std::vector<std::thread> workers;
    const auto loadEnd = Clock::now() + 1500ms;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([&, t] {
            auto& group = groups[t];
            std::vector<bool> alive(group.size(), true);
            for (int round = 0; Clock::now() < loadEnd; ++round) {
                for (size_t i = 0; i < group.size(); ++i) {
                    if (pause && !resumed) {
                        for (size_t k = 0; k < group.size(); ++k)
                            if (alive[k] && sendMoves(group[k], kBurst, Cut::Batched, 0))
                                sentBefore += kBurst;
                        ++parked;
                        while (!resumed && Clock::now() < loadEnd)
                            std::this_thread::sleep_for(100us);
                    }
                    if (!alive[i])
                        continue;
                    const bool after = resumed;
                    if (!sendMoves(group[i], 1, cutFor(static_cast<int>(i)), round)) {
                        alive[i] = false;
                        continue;
                    }
                    ++(after ? sentAfter : sentBefore);
                }
                std::this_thread::sleep_for(2ms); // about 100,000 frames a second in all
            }
        });

    std::this_thread::sleep_for(700ms);
    pause = true;
    while (parked < kThreads && Clock::now() < loadEnd)
        std::this_thread::sleep_for(100us);
    EXPECT_EQ(parked, kThreads); // and on regardless: the workers must be joined below
    const uint64_t before = sentBefore;
    const auto stopAt = Clock::now();
    daemon->signal(SIGTERM);
    resumed = true;

    const auto status = daemon->waitExit(3s);
    const auto stopTime = msBetween(stopAt, Clock::now());
    if (!status)
        daemon->signal(SIGKILL); // so that no sender stays blocked on a full connection
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(status, 0);
    EXPECT_LT(stopTime, 1500);
    const auto lines = daemon->lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[C++] Server stopped");
    EXPECT_EQ(daemon->count("Client disconnected ("), size_t{kClients});
    // The last count is written after the last session has ended.
    size_t lastDeparture = 0, lastStat = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].starts_with("[C++] Client disconnected ("))
            lastDeparture = i;
        if (lines[i].starts_with("STAT "))
            lastStat = i;
    }
    EXPECT_GT(lastStat, lastDeparture);
    const auto counted = lastStatMoves(*daemon);
    ASSERT_TRUE(counted);
    EXPECT_GE(*counted, before) << "sent before the stop: " << before;
    EXPECT_LE(*counted, before + sentAfter);
}

} // namespace
} // namespace pointrelay
