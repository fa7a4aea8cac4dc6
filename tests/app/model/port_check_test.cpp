// SPDX-License-Identifier: MIT
// Port questions against real sockets and processes (through /proc and through lsof and ps) and
// against a prepared /proc folder; binding, waiting and suggestions; and which daemon may be
// stopped, how, and which never.
#include "app/app_test_support.h"
#include "model/lsof_socket_lister.h"
#include "model/port_check.h"
#include "model/proc_socket_lister.h"
#include "support/temp_dir.h"

#include <QCoreApplication>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace pointrelay::app {
namespace {

using namespace std::chrono_literals;
using Sent = std::vector<std::pair<qint32, int>>;
namespace fs = std::filesystem;

TEST(ListerTest, ProcAndLsofFindListenersConnectionsAndProcesses) {
    const std::pair<const char*, std::shared_ptr<const SocketLister>> listers[] = {
        {"proc", std::make_shared<ProcSocketLister>()},
        {"lsof", std::make_shared<LsofSocketLister>(LsofSocketLister::systemLsofPath(),
                                                    LsofSocketLister::systemPsPath())}};
    for (const auto& [name, lister] : listers) {
        SCOPED_TRACE(name);
        auto listener = std::make_unique<test::HeldPort>();
        const int port = listener->port;
        const auto line = lister->describeListener(port).value_or("nothing listed");
        EXPECT_TRUE(line.contains(QStringLiteral(" %1 ").arg(::getpid())) &&
                    line.endsWith(QStringLiteral("TCP *:%1 (LISTEN)").arg(port)))
            << line.toStdString();
        EXPECT_EQ(lister->listeningPID(port), ::getpid());
        EXPECT_EQ(lister->processName(::getpid()),
                  QCoreApplication::applicationFilePath().section('/', -1).left(15));
        EXPECT_EQ(lister->parentPID(::getpid()), ::getppid());
        std::vector<int> ends;
        for (int i = 0; i < 3; ++i) {
            const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
            ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
            ends.insert(ends.end(), {client, ::accept4(listener->fd, nullptr, nullptr, 0)});
        }
        // /proc counts the daemon's ends (local port = the port); lsof both ends of a local one.
        EXPECT_EQ(lister->countEstablishedConnections(port), name == std::string("proc") ? 3 : 6);
        for (const int fd : ends)
            ::close(fd);
        listener.reset();
        EXPECT_EQ(lister->describeListener(port), std::nullopt);
        EXPECT_EQ(lister->listeningPID(port), std::nullopt);
    }
}

/// A lister with fixed answers; `names` are given first, one per question.
struct FixedLister final : SocketLister {
    std::optional<QString> describeListener(int) const override { return description; }
    std::optional<qint32> listeningPID(int) const override { return pid; }
    std::optional<QString> processName(qint32 of) const override {
        return of == parent ? parentName : names.empty() ? name : names.takeFirst();
    }
    std::optional<qint32> parentPID(qint32) const override { return parent; }
    std::optional<qint64> countEstablishedConnections(int) const override { return 0; }
    std::optional<QString> description = "a listener", name = "pointrelayd", parentName;
    std::optional<qint32> pid = 4242, parent = 77;
    mutable QStringList names;
};

TEST(PortCheck, OnlyAnUnsupervisedDaemonOfOursIsStoppedAndKilledOnlyWhileItHoldsThePort) {
    auto lister = std::make_shared<FixedLister>();
    PortCheck check(lister);
    Sent sent;
    int freeing = 0; // the signal after which the port is no longer listened on
    check.setSignalSender([&](qint32 pid, int signal) {
        sent.emplace_back(pid, signal);
        if (signal == freeing)
            lister->description.reset();
        return 0;
    });
    // Never a process group, every process or ourselves; never another program; never a daemon
    // that a live PointrelayServer or pointrelay supervises, or whose parent cannot be seen.
    for (const qint32 dangerous : {0, -1, qint32(::getpid())}) {
        lister->pid = dangerous;
        EXPECT_FALSE(check.killStaleDaemon(9000, 0us)) << dangerous;
    }
    lister->pid = 4242;
    lister->name = "Pointrelayd";
    EXPECT_FALSE(check.killStaleDaemon(9000, 0us));
    lister->name = "pointrelayd";
    for (const char* supervisor :
         {"PointrelayServe", "pointrelay", "/Applications/pointrelay", ""}) {
        lister->parentName = *supervisor ? std::optional<QString>(supervisor) : std::nullopt;
        EXPECT_FALSE(check.killStaleDaemon(9000, 0us)) << supervisor;
    }
    lister->parent.reset();
    EXPECT_FALSE(check.killStaleDaemon(9000, 0us));
    EXPECT_TRUE(sent.empty());

    // Stale: started by a shell, or handed to init. SIGKILL follows only while the port is still
    // listened on and the identifier, perhaps reused meanwhile, still names our daemon.
    lister->parentName = "bash";
    const auto stop = [&](qint32 parent, int freedBy, QStringList names) {
        sent.clear();
        std::tie(lister->description, lister->parent, freeing, lister->names) = std::tuple(
            "pointrelayd 4242 u 3u IPv4 1 0t0 TCP *:9000 (LISTEN)", parent, freedBy, names);
        EXPECT_TRUE(check.killStaleDaemon(9000, 0us));
        return sent;
    };
    EXPECT_EQ(stop(77, SIGTERM, {}), (Sent{{4242, SIGTERM}}));
    EXPECT_EQ(stop(1, SIGKILL, {}), (Sent{{4242, SIGTERM}, {4242, SIGKILL}}));
    EXPECT_EQ(stop(1, 0, {"pointrelayd", "bash"}), (Sent{{4242, SIGTERM}}));
}

TEST(PortCheck, BindingWaitingAndSuggestions) {
    const PortCheck check(std::make_shared<ProcSocketLister>());
    auto listener = std::make_unique<test::HeldPort>();
    const int port = listener->port;
    EXPECT_FALSE(check.canBindPort(port) || check.canBindPort(-1) || check.canBindPort(65536));
    EXPECT_FALSE(check.waitForPortFree(port, 0s)); // no polling: only the final check
    // Held while the wait begins, then released: the wait returns long before its time-out.
    auto freed = std::async(std::launch::async, [&] { return check.waitForPortFree(port, 60s); });
    std::this_thread::sleep_for(200ms);
    listener.reset();
    ASSERT_EQ(freed.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(freed.get());
    // A port that binds but that the lister shows taken (a listener on IPv6 only) is not free.
    EXPECT_FALSE(
        PortCheck(std::make_shared<FixedLister>()).waitForPortFree(test::freePort(), 0.1s));

    EXPECT_TRUE(check.suggestFreePorts(9000, 0).isEmpty());
    for (const quint16 p : check.suggestFreePorts(80, 2) + check.suggestFreePorts(49151, 3))
        EXPECT_TRUE(p > 1024 && p < 49151) << p; // clamped first, then up, or down from the top
}

// The kernel's tables as it writes them, in a folder laid out like /proc. Port 9000 is 2328:
// a listener held by two processes (the lower identifier wins, and in it the lower descriptor),
// two accepted connections (one on IPv6), a connection whose remote end is 9000, one in
// TIME_WAIT and a malformed row; on IPv6 a listener on 9001 of an unknown user, whose process'
// name is not UTF-8.
TEST(PreparedProc, ReadsTheTablesTheWayTheKernelWritesThem) {
    test::TempDir proc;
    const auto write = [&](const std::string& relative, const std::string& text) {
        fs::create_directories((proc.path() / relative).parent_path());
        std::ofstream(proc.path() / relative) << text;
    };
    const auto link = [&](const char* fd, const char* target) {
        fs::create_directories((proc.path() / fd).parent_path());
        fs::create_symlink(target, proc.path() / fd);
    };
    const std::string rest = " 00000000:00000000 00:00000000 00000000 ";
    const std::string v4 = "0100007F:", v6 = "0000000000000000FFFF00000100007F:", any(32, '0');
    write("net/tcp", "  sl  local_address rem_address   st ... inode\n"
                     "0: " +
                         v4 + "2328 00000000:0000 0A" + rest + "0 0 1001\n" + "1: " + v4 +
                         "2328 0200007F:D431 01" + rest + "0 0 1002\n" + "2: " + v4 +
                         "D432 0100007F:2328 01" + rest + "0 0 1003\n" + "3: " + v4 +
                         "2328 0300007F:D433 06" + rest + "0 0 0\n" + "4: " + v4 +
                         "2328 garbage\n");
    write("net/tcp6", "  sl  local_address rem_address   st ... inode\n"
                      "0: " +
                          any + ":2329 " + any + ":0000 0A" + rest + "4000000 0 2001\n" +
                          "1: " + v6 + "2328 " + v6 + "D434 01" + rest + "0 0 2002\n");
    write("42/comm", "pointrelayd\n");
    write("42/stat", "42 (pointrelayd (x) y) S 77 42 42 0");
    for (const char* fd : {"42/fd/7", "42/fd/5", "77/fd/3"})
        link(fd, "socket:[1001]");
    link("42/fd/4", "pipe:[991001]"); // not a socket, though its number ends the same
    write("9/comm", "x\xff\n");
    link("9/fd/4", "socket:[2001]");
    const ProcSocketLister procs(QString::fromStdString(proc.path().string()));
    EXPECT_EQ(procs.describeListener(9000),
              "pointrelayd 42 root 5u IPv4 1001 0t0 TCP 127.0.0.1:9000 (LISTEN)");
    EXPECT_EQ(procs.describeListener(9001), "? 9 4000000 4u IPv6 2001 0t0 TCP *:9001 (LISTEN)");
    EXPECT_EQ(procs.countEstablishedConnections(9000), 2);
    EXPECT_EQ(procs.parentPID(42), 77);
    EXPECT_EQ(procs.countEstablishedConnections(0), std::nullopt);
    // Listeners whose processes cannot be seen (other users') still make the port taken.
    fs::remove_all(proc.path() / "42");
    fs::remove_all(proc.path() / "77");
    EXPECT_TRUE(procs.describeListener(9000)->startsWith("? ? root ? IPv4 1001"));
    EXPECT_EQ(procs.listeningPID(9000), std::nullopt);
    fs::remove_all(proc.path() / "net");
    EXPECT_EQ(procs.countEstablishedConnections(9000), std::nullopt);
}

} // namespace
} // namespace pointrelay::app
