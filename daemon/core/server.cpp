// SPDX-License-Identifier: MIT
#include "server.h"

#include "core/crypto/hmac_sha256.h"
#include "counters.h"
#include "device_keys.h"
#include "dns_sd_advertiser.h"
#include "handshake_admission.h"
#include "log.h"
#include "session.h"
#include "statistics.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace pointrelay::core {
namespace {

constexpr int kListenBacklog = 16;
// How long a stopping daemon waits for its sessions to log their last line.
constexpr auto kSessionDrainTime = std::chrono::milliseconds(1000);

std::atomic<bool> reloadRequested{false};

void onStopSignal(int) {
    runningFlag.store(false);
}

void onReloadSignal(int) {
    reloadRequested.store(true);
}

// SIGHUP: the keys file is read again; the sessions of keys it no longer lists end.
void reloadKeys(const StartupOptions& options, DeviceKeys* devices) {
    if (!devices) {
        logLine("SIGHUP ignored: no keys file to read again");
        return;
    }
    if (loadKeysFile(options.keysFile, *devices))
        logLine("Keys reloaded: " + std::to_string(devices->size()) + " devices");
    else
        logLine("Keys file unusable on reload: keeping " + std::to_string(devices->size()) +
                " devices");
}

// Sessions still running; the main thread waits for them briefly at shutdown.
class SessionTracker {
public:
    void started() {
        std::lock_guard lock(m_mutex);
        ++m_live;
    }
    void finished() {
        std::lock_guard lock(m_mutex);
        if (--m_live == 0)
            m_idle.notify_all();
    }
    bool waitUntilIdle(std::chrono::milliseconds limit) {
        std::unique_lock lock(m_mutex);
        return m_idle.wait_for(lock, limit, [this] { return m_live == 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_idle;
    int m_live = 0;
};

// A pipe that becomes readable once, when the daemon stops; every session waits on it too,
// so all of them notice the stop at once instead of at the end of their current wait.
class StopEvent {
public:
    StopEvent() {
        if (::pipe(m_fds) == 0) {
            for (const int fd : m_fds)
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    int fd() const { return m_fds[0]; }
    void fire() {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_fds[1], &byte, 1);
    }

private:
    int m_fds[2] = {-1, -1};
};

int openListener(uint16_t port, bool loopbackOnly) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        std::perror("socket");
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bind");
        ::close(fd);
        return -1;
    }
    if (::listen(fd, kListenBacklog) != 0) {
        std::perror("listen");
        ::close(fd);
        return -1;
    }
    // Readiness comes from pselect; a connection reset before accept must not block the loop.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

// Waits for a connection with the stop signals unblocked only inside the wait, so a signal
// that arrives at any moment ends the wait (no window between checking the flag and waiting).
bool waitForConnection(int listenFd, const sigset_t& waitMask) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listenFd, &readable);
    return ::pselect(listenFd + 1, &readable, nullptr, nullptr, nullptr, &waitMask) > 0;
}

} // namespace

void installSignalHandlers() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);

    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = 0; // no SA_RESTART: a blocked wait returns EINTR
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);

    struct sigaction reload {};
    reload.sa_handler = onReloadSignal;
    sigemptyset(&reload.sa_mask);
    ::sigaction(SIGHUP, &reload, nullptr);
}

bool daemonize() {
    const pid_t first = ::fork();
    if (first < 0)
        return false;
    if (first > 0)
        std::_Exit(0);
    if (::setsid() < 0)
        return false;
    const pid_t second = ::fork();
    if (second < 0)
        return false;
    if (second > 0)
        std::_Exit(0);

    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO)
            ::close(null);
    }
    ::umask(027);
    [[maybe_unused]] const int rc = ::chdir("/");
    return true;
}

int runServer(const StartupOptions& options, InputHandler& input, ReplayGuard* replay,
              DeviceKeys* devices) {
    // Every thread but the main one keeps the stop and reload signals blocked, so they reach
    // the main thread's wait; the main thread unblocks them only while it waits.
    sigset_t mainSignals, waitMask;
    sigemptyset(&mainSignals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&mainSignals, signal);
    ::pthread_sigmask(SIG_BLOCK, &mainSignals, &waitMask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(&waitMask, signal);

    // The built-in key is printed in our sources: with it, a daemon open to the network would
    // let anyone on it drive this desktop. Without a key of the user's own it serves this
    // machine only (tests, scripts, a relay on the same host).
    const bool loopbackOnly = options.usesBuiltInKey();
    if (loopbackOnly)
        logLine("No --psk given: the built-in key is public, listening on 127.0.0.1 only");
    const int listenFd = openListener(options.port, loopbackOnly);
    if (listenFd < 0)
        return 1;
    logLine("Listening on port " + std::to_string(options.port));

    DnsSdAdvertiser advertiser;
    if (options.mdns) {
        const int32_t err = advertiser.start(options.port);
        if (err != 0)
            logLine("mDNS register failed: " + std::to_string(err));
        else
            logLine("mDNS: _pointrelay._tcp advertised");
    }

    StatisticsReporter statistics;
    if (options.statMs > 0 && !statistics.start(std::chrono::milliseconds(options.statMs)))
        logLine("Statistics reporter could not be started");

    // Shared with every session; they live until the process ends, as sessions may outlive
    // this function by a moment.
    static HandshakeAdmission admission;
    static StopEvent stopEvent;
    static SessionTracker sessions;

    while (runningFlag.load()) {
        if (!waitForConnection(listenFd, waitMask)) {
            if (reloadRequested.exchange(false))
                reloadKeys(options, devices);
            continue; // EINTR: the loop condition decides
        }
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        const int fd = ::accept(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (fd < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED)
                continue;
            std::perror("accept");
            continue;
        }
        // Accepted sockets inherit O_NONBLOCK on some systems; sessions use blocking calls.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);

        SessionContext context;
        context.input = &input;
        context.stopFd = stopEvent.fd();
        context.guards.replay = replay;
        context.guards.devices = devices;
        context.guards.admission = &admission;
        context.guards.admissionTicket = admission.admit(fd, ntohl(peer.sin_addr.s_addr));
        sessions.started();
        try {
            std::thread([fd, peer, config = options.config, context] {
                runClientSession(fd, peer, config, context);
                // The process may exit as soon as the last session says it is done, so the
                // thread hands back the crypto library's per-thread state before it does.
                crypto::releaseThreadState();
                sessions.finished();
            }).detach();
        } catch (const std::system_error&) {
            admission.release(context.guards.admissionTicket);
            ::close(fd);
            sessions.finished();
            logLine("Session thread could not be started -> connection closed");
        }
    }

    stopEvent.fire();
    admission.shutdownAll();
    ::close(listenFd);
    advertiser.stop();
    const bool drained = sessions.waitUntilIdle(kSessionDrainTime);
    // After the sessions, so that the last STAT line counts every frame they handled.
    statistics.stop();
    logLine("Server stopped");
    if (!drained)
        std::_Exit(0); // sessions still hold shared state; end without tearing it down
    return 0;
}

} // namespace pointrelay::core
