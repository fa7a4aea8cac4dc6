// SPDX-License-Identifier: MIT
// Port questions against real sockets and processes (through /proc and through lsof and ps) and
// a prepared /proc folder; binding, waiting and suggestions; and which daemon may be stopped,
// how, and which never.
#include "app/app_test_support.h"
#include "model/lsof_socket_lister.h"
#include "model/port_check.h"
#include "model/proc_socket_lister.h"
#include "support/temp_dir.h"

#include <QCoreApplication>
#include <csignal>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace pointrelay::app {
namespace {

using namespace std::chrono_literals;
using test::FixedLister;
using Sent = std::vector<std::pair<qint32, int>>;

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
        EXPECT_FALSE(lister->describeListener(port) || lister->listeningPID(port));
    }

    // In a folder laid out like /proc: a descriptor that is no socket never owns the listener,
    // though its number ends the same; the socket's owner does, though its identifier is higher.
    // A user the system does not know is shown by number.
    const test::TempDir proc;
    for (const char* folder : {"net", "42/fd", "77/fd"})
        std::filesystem::create_directories(proc.path() / folder);
    std::ofstream(proc.path() / "net/tcp")
        << "sl local rem st\n0: 0100007F:2328 00000000:0000 0A 0:0 0:0 0 4000000 0 1001\n";
    std::filesystem::create_symlink("pipe:[991001]", proc.path() / "42/fd/4");
    std::filesystem::create_symlink("socket:[1001]", proc.path() / "77/fd/3");
    const ProcSocketLister prepared(QString::fromStdString(proc.path().string()));
    EXPECT_EQ(prepared.listeningPID(9000), 77);
    EXPECT_TRUE(prepared.describeListener(9000).value_or("").contains(" 4000000 "));
}

TEST(PortCheck, OnlyAnUnsupervisedDaemonOfOursIsStoppedAndKilledOnlyWhileItHoldsThePort) {
    auto lister = std::make_shared<FixedLister>();
    PortCheck check(lister);
    // A holder for people: the lister's command and PID columns, a name alone, or nobody.
    for (const auto& [line, holder] : {std::pair{"python3 77", "python3 (PID 77)"},
                                       {"python3 ? lab", "python3"},
                                       {"lone", "?"}}) {
        lister->description = line;
        EXPECT_EQ(check.describeHolder(9000, "?"), holder) << line;
    }
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
    lister->parent.reset(); // and no process is looked up under the identifier not read
    lister->names = {"pointrelayd", "unasked"};
    EXPECT_FALSE(check.killStaleDaemon(9000, 0us));
    EXPECT_TRUE(sent.empty() && lister->names == QStringList{"unasked"});

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

} // namespace
} // namespace pointrelay::app
