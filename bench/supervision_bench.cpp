// SPDX-License-Identifier: MIT
// What supervising the daemon costs the application per minute: the process manager polls the
// daemon's established connections once a second. Measured with the /proc implementation the
// application uses on Linux against the lsof implementation (macOS's, and Linux's fallback):
// CPU time of the polls (their own thread, plus any child processes) and child processes
// started. The polls run faster than once a second here; their cost does not depend on it.
#include "figure.h"
#include "model/lsof_socket_lister.h"
#include "model/port_check.h"
#include "model/proc_socket_lister.h"
#include "model/server_process_manager.h"
#include "phone_client.h"
#include "support/daemon_process.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <atomic>
#include <cmath>
#include <csignal>
#include <fstream>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pointrelay::bench {
namespace {

using namespace std::chrono_literals;

constexpr char kPsk[] = "5afe5afe5afe5afe5afe5afe5afe5afe5afe5afe5afe5afe5afe5afe5afe5afe";
constexpr int kPollsPerMinute = 60;
constexpr int kPhones = 10;

// Processes (and threads) created so far: in a PID namespace of our own the last PID handed
// out counts exactly what this program started; otherwise the machine's fork counter.
bool g_ownPidNamespace = false;

long long processesStarted() {
    if (g_ownPidNamespace) {
        std::ifstream last("/proc/sys/kernel/ns_last_pid");
        long long pid = 0;
        last >> pid;
        return pid;
    }
    std::ifstream stat("/proc/stat");
    for (std::string key; stat >> key;) {
        long long value = 0;
        if (key == "processes" && stat >> value)
            return value;
    }
    return 0;
}

// Rows of the kernel's TCP tables: a /proc poll reads all of them, so its cost grows with it.
long long socketTableRows() {
    long long rows = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        for (std::string line; std::getline(in, line);)
            ++rows;
        rows -= rows > 0; // the header line
    }
    return rows;
}

double threadCpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double childrenCpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

struct Cost {
    double cpuMs = 0;      ///< per minute: the polls' thread and their children
    long long started = 0; ///< processes started per minute
    bool answered = true;  ///< every poll got a count
};

// A minute's worth of the manager's polls, with the daemon serving `kPhones` phones.
Cost superviseOneMinute(app::ServerProcessManager& manager, const app::PortCheck& check) {
    const uint16_t port = test::freePort();
    std::atomic<int> polls{0};
    std::atomic<bool> measuring{false};
    std::atomic<bool> answered{true};
    double pollCpuMs = 0; // the poll thread's alone
    manager.setConnectionCounter([&](quint16 p) {
        const double before = threadCpuMs();
        const auto count = check.countEstablishedConnections(p);
        if (measuring) {
            pollCpuMs += threadCpuMs() - before;
            // lsof lists both ends of a local connection; /proc counts the daemon's end.
            answered = answered && count.has_value() && *count >= kPhones;
            ++polls;
        }
        return count;
    });
    manager.setPollInterval(20ms);
    manager.start(port, QString::fromLatin1(kPsk), false, 1000);
    std::vector<client::PhoneClient> phones(kPhones);
    for (int i = 0; i < 100 && !phones[0].connect("127.0.0.1", port); ++i)
        std::this_thread::sleep_for(20ms);
    for (auto& phone : phones)
        if ((phone.fd() < 0 && !phone.connect("127.0.0.1", port)) || !phone.handshake(kPsk))
            return {0, 0, false};
    std::this_thread::sleep_for(100ms);

    const long long startedBefore = processesStarted();
    const double childrenBefore = childrenCpuMs();
    measuring = true;
    const QDeadlineTimer deadline(30s);
    while (polls < kPollsPerMinute && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    measuring = false;
    const long long started = processesStarted() - startedBefore;
    const double childrenMs = childrenCpuMs() - childrenBefore;
    manager.stop();
    const double scale = double(kPollsPerMinute) / std::max(1, polls.load());
    return {(pollCpuMs + childrenMs) * scale, std::llround(started * scale),
            answered && polls >= kPollsPerMinute};
}

int run(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toUtf8()); // the daemon's replay memory
    qputenv("DISPLAY", "");
    app::ServerProcessManager manager;
    manager.setDaemonPath(QStringLiteral(POINTRELAYD_PATH));

    const app::PortCheck viaProc(std::make_shared<app::ProcSocketLister>());
    const app::PortCheck viaLsof(std::make_shared<app::LsofSocketLister>(
        app::LsofSocketLister::systemLsofPath(), app::LsofSocketLister::systemPsPath()));
    const Cost proc = superviseOneMinute(manager, viaProc);
    const Cost lsof = superviseOneMinute(manager, viaLsof);

    heading(g_ownPidNamespace
                ? "Monitoring cost per minute of supervision (60 polls; lower is better)"
                : "Monitoring cost per minute of supervision (60 polls; lower is better; "
                  "processes counted machine-wide)");
    std::printf("  (%lld sockets in the kernel's TCP tables, which every /proc poll reads)\n",
                socketTableRows());
    if (!proc.answered)
        std::printf("  (the /proc polls did not all count the %d phones)\n", kPhones);
    if (!lsof.answered)
        std::printf("  (the lsof polls did not all count the %d phones)\n", kPhones);
    print({"CPU time, /proc/net/tcp (used on Linux)",
           proc.cpuMs,
           "ms",
           "lsof per poll (macOS, Linux fallback)",
           lsof.cpuMs,
           "",
           {}});
    print({"processes started, /proc/net/tcp",
           double(proc.started),
           "",
           "lsof per poll",
           double(lsof.started),
           "",
           {}});
    return figuresStatus();
}

} // namespace
} // namespace pointrelay::bench

int main(int argc, char** argv) {
    // In a PID namespace of its own (where the system allows one), the program can count the
    // processes it starts exactly, whatever else the machine runs.
    if (::unshare(CLONE_NEWPID) == 0) {
        const pid_t child = ::fork();
        if (child == 0) {
            pointrelay::bench::g_ownPidNamespace = true;
            std::_Exit(pointrelay::bench::run(argc, argv));
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    return pointrelay::bench::run(argc, argv);
}
