// SPDX-License-Identifier: MIT
// Port questions against real sockets and processes (through /proc and through lsof and ps),
// against a prepared /proc folder and scripted tools, and the stop of a stale daemon.
#include "model/lsof_socket_lister.h"
#include "model/port_check.h"
#include "model/proc_socket_lister.h"
#include "support/temp_dir.h"

#include <QCoreApplication>
#include <QFile>
#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pointrelay::app {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

/// A listener on IPv4 (or IPv6) loopback; `port` 0 lets the kernel choose. Closed with the object.
struct Listener {
    explicit Listener(int& port, bool ipv6 = false) {
        fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 a6{AF_INET6, htons(uint16_t(port)), 0, in6addr_loopback, 0};
        sockaddr_in a4{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        const int one = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto* address = ipv6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
        socklen_t length = ipv6 ? sizeof a6 : sizeof a4;
        if (::bind(fd, address, length) != 0 || ::listen(fd, 8) != 0 ||
            ::getsockname(fd, address, &length) != 0)
            close();
        port = ntohs(ipv6 ? a6.sin6_port : a4.sin_port);
    }
    ~Listener() { close(); }
    void close() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    int fd = -1;
};

/// A copy of sleep under another name holding a listener as descriptor 3. PID 1 here reaps no
/// orphans: the destructor kills what is left and reaps it.
struct HoldingChild {
    HoldingChild(const fs::path& program, int listenFd, bool ignoreTerm) {
        pid = ::fork();
        if (pid == 0) { // only async-signal-safe calls until exec
            ::dup2(listenFd, 3);
            for (int fd = 4; fd < 1024; ++fd)
                ::close(fd);
            if (ignoreTerm)
                ::signal(SIGTERM, SIG_IGN);
            ::execl(program.c_str(), program.filename().c_str(), "60", nullptr);
            ::_exit(127);
        }
    }
    ~HoldingChild() {
        if (!reaped) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    int reapSignal() { // the signal that ended it
        int status = 0;
        ::waitpid(pid, &status, 0);
        reaped = true;
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    pid_t pid = -1;
    bool reaped = false;
};

template <typename Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 100 && !condition(); ++i)
        std::this_thread::sleep_for(20ms);
    return condition();
}

class ListerTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (GetParam() == std::string("proc"))
            lister = std::make_shared<ProcSocketLister>();
        else if (QFile::exists(LsofSocketLister::systemLsofPath()))
            lister = std::make_shared<LsofSocketLister>(LsofSocketLister::systemLsofPath(),
                                                        LsofSocketLister::systemPsPath());
        else
            GTEST_SKIP() << "lsof is not installed";
    }
    fs::path programNamed(const char* name) { // its command name is the file name
        fs::copy_file("/bin/sleep", m_temp.path() / name);
        return m_temp.path() / name;
    }
    std::shared_ptr<const SocketLister> lister;
    test::TempDir m_temp;
};

TEST_P(ListerTest, FindsListenersConnectionsAndProcesses) {
    int port = 0;
    Listener listener(port);
    const auto line = lister->describeListener(port);
    ASSERT_TRUE(line) << "nothing listed on " << port;
    EXPECT_TRUE(line->contains(QStringLiteral(" %1 ").arg(::getpid()))) << line->toStdString();
    EXPECT_TRUE(line->endsWith(QStringLiteral("TCP 127.0.0.1:%1 (LISTEN)").arg(port)));
    EXPECT_EQ(lister->listeningPID(port), ::getpid());
    EXPECT_EQ(lister->processName(::getpid()),
              QCoreApplication::applicationFilePath().section('/', -1).left(15));
    EXPECT_EQ(lister->parentPID(::getpid()), ::getppid());
    EXPECT_EQ(lister->processName(-1), std::nullopt);

    std::vector<int> ends;
    for (int i = 0; i < 3; ++i) {
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ends.insert(ends.end(), {client, ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC)});
    }
    // /proc counts the daemon's ends (local port = the port); lsof both ends of a local one.
    const qint64 perConnection = GetParam() == std::string("proc") ? 1 : 2;
    EXPECT_EQ(lister->countEstablishedConnections(port), 3 * perConnection);
    for (const int fd : ends)
        ::close(fd);
    listener.close();
    EXPECT_EQ(lister->describeListener(port), std::nullopt);
    EXPECT_EQ(lister->listeningPID(port), std::nullopt);
}

