// SPDX-License-Identifier: MIT
// The built pointrelayd over loopback: handshakes per second, and the memory one idle
// authenticated session costs with 1,000 of them open. The baseline is the least server of
// the same shape: a thread per connection that reads the 58-byte HELLO, answers 53 bytes
// and then waits for the connection to end.
#include "figure.h"
#include "phone_client.h"
#include "support/daemon_process.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pointrelay::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kPsk[] = "d00dfeedd00dfeedd00dfeedd00dfeedd00dfeedd00dfeedd00dfeedd00dfeed";
constexpr size_t kHelloWire = 4 + 54;
constexpr size_t kWelcomeWire = 4 + 49;
constexpr int kSessions = 1000;
constexpr auto kHandshakeTime = 2s;
constexpr int kMaxHandshakes = 50000;

// A TCP connection from `source` (any 127.x.y.z) to 127.0.0.1:`port`, Nagle off; -1 on
// failure. SO_REUSEADDR: thousands of connections closed first by this side stay in TIME_WAIT.
int connectLoopback(uint16_t port, const std::string& source) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    sockaddr_in local{AF_INET, 0, {}, {}},
        remote{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A network namespace of this program's own with only the loopback interface, up, where the
// system allows it: the closed connections' TIME_WAIT goes with the program.
void enterPrivateLoopbackNetwork() {
    if (::unshare(CLONE_NEWNET) != 0)
        return;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
        request.ifr_flags |= IFF_UP;
        ::ioctl(fd, SIOCSIFFLAGS, &request);
    }
    if (fd >= 0)
        ::close(fd);
}

void raiseOpenFileLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

std::string sourceAddress(int i) {
    return "127.9." + std::to_string(i / 250 % 250) + "." + std::to_string(1 + i % 250);
}

// The baseline server, in a process of its own so that its memory can be read alone. Forked
// before this program starts any thread.
class BareServer {
public:
    BareServer() {
        int ports[2];
        if (::pipe(ports) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ports[0]);
            serve(ports[1]);
            std::_Exit(0);
        }
        ::close(ports[1]);
        uint16_t port = 0;
        if (::read(ports[0], &port, sizeof port) == sizeof port)
            m_port = port;
        ::close(ports[0]);
    }
    ~BareServer() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t pid() const { return m_pid; }
    uint16_t port() const { return m_port; }

private:
    static void serve(int portPipe) {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener, 16); // as the daemon's
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        const uint16_t port = ntohs(address.sin_port);
        [[maybe_unused]] const ssize_t n = ::write(portPipe, &port, sizeof port);
        ::close(portPipe);
        for (;;) {
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd < 0)
                continue;
            std::thread([fd] {
                uint8_t hello[kHelloWire];
                uint8_t welcome[kWelcomeWire] = {0, 0, 0, 49, 0x02};
                size_t got = 0;
                ssize_t n = 1;
                while (got < sizeof hello &&
                       (n = ::recv(fd, hello + got, sizeof hello - got, 0)) > 0)
                    got += static_cast<size_t>(n);
                if (got == sizeof hello && ::send(fd, welcome, sizeof welcome, MSG_NOSIGNAL) > 0)
                    while (::recv(fd, hello, sizeof hello, 0) > 0) {
                    }
                ::close(fd);
            }).detach();
        }
    }

    pid_t m_pid = -1;
    uint16_t m_port = 0;
};

// A running daemon with its replay memory in a folder of its own, no window system. With
// `devices`, it reads that many paired devices from a keys file, the bench's key listed last.
class Daemon {
public:
    explicit Daemon(int devices = 0) : m_port(test::freePort()) {
        char folder[] = "/tmp/pointrelay-bench-XXXXXX";
        m_state = ::mkdtemp(folder) ? folder : "/tmp";
        std::vector<std::string> keys{"--psk", kPsk};
        if (devices > 0) {
            keys = {"--keys-file", m_state + "/devices"};
            std::ofstream file(keys[1]);
            for (int i = 1; i < devices; ++i)
                file << std::string(60, 'e') << 1000 + i << " Phone " << i << "\n";
            file << kPsk << " Phone " << devices << "\n";
            file.close();
            ::chmod(keys[1].c_str(), 0600);
        }
        std::vector<std::string> args{POINTRELAYD_PATH, "--no-mdns", "--port",
                                      std::to_string(m_port)};
        args.insert(args.end(), keys.begin(), keys.end());
        m_process = std::make_unique<test::DaemonProcess>(
            args, std::map<std::string, std::string>{{"XDG_STATE_HOME", m_state}, {"DISPLAY", ""}});
        m_ready = m_process->waitFor("Listening on port");
    }
    ~Daemon() {
        m_process->signal(SIGTERM);
        m_process->waitExit(3s);
        m_process.reset();
        std::error_code ignored;
        if (m_state != "/tmp")
            std::filesystem::remove_all(m_state, ignored);
    }
    bool ready() const { return m_ready; }
    uint16_t port() const { return m_port; }
    test::DaemonProcess& process() { return *m_process; }

private:
    uint16_t m_port;
    std::string m_state;
    std::unique_ptr<test::DaemonProcess> m_process;
    bool m_ready = false;
};

// Connect, HELLO, WELCOME (checked against the key), hang up; as many as fit in the time.
double daemonHandshakesPerSecond(uint16_t port) {
    int done = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < kHandshakeTime && done < kMaxHandshakes) {
        client::PhoneClient phone;
        const int fd = connectLoopback(port, sourceAddress(done));
        if (fd < 0)
            break;
        phone.adopt(fd);
        if (!phone.handshake(kPsk))
            break;
        ++done;
    }
    const std::chrono::duration<double> seconds = Clock::now() - start;
    return done / seconds.count();
}

