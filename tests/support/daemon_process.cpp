// SPDX-License-Identifier: MIT
#include "daemon_process.h"

#include <arpa/inet.h>
#include <csignal>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pointrelay::test {

DaemonProcess::DaemonProcess(const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env) {
    int fds[2];
    if (::pipe(fds) != 0)
        return;
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // a test killed outright (a time-out) leaves nothing
        ::dup2(fds[1], STDOUT_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        ::close(fds[0]), ::close(fds[1]);
        for (const auto& [name, value] : env)
            ::setenv(name.c_str(), value.c_str(), 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    m_pipe = fds[0];
    m_reader = std::thread([this] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(m_pipe, buffer, sizeof buffer)) > 0;) {
            std::lock_guard lock(m_mutex);
            m_output.append(buffer, static_cast<size_t>(n));
        }
    });
}

DaemonProcess::~DaemonProcess() {
    signal(SIGKILL);
    if (m_pid > 0 && !m_status)
        ::waitpid(m_pid, nullptr, 0);
    if (m_reader.joinable())
        m_reader.join();
    ::close(m_pipe);
}

void DaemonProcess::signal(int sig) const {
    if (m_pid > 0 && !m_status)
        ::kill(m_pid, sig);
}

std::optional<int> DaemonProcess::waitExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int status = 0; !m_status; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        else if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
    }
    if (m_reader.joinable())
        m_reader.join(); // the pipe closes with the process (and any child it forked)
    return m_status;
}

bool DaemonProcess::waitFor(const std::string& needle, std::chrono::milliseconds timeout) {
    return eventually([&] { return count(needle) > 0; }, timeout);
}

size_t DaemonProcess::count(const std::string& needle) const {
    std::lock_guard lock(m_mutex);
    size_t n = 0;
    for (size_t at = 0; (at = m_output.find(needle, at)) != m_output.npos; at += needle.size())
        ++n;
    return n;
}

std::vector<std::string> DaemonProcess::lines() const {
    std::istringstream stream(output());
    std::vector<std::string> out;
    for (std::string line; std::getline(stream, line);)
        out.push_back(line);
    return out;
}

std::string DaemonProcess::output() const {
    std::lock_guard lock(m_mutex);
    return m_output;
}

uint16_t freePort() {
    // Probed as the daemon binds: the wildcard address with SO_REUSEADDR. A client socket
    // without that option keeps its port in TIME_WAIT for a minute after it closed, and such a
    // port still binds on 127.0.0.1 alone but not as the daemon binds it.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0), one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_ANY)}, {}};
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::unique_ptr<DaemonProcess> startDaemon(uint16_t port, const std::filesystem::path& state,
                                           std::vector<std::string> args,
                                           std::map<std::string, std::string> env) {
    args.insert(args.begin(), {POINTRELAYD_PATH, "--no-mdns", "--port", std::to_string(port)});
    env.emplace("XDG_STATE_HOME", state.string());
    auto daemon = std::make_unique<DaemonProcess>(args, env);
    daemon->waitFor("[C++] Listening on port " + std::to_string(port), std::chrono::seconds(10));
    return daemon;
}

} // namespace pointrelay::test