// Our own daemon (its name starting with "pointrela") is stopped, gently then by force; any
// other program, by a name one letter off, is left alone.
TEST_P(ListerTest, StopsOnlyOurOwnDaemon) {
    PortCheck check(lister);
    int own = 0, foreign = 0, stubborn = 0;
    Listener ownSocket(own), foreignSocket(foreign), stubbornSocket(stubborn);
    HoldingChild daemon(programNamed("pointrelayd-stub"), ownSocket.fd, false);
    HoldingChild other(programNamed("pointrel-other"), foreignSocket.fd, false);
    HoldingChild deaf(programNamed("pointrelayd"), stubbornSocket.fd, true);
    for (Listener* l : {&ownSocket, &foreignSocket, &stubbornSocket})
        l->close();
    ASSERT_TRUE(eventually([&] { return check.processName(other.pid) == "pointrel-other"; }));
    ASSERT_TRUE(eventually([&] { return check.processName(deaf.pid) == "pointrelayd"; }));
    EXPECT_FALSE(check.killStaleDaemon(foreign, 200ms));
    EXPECT_FALSE(check.canBindPort(foreign));
    EXPECT_TRUE(check.killStaleDaemon(own, 200ms));
    EXPECT_EQ(daemon.reapSignal(), SIGTERM);
    EXPECT_TRUE(check.canBindPort(own));
    EXPECT_TRUE(check.killStaleDaemon(stubborn, 100ms));
    EXPECT_EQ(deaf.reapSignal(), SIGKILL);
    EXPECT_TRUE(check.waitForPortFree(stubborn, 1.0s));
}

INSTANTIATE_TEST_SUITE_P(Listers, ListerTest, ::testing::Values("proc", "lsof"));

/// A lister with fixed answers.
struct FixedLister final : SocketLister {
    std::optional<QString> describeListener(int) const override { return description; }
    std::optional<qint32> listeningPID(int) const override { return pid; }
    std::optional<QString> processName(qint32 of) const override {
        return of == parent ? parentName : names.empty() ? name : names.takeFirst();
    }
    std::optional<qint32> parentPID(qint32) const override { return parent; }
    std::optional<qint64> countEstablishedConnections(int) const override { return 0; }
    std::optional<QString> description = "pointrelayd 4242 user 3u IPv4 1 0t0 TCP *:9000 (LISTEN)";
    std::optional<qint32> pid = 4242;
    std::optional<QString> name = "pointrelayd";
    mutable QStringList names; // answered first, one per question
    std::optional<qint32> parent = 1;
    std::optional<QString> parentName;
};

TEST(PortCheck, AStaleDaemonIsOursUnsupervisedAndStoppedWithCare) {
    auto lister = std::make_shared<FixedLister>();
    PortCheck check(lister);
    std::vector<std::pair<qint32, int>> sent;
    check.setSignalSender([&](qint32 pid, int signal) {
        sent.emplace_back(pid, signal);
        if (signal == SIGKILL)
            lister->description.reset();
        return 0;
    });
    // Never a whole process group, every process or ourselves; never another program; never
    // a daemon that a live PointrelayServer or pointrelay supervises (or whose parent we
    // cannot see).
    for (const qint32 dangerous : {0, -1, qint32(::getpid())}) {
        lister->pid = dangerous;
        EXPECT_FALSE(check.killStaleDaemon(9000, 0us));
    }
    lister->pid = 4242;
    lister->name = "Pointrelayd";
    EXPECT_FALSE(check.killStaleDaemon(9000, 0us));
    lister->name = "pointrelayd";
    lister->parent = 77;
    for (const char* supervisor : {"PointrelayServe", "pointrelay", "/Applications/pointrelay"}) {
        lister->parentName = supervisor;
        EXPECT_FALSE(check.killStaleDaemon(9000, 0us)) << supervisor;
    }
    lister->parent.reset();
    EXPECT_FALSE(check.killStaleDaemon(9000, 0us));
    EXPECT_TRUE(sent.empty());

    lister->parent = 77; // a shell started it: stale
    lister->parentName = "bash";
    EXPECT_TRUE(check.killStaleDaemon(9000, 0us)); // still listed after the grace: SIGKILL
    EXPECT_EQ(sent, (std::vector<std::pair<qint32, int>>{{4242, SIGTERM}, {4242, SIGKILL}}));
    sent.clear();
    lister->parent = 1; // handed to init
    lister->description = "bash 4242 user 3u IPv4 1 0t0 TCP *:9000 (LISTEN)";
    lister->names = {"pointrelayd", "bash"}; // the identifier was reused meanwhile
    lister->name = "bash";
    EXPECT_TRUE(check.killStaleDaemon(9000, 0us));
    EXPECT_EQ(sent, (std::vector<std::pair<qint32, int>>{{4242, SIGTERM}}));
}

