// SPDX-License-Identifier: MIT
#include "model/lsof_socket_lister.h"
#include "model/port_check.h"
#include "model/proc_socket_lister.h"
#include "support/temp_dir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pointrelay::app {
namespace {

using namespace std::chrono_literals;

// ---- real sockets and processes ----

class Socket {
public:
    explicit Socket(int fd = -1) : m_fd(fd) {}
    Socket(Socket&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    ~Socket() { reset(); }
    void reset() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = -1;
    }
    int fd() const { return m_fd; }

private:
    int m_fd;
};

/// A TCP listener on IPv4 or IPv6 loopback; port 0 lets the kernel choose a free one.
Socket listenOnLoopback(int& port, bool ipv6 = false) {
    Socket s(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.fd() < 0) {
        return s;
    }
    sockaddr_storage address{};
    socklen_t length = 0;
    if (ipv6) {
        const int one = 1;
        ::setsockopt(s.fd(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_loopback;
        a6->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof *a6;
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
        a4->sin_family = AF_INET;
        a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a4->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof *a4;
    }
    if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(s.fd(), 8) != 0 ||
        ::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return Socket();
    }
    port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return s;
}

Socket connectTo(int port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(::connect(s.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return s;
}

/// A child process that holds a listening socket as its descriptor 3 and nothing else. PID 1
/// here reaps no orphans: the destructor kills what is left and always reaps it.
class HoldingChild {
public:
    HoldingChild(const std::string& program, int listenFd, bool ignoreTerm) {
        const std::string name = std::filesystem::path(program).filename();
        const char* argv[] = {name.c_str(), "60", nullptr};
        m_pid = ::fork();
        if (m_pid == 0) { // only async-signal-safe calls until exec
            if (listenFd == 3) {
                ::fcntl(3, F_SETFD, 0);
            } else {
                ::dup2(listenFd, 3);
            }
            for (int fd = 4; fd < 1024; ++fd) {
                ::close(fd);
            }
            if (ignoreTerm) {
                ::signal(SIGTERM, SIG_IGN); // stays ignored across exec
            }
            ::execv(program.c_str(), const_cast<char* const*>(argv));
            ::_exit(127);
        }
    }
    ~HoldingChild() {
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t pid() const { return m_pid; }
    bool running() { return m_pid > 0 && !m_reaped && ::waitpid(m_pid, &m_status, WNOHANG) == 0; }
    /// The signal that ended it, once it has ended (0 for a normal exit).
    int reapSignal() {
        if (!m_reaped) {
            ::waitpid(m_pid, &m_status, 0);
            m_reaped = true;
        }
        return WIFSIGNALED(m_status) ? WTERMSIG(m_status) : 0;
    }

private:
    pid_t m_pid = -1;
    int m_status = 0;
    bool m_reaped = false;
};

/// Waits until a condition holds (the child needs a moment after fork to exec).
template <typename Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 100; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

std::shared_ptr<const SocketLister> makeLister(const std::string& kind) {
    if (kind == "proc") {
        return std::make_shared<ProcSocketLister>();
    }
    const QString lsof = LsofSocketLister::systemLsofPath();
    if (!QFile::exists(lsof)) {
        return nullptr;
    }
    return std::make_shared<LsofSocketLister>(lsof, LsofSocketLister::systemPsPath());
}

// ---- the questions, asked of /proc and of lsof/ps alike ----

class ListerTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        m_lister = makeLister(GetParam());
        if (!m_lister) {
            GTEST_SKIP() << "lsof is not installed";
        }
    }
    /// A copy of sleep under another name: its command name is the file name.
    std::string programNamed(const char* name) {
        const std::string path = m_temp.filePath(name).toStdString();
        std::filesystem::copy_file("/bin/sleep", path);
        return path;
    }
    std::shared_ptr<const SocketLister> m_lister;
    QTemporaryDir m_temp;
};

TEST_P(ListerTest, FindsTheListenerAndItsProcess) {
    int port = 0;
    Socket listener = listenOnLoopback(port);
    ASSERT_GE(listener.fd(), 0);
    const QString comm = QCoreApplication::applicationFilePath().section('/', -1).left(15);

    const auto line = m_lister->describeListener(port);
    ASSERT_TRUE(line.has_value());
    EXPECT_TRUE(line->contains(QStringLiteral(" %1 ").arg(::getpid()))) << line->toStdString();
    EXPECT_TRUE(line->endsWith(QStringLiteral("TCP 127.0.0.1:%1 (LISTEN)").arg(port)))
        << line->toStdString();
    EXPECT_EQ(m_lister->listeningPID(port), ::getpid());
    EXPECT_EQ(m_lister->processName(::getpid()), comm);

    listener.reset();
    EXPECT_EQ(m_lister->describeListener(port), std::nullopt);
    EXPECT_EQ(m_lister->listeningPID(port), std::nullopt);
}

TEST_P(ListerTest, GivesNoNameForProcessesThatAreNot) {
    const pid_t gone = ::fork();
    if (gone == 0) {
        ::_exit(0);
    }
    ::waitpid(gone, nullptr, 0);
    EXPECT_EQ(m_lister->processName(gone), std::nullopt);
    EXPECT_EQ(m_lister->processName(0), std::nullopt);
    EXPECT_EQ(m_lister->processName(-1), std::nullopt);
}

TEST_P(ListerTest, CountsEstablishedConnections) {
    int port = 0;
    Socket listener = listenOnLoopback(port);
    ASSERT_GE(listener.fd(), 0);
    EXPECT_EQ(m_lister->countEstablishedConnections(port), 0);
    std::vector<Socket> clients, accepted;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(connectTo(port));
        accepted.emplace_back(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    }
    // /proc counts the daemon's ends (local port = the port); lsof shows both ends of a
    // connection whose client is local too.
    const qint64 perConnection = GetParam() == "proc" ? 1 : 2;
    EXPECT_EQ(m_lister->countEstablishedConnections(port), 3 * perConnection);
    clients.front().reset();
    accepted.front().reset();
    // The daemon's connection poll asks from a plain thread of its own.
    std::optional<qint64> fromThread;
    std::thread poll([&] { fromThread = m_lister->countEstablishedConnections(port); });
    poll.join();
    EXPECT_EQ(fromThread, 2 * perConnection);
}

TEST_P(ListerTest, StopsOnlyOurOwnDaemon) {
    PortCheck check(m_lister);
    int ownPort = 0, foreignPort = 0;
    Socket ownSocket = listenOnLoopback(ownPort);
    Socket foreignSocket = listenOnLoopback(foreignPort);
    ASSERT_GE(ownSocket.fd(), 0);
    ASSERT_GE(foreignSocket.fd(), 0);
    // "pointrel-other" misses the prefix by its ninth character.
    HoldingChild daemon(programNamed("pointrelayd-stub"), ownSocket.fd(), false);
    HoldingChild foreign(programNamed("pointrel-other"), foreignSocket.fd(), false);
    ownSocket.reset();
    foreignSocket.reset();
    ASSERT_TRUE(eventually([&] { return check.processName(daemon.pid()) == "pointrelayd-stu"; }));
    ASSERT_TRUE(eventually([&] { return check.processName(foreign.pid()) == "pointrel-other"; }));
    EXPECT_EQ(check.listeningPID(ownPort), daemon.pid());

    EXPECT_FALSE(check.killStaleDaemon(foreignPort, 200ms));
    EXPECT_TRUE(foreign.running());
    EXPECT_FALSE(check.canBindPort(foreignPort));

    EXPECT_TRUE(check.killStaleDaemon(ownPort, 200ms));
    EXPECT_EQ(daemon.reapSignal(), SIGTERM);
    EXPECT_TRUE(check.canBindPort(ownPort));
}

TEST_P(ListerTest, KillsADaemonThatIgnoresTheTerminationSignal) {
    PortCheck check(m_lister);
    int port = 0;
    Socket socket = listenOnLoopback(port);
    ASSERT_GE(socket.fd(), 0);
    HoldingChild daemon(programNamed("pointrelayd"), socket.fd(), true);
    socket.reset();
    ASSERT_TRUE(eventually([&] { return check.processName(daemon.pid()) == "pointrelayd"; }));
    EXPECT_TRUE(check.killStaleDaemon(port, 100ms));
    EXPECT_EQ(daemon.reapSignal(), SIGKILL);
    EXPECT_TRUE(check.waitForPortFree(port, 1.0s));
}

INSTANTIATE_TEST_SUITE_P(Listers, ListerTest, ::testing::Values("proc", "lsof"));

// ---- binding and waiting ----

/// A lister with fixed answers.
class FixedLister final : public SocketLister {
public:
    std::optional<QString> describeListener(int) const override { return description; }
    std::optional<qint32> listeningPID(int) const override { return pid; }
    std::optional<QString> processName(qint32) const override {
        return names.empty() ? name : names.takeFirst();
    }
    std::optional<qint32> parentPID(qint32) const override { return parent; }
    std::optional<qint64> countEstablishedConnections(int) const override { return 0; }
    std::optional<QString> description;
    std::optional<qint32> pid;
    std::optional<qint32> parent = 1; // handed to init: nothing supervises it
    std::optional<QString> name;
    mutable QStringList names; // answered first, one per question, before `name`
};

TEST(PortCheckTest, ABoundPortIsNeitherBindableNorFree) {
    const PortCheck check(std::make_shared<ProcSocketLister>());
    int port = 0;
    Socket listener = listenOnLoopback(port);
    ASSERT_GE(listener.fd(), 0);
    EXPECT_FALSE(check.canBindPort(port));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(check.waitForPortFree(port, 0s)); // no polling: only the final check
    EXPECT_LT(std::chrono::steady_clock::now() - start, 40ms);
    EXPECT_FALSE(check.canBindPort(-1));
    EXPECT_FALSE(check.canBindPort(65536));

    // Released in the middle of a wait: the wait notices within a round or two.
    std::thread release([&] {
        std::this_thread::sleep_for(200ms);
        listener.reset();
    });
    const auto waitStart = std::chrono::steady_clock::now();
    EXPECT_TRUE(check.waitForPortFree(port, 2.0s));
    EXPECT_LT(std::chrono::steady_clock::now() - waitStart, 1s);
    release.join();
    EXPECT_TRUE(check.canBindPort(port));
    EXPECT_TRUE(check.waitForPortFree(port, 0s));
}

TEST(PortCheckTest, AListedListenerKeepsAPortThatBindsBusy) {
    // An IPv6-only listener leaves the IPv4 bind test free, but the lister shows it.
    int port = 0;
    Socket v6 = listenOnLoopback(port, true);
    if (v6.fd() < 0) {
        GTEST_SKIP() << "no IPv6 loopback";
    }
    const PortCheck check(std::make_shared<ProcSocketLister>());
    EXPECT_TRUE(check.canBindPort(port));
    EXPECT_TRUE(
        check.describeListener(port)->endsWith(QStringLiteral("[::1]:%1 (LISTEN)").arg(port)));
    EXPECT_FALSE(check.waitForPortFree(port, 0.2s));
}

TEST(PortCheckTest, KillStaleDaemonSignalsOnlyOurDaemon) {
    auto lister = std::make_shared<FixedLister>();
    PortCheck check(lister);
    std::vector<std::pair<qint32, int>> sent;
    check.setSignalSender([&](qint32 pid, int signal) {
        sent.emplace_back(pid, signal);
        return 0;
    });
    lister->name = "pointrelayd";
    lister->description = "pointrelayd 4242 user 3u IPv4 1 0t0 TCP *:9000 (LISTEN)";
    for (const qint32 dangerous : {0, -1, static_cast<qint32>(::getpid())}) {
        lister->pid = dangerous; // a whole process group, every process, or ourselves
        EXPECT_FALSE(check.killStaleDaemon(9000, 0us));
    }
    lister->pid = 4242;
    lister->name = "Pointrelayd"; // the prefix is case-sensitive
    EXPECT_FALSE(check.killStaleDaemon(9000, 0us));
    EXPECT_TRUE(sent.empty());

    // Still listed after the grace: SIGKILL, unless the identifier now names someone else.
    lister->name = "pointrelayd";
    check.setSignalSender([&](qint32 pid, int signal) {
        sent.emplace_back(pid, signal);
        if (signal == SIGKILL) {
            lister->description.reset();
        }
        return 0;
    });
    EXPECT_TRUE(check.killStaleDaemon(9000, 0us));
    EXPECT_EQ(sent, (std::vector<std::pair<qint32, int>>{{4242, SIGTERM}, {4242, SIGKILL}}));
    sent.clear();
    lister->description = "bash 4242 user 3u IPv4 1 0t0 TCP *:9000 (LISTEN)";
    lister->names = {"pointrelayd", "bash"};
    lister->name = "bash";
    EXPECT_TRUE(check.killStaleDaemon(9000, 0us)); // waits the second for the port in vain
    EXPECT_EQ(sent, (std::vector<std::pair<qint32, int>>{{4242, SIGTERM}}));
}

TEST(PortCheckTest, SuggestionsStayInRangeAndSkipTakenPorts) {
    const PortCheck check(std::make_shared<ProcSocketLister>());
    EXPECT_TRUE(check.suggestFreePorts(9000, 0).isEmpty());
    for (const quint16 p : check.suggestFreePorts(49151, 3)) {
        EXPECT_LT(p, 49151);
        EXPECT_GE(p, 1024);
    }
    for (const quint16 p : check.suggestFreePorts(80, 2)) {
        EXPECT_GT(p, 1024); // clamped to 1024 first, then upwards
    }

    // Just below the top with the top taken: the search turns downwards.
    int top = 49151;
    Socket holder = listenOnLoopback(top);
    if (holder.fd() < 0 || !check.canBindPort(49149)) {
        GTEST_SKIP() << "49151 or 49149 is in use on this machine";
    }
    EXPECT_EQ(check.suggestFreePorts(49150, 1), QList<quint16>{49149});

    int taken = 0;
    Socket other = listenOnLoopback(taken);
    if (taken > 1024 && taken < 49151) {
        EXPECT_FALSE(check.suggestFreePorts(taken - 1, 3).contains(static_cast<quint16>(taken)));
    }
}

// ---- /proc read from a prepared folder ----

class FakeProcTest : public ::testing::Test {
protected:
    void write(const std::string& relative, const std::string& text) {
        const auto path = m_temp.path() / relative;
        std::filesystem::create_directories(path.parent_path());
        QFile file(QString::fromStdString(path.string()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.data(), static_cast<qint64>(text.size()));
    }
    void linkFd(int pid, int fd, const std::string& target) {
        const auto dir = m_temp.path() / std::to_string(pid) / "fd";
        std::filesystem::create_directories(dir);
        std::filesystem::create_symlink(target, dir / std::to_string(fd));
    }
    ProcSocketLister lister() const {
        return ProcSocketLister(QString::fromStdString(m_temp.path().string()));
    }
    test::TempDir m_temp;
};

constexpr const char* kHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n";

TEST_F(FakeProcTest, ReadsTheTablesTheWayTheKernelWritesThem) {
    // Port 9000 is 2328: a loopback listener (uid 0), an accepted connection, a connection whose
    // remote end is 9000, one in TIME_WAIT, a malformed row; IPv6: a wildcard listener and one
    // accepted connection.
    write("net/tcp", std::string(kHeader) +
                         "   0: 0100007F:2328 00000000:0000 0A 00000000:00000000 00:00000000 "
                         "00000000     0        0 1001 1 0000000000000000 100 0 0 10 0\n"
                         "   1: 0100007F:2328 0200007F:D431 01 00000000:00000000 00:00000000 "
                         "00000000     0        0 1002 1 0000000000000000 20 0 0 10 -1\n"
                         "   2: 0100007F:D432 0100007F:2328 01 00000000:00000000 00:00000000 "
                         "00000000     0        0 1003 1 0000000000000000 20 0 0 10 -1\n"
                         "   3: 0100007F:2328 0300007F:D433 06 00000000:00000000 03:00001535 "
                         "00000000     0        0 0 3 0000000000000000\n"
                         "   4: 0100007F:2328 garbage\n");
    write("net/tcp6", std::string(kHeader) +
                          "   0: 00000000000000000000000000000000:2328 "
                          "00000000000000000000000000000000:0000 0A 00000000:00000000 "
                          "00:00000000 00000000  1000        0 2001 1 0000000000000000 100\n"
                          "   1: 0000000000000000FFFF00000100007F:2328 "
                          "0000000000000000FFFF00000100007F:D434 01 00000000:00000000 "
                          "00:00000000 00000000  1000        0 2002 1 0000000000000000 20\n");
    // Two processes hold the listener; the lower identifier and, in it, the lower descriptor win.
    write("42/comm", "pointrelayd\n");
    linkFd(42, 7, "socket:[1001]");
    linkFd(42, 5, "socket:[1001]");
    linkFd(42, 1, "/dev/null");
    linkFd(77, 3, "socket:[1001]");

    const ProcSocketLister procs = lister();
    EXPECT_EQ(procs.describeListener(9000),
              "pointrelayd 42 root 5u IPv4 1001 0t0 TCP 127.0.0.1:9000 (LISTEN)");
    EXPECT_EQ(procs.listeningPID(9000), 42);
    EXPECT_EQ(procs.processName(42), "pointrelayd");
    EXPECT_EQ(procs.countEstablishedConnections(9000), 2);
    EXPECT_EQ(procs.describeListener(9001), std::nullopt);

    // Listeners whose processes cannot be seen (other users') still make the port taken.
    std::filesystem::remove_all(m_temp.path() / "42");
    std::filesystem::remove_all(m_temp.path() / "77");
    const auto unowned = procs.describeListener(9000);
    ASSERT_TRUE(unowned.has_value());
    EXPECT_TRUE(unowned->startsWith("? ? root ? IPv4 1001")) << unowned->toStdString();
    EXPECT_EQ(procs.listeningPID(9000), std::nullopt);
}

TEST_F(FakeProcTest, FormatsIpv6ListenersAndAnswersNothingWithoutTables) {
    write("net/tcp6", std::string(kHeader) +
                          "   0: 00000000000000000000000000000000:2328 "
                          "00000000000000000000000000000000:0000 0A 00000000:00000000 "
                          "00:00000000 00000000  4000000        0 2001 1 0000000000000000 100\n"
                          "   1: 00000000000000000000000001000000:2329 "
                          "00000000000000000000000000000000:0000 0A 00000000:00000000 "
                          "00:00000000 00000000  4000000        0 2002 1 0000000000000000 100\n");
    write("9/comm", "x\xff\n"); // not UTF-8
    linkFd(9, 4, "socket:[2001]");
    const ProcSocketLister procs = lister();
    EXPECT_EQ(procs.describeListener(9000), "? 9 4000000 4u IPv6 2001 0t0 TCP *:9000 (LISTEN)");
    EXPECT_TRUE(procs.describeListener(9001)->endsWith("TCP [::1]:9001 (LISTEN)"));
    EXPECT_EQ(procs.processName(9), std::nullopt);
    EXPECT_EQ(procs.countEstablishedConnections(0), std::nullopt);

    std::filesystem::remove(m_temp.path() / "net/tcp6");
    EXPECT_EQ(procs.countEstablishedConnections(9000), std::nullopt);
    EXPECT_EQ(procs.describeListener(9000), std::nullopt);
}

// ---- lsof and ps output, as scripted tools print it ----

class ScriptedToolTest : public ::testing::Test {
protected:
    /// A tool that prints \a output and exits with \a status.
    QString tool(const char* name, const std::string& output, int status = 0) {
        const auto path = m_temp.path() / name;
        QFile file(QString::fromStdString(path.string()));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(
            ("#!/bin/sh\nprintf '%s' '" + output + "'\nexit " + std::to_string(status) + "\n")
                .c_str());
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        return file.fileName();
    }
    test::TempDir m_temp;
};

TEST_F(ScriptedToolTest, ReadsTheListingsAsTheToolsPrintThem) {
    const char* header = "COMMAND PID USER FD TYPE DEVICE SIZE/OFF NODE NAME\n";
    const std::string row = "pointrelayd 4242 me 3u IPv4 0x1 0t0 TCP *:9000 (LISTEN)  ";
    EXPECT_EQ(LsofSocketLister(tool("lsof1", header, 1), "").describeListener(9000), std::nullopt);
    EXPECT_EQ(LsofSocketLister(tool("lsof2", header + row + "\n\n", 1), "").describeListener(9000),
              QString::fromStdString(row)); // not trimmed; exit status ignored
    EXPECT_EQ(LsofSocketLister(tool("lsof3", "4242\n4343\n"), "").listeningPID(9000), 4242);
    EXPECT_EQ(LsofSocketLister(tool("lsof4", "4242\n", 1), "").listeningPID(9000), std::nullopt);
    EXPECT_EQ(LsofSocketLister(tool("lsof5", "pid\n"), "").listeningPID(9000), std::nullopt);
    EXPECT_EQ(LsofSocketLister("", tool("ps1", "  pointrelayd \n")).processName(4242),
              "pointrelayd");
    EXPECT_EQ(LsofSocketLister("", tool("ps2", "", 1)).processName(4242), std::nullopt);
    EXPECT_EQ(LsofSocketLister(tool("lsof6", ""), "").countEstablishedConnections(9000), 0);
    EXPECT_EQ(LsofSocketLister(tool("lsof7", std::string(header) + row + "\n" + row + "\n"), "")
                  .countEstablishedConnections(9000),
              2);
    const LsofSocketLister missing((m_temp.path() / "none").c_str(), "/nonexistent/ps");
    EXPECT_EQ(missing.countEstablishedConnections(9000), std::nullopt);
    EXPECT_EQ(missing.describeListener(9000), std::nullopt);
    EXPECT_EQ(missing.processName(1), std::nullopt);
}

} // namespace
} // namespace pointrelay::app