bool bareExchange(int fd) {
    uint8_t hello[kHelloWire] = {0, 0, 0, 54, 0x01};
    uint8_t welcome[kWelcomeWire];
    size_t got = 0;
    if (::send(fd, hello, sizeof hello, MSG_NOSIGNAL) != ssize_t(sizeof hello))
        return false;
    ssize_t n;
    while (got < sizeof welcome && (n = ::recv(fd, welcome + got, sizeof welcome - got, 0)) > 0)
        got += static_cast<size_t>(n);
    return got == sizeof welcome;
}

double bareExchangesPerSecond(uint16_t port) {
    int done = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < kHandshakeTime && done < kMaxHandshakes) {
        const int fd = connectLoopback(port, sourceAddress(done));
        if (fd < 0)
            break;
        const bool ok = bareExchange(fd);
        ::close(fd);
        if (!ok)
            break;
        ++done;
    }
    const std::chrono::duration<double> seconds = Clock::now() - start;
    return done / seconds.count();
}

long rssKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    return 0;
}

// RSS growth of the process per open connection, after a short settling time.
template <typename Open>
double kibPerConnection(pid_t pid, Open open) {
    std::this_thread::sleep_for(200ms);
    const long before = rssKiB(pid);
    if (!open())
        return 0;
    std::this_thread::sleep_for(300ms);
    return double(rssKiB(pid) - before) / kSessions;
}

} // namespace
} // namespace pointrelay::bench

int main() {
    using namespace pointrelay;
    using namespace pointrelay::bench;
    raiseOpenFileLimit(); // 1,000 connections, on both sides
    // Thousands of connections closed by the client stay in TIME_WAIT for a minute; where the
    // system allows it they stay in a network of their own and go with this program.
    enterPrivateLoopbackNetwork();
    BareServer bare; // before any thread exists in this program
    if (bare.port() == 0) {
        std::fprintf(stderr, "the baseline server did not start\n");
        return 1;
    }

    heading("Handshakes per second, one phone after another (higher is better)");
    double daemonRate = 0;
    {
        Daemon daemon;
        if (!daemon.ready()) {
            std::fprintf(stderr, "pointrelayd did not start\n");
            return 1;
        }
        daemonRate = daemonHandshakesPerSecond(daemon.port());
    }
    const double bareRate = bareExchangesPerSecond(bare.port());
    print({"pointrelayd: connect, HELLO, WELCOME, close",
           daemonRate,
           "/s",
           "bare thread-per-connection exchange",
           bareRate,
           "",
           {}});

    // The key of a HELLO is found by trying each paired device's in turn; the bench's phone
    // is listed last. Alternated, each the best of two, so the machine's drift counts for both.
    heading("Handshake time with 64 paired devices against one (lower is better)");
    double oneDevice = 0, manyDevices = 0;
    for (int round = 0; round < 2; ++round) {
        for (const int devices : {1, 64}) {
            Daemon daemon(devices);
            if (!daemon.ready())
                return 1;
            double& best = devices == 1 ? oneDevice : manyDevices;
            best = std::max(best, daemonHandshakesPerSecond(daemon.port()));
        }
    }
    print({"pointrelayd, 64 devices, the phone's key last", 1e6 / manyDevices, "us",
           "one paired device", 1e6 / oneDevice, "ratio <= 1.5",
           manyDevices > 0 && oneDevice / manyDevices <= 1.5});

    heading("Memory per idle authenticated session, 1,000 open (RSS growth / 1,000)");
    double daemonKiB = 0;
    {
        Daemon daemon;
        if (!daemon.ready())
            return 1;
        // A few sessions first, so that one-time allocations do not count.
        for (int i = 0; i < 16; ++i) {
            client::PhoneClient phone;
            phone.adopt(connectLoopback(daemon.port(), sourceAddress(i)));
            phone.handshake(kPsk);
        }
        daemon.process().waitFor("Client disconnected (0 active)", 2s);
        std::vector<client::PhoneClient> phones(kSessions);
        daemonKiB = kibPerConnection(daemon.process().pid(), [&] {
            // Authenticated, and a PING answered: the session is in its loop, with the
            // buffer it reads frames into.
            std::vector<uint8_t> pong;
            for (int i = 0; i < kSessions; ++i) {
                phones[i].adopt(connectLoopback(daemon.port(), sourceAddress(i)));
                if (!phones[i].handshake(kPsk) || !phones[i].sendPing() ||
                    !phones[i].recvFrame(pong, 2000))
                    return false;
            }
            return daemon.process().waitFor(
                "Client connected (" + std::to_string(kSessions) + " active)", 5s);
        });
    }
    std::vector<int> held;
    const double bareKiB = kibPerConnection(bare.pid(), [&] {
        for (int i = 0; i < kSessions; ++i) {
            held.push_back(connectLoopback(bare.port(), sourceAddress(i)));
            if (!bareExchange(held.back()))
                return false;
        }
        return true;
    });
    for (const int fd : held)
        ::close(fd);
    print({"pointrelayd idle session", daemonKiB, "KiB", "bare thread per connection", bareKiB,
           "< 100 KiB each", daemonKiB > 0 && daemonKiB < 100});
    return figuresStatus();
}