TEST(PortCheck, BindingWaitingAndSuggestions) {
    const PortCheck check(std::make_shared<ProcSocketLister>());
    int port = 0;
    auto listener = std::make_unique<Listener>(port);
    EXPECT_FALSE(check.canBindPort(port));
    EXPECT_FALSE(check.waitForPortFree(port, 0s)); // no polling: only the final check
    EXPECT_FALSE(check.canBindPort(-1) || check.canBindPort(65536));
    std::thread release([&] {
        std::this_thread::sleep_for(200ms);
        listener.reset();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(check.waitForPortFree(port, 2.0s)); // noticed within a round or two
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    release.join();

    int v6 = 0; // an IPv6-only listener: the IPv4 bind works, but the lister shows it
    Listener six(v6, true);
    if (six.fd >= 0) {
        EXPECT_TRUE(check.canBindPort(v6));
        EXPECT_FALSE(check.waitForPortFree(v6, 0.2s));
    }

    EXPECT_TRUE(check.suggestFreePorts(9000, 0).isEmpty());
    for (const quint16 p : check.suggestFreePorts(80, 2) + check.suggestFreePorts(49151, 3))
        EXPECT_TRUE(p > 1024 && p < 49151) << p; // clamped first, then up, or down from the top
    int top = 49151;
    Listener holder(top);
    if (holder.fd >= 0 && check.canBindPort(49149)) {
        EXPECT_EQ(check.suggestFreePorts(49150, 1), QList<quint16>{49149});
    }
}

class PreparedProc : public ::testing::Test {
protected:
    void write(const std::string& relative, const std::string& text) {
        fs::create_directories((m_temp.path() / relative).parent_path());
        QFile file(QString::fromStdString((m_temp.path() / relative).string()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.data(), qint64(text.size()));
    }
    void linkFd(int pid, int fd, const std::string& target) {
        fs::create_directories(m_temp.path() / std::to_string(pid) / "fd");
        fs::create_symlink(target, m_temp.path() / std::to_string(pid) / "fd" / std::to_string(fd));
    }
    static std::string row(const char* local, const char* remote, const char* state,
                           const char* uid, const char* inode) {
        return std::string("   0: ") + local + " " + remote + " " + state +
               " 00000000:00000000 00:00000000 00000000 " + uid + " 0 " + inode + " 1 0 20\n";
    }
    test::TempDir m_temp;
};

TEST_F(PreparedProc, ReadsTheTablesTheWayTheKernelWritesThem) {
    const std::string header = "  sl  local_address rem_address   st ... inode\n";
    const std::string v6Wildcard = std::string(32, '0');
    // Port 9000 is 2328: a listener, two accepted connections (one on IPv6), a connection
    // whose remote end is 9000, one in TIME_WAIT, a malformed row.
    write("net/tcp", header + row("0100007F:2328", "00000000:0000", "0A", "0", "1001") +
                         row("0100007F:2328", "0200007F:D431", "01", "0", "1002") +
                         row("0100007F:D432", "0100007F:2328", "01", "0", "1003") +
                         row("0100007F:2328", "0300007F:D433", "06", "0", "0") +
                         "   4: 0100007F:2328 garbage\n");
    write("net/tcp6", header +
                          row((v6Wildcard + ":2329").c_str(), (v6Wildcard + ":0000").c_str(), "0A",
                              "4000000", "2001") +
                          row("0000000000000000FFFF00000100007F:2328",
                              "0000000000000000FFFF00000100007F:D434", "01", "0", "2002"));
    // Two processes hold the listener: the lower identifier and, in it, the lower descriptor.
    write("42/comm", "pointrelayd\n");
    write("42/stat", "42 (pointrelayd (x) y) S 77 42 42 0");
    linkFd(42, 7, "socket:[1001]");
    linkFd(42, 5, "socket:[1001]");
    linkFd(42, 4, "pipe:[991001]"); // not a socket, though its number ends the same
    linkFd(77, 3, "socket:[1001]");
    write("9/comm", "x\xff\n"); // not UTF-8
    linkFd(9, 4, "socket:[2001]");
    ProcSocketLister procs(QString::fromStdString(m_temp.path().string()));
    EXPECT_EQ(procs.describeListener(9000),
              "pointrelayd 42 root 5u IPv4 1001 0t0 TCP 127.0.0.1:9000 (LISTEN)");
    EXPECT_EQ(procs.describeListener(9001), "? 9 4000000 4u IPv6 2001 0t0 TCP *:9001 (LISTEN)");
    EXPECT_EQ(procs.countEstablishedConnections(9000), 2);
    EXPECT_EQ(procs.parentPID(42), 77);
    EXPECT_EQ(procs.processName(9), std::nullopt);
    EXPECT_EQ(procs.countEstablishedConnections(0), std::nullopt);
    // Listeners whose processes cannot be seen (other users') still make the port taken.
    fs::remove_all(m_temp.path() / "42");
    fs::remove_all(m_temp.path() / "77");
    EXPECT_TRUE(procs.describeListener(9000)->startsWith("? ? root ? IPv4 1001"));
    EXPECT_EQ(procs.listeningPID(9000), std::nullopt);
    fs::remove(m_temp.path() / "net/tcp");
    fs::remove(m_temp.path() / "net/tcp6");
    EXPECT_EQ(procs.countEstablishedConnections(9000), std::nullopt);
}

TEST(ScriptedTools, ListingsAreReadAsLsofAndPsPrintThem) {
    test::TempDir temp;
    const auto tool = [&](const char* name, const std::string& output, int status = 0) {
        QFile file(QString::fromStdString((temp.path() / name).string()));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(
            ("#!/bin/sh\nprintf '%s' '" + output + "'\nexit " + std::to_string(status)).c_str());
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        return file.fileName();
    };
    const std::string header = "COMMAND PID USER FD TYPE DEVICE SIZE/OFF NODE NAME\n";
    const std::string row = "pointrelayd 4242 me 3u IPv4 0x1 0t0 TCP *:9000 (LISTEN)  ";
    EXPECT_EQ(LsofSocketLister(tool("a", header, 1), "").describeListener(9000), std::nullopt);
    EXPECT_EQ(LsofSocketLister(tool("b", header + row + "\n\n", 1), "").describeListener(9000),
              QString::fromStdString(row)); // not trimmed; exit status ignored
    EXPECT_EQ(LsofSocketLister(tool("c", "4242\n4343\n"), "").listeningPID(9000), 4242);
    EXPECT_EQ(LsofSocketLister(tool("d", "4242\n", 1), "").listeningPID(9000), std::nullopt);
    EXPECT_EQ(LsofSocketLister("", tool("e", "  pointrelayd \n")).processName(4242), "pointrelayd");
    EXPECT_EQ(LsofSocketLister("", tool("f", " 77\n")).parentPID(4242), 77);
    EXPECT_EQ(LsofSocketLister("", tool("g", "", 1)).processName(4242), std::nullopt);
    EXPECT_EQ(LsofSocketLister(tool("h", header + row + "\n" + row + "\n"), "")
                  .countEstablishedConnections(9000),
              2);
    EXPECT_EQ(LsofSocketLister("/nonexistent/lsof", "").countEstablishedConnections(9000),
              std::nullopt);
}

} // namespace
} // namespace pointrelay::app
