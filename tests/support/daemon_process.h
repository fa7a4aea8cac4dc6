// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace pointrelay::test {

/// A child process (pointrelayd, or a witness client of the tests) whose standard output and
/// error are read as they come (pointrelayd writes only the latter).
struct DaemonProcess {
    DaemonProcess(const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& env = {});
    ~DaemonProcess();

    pid_t pid() const { return m_pid; }
    void signal(int sig) const;
    /// Exit status once the process ended within `timeout`; nullopt if it still runs.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);

    bool waitFor(const std::string& needle,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
    size_t count(const std::string& needle) const;
    std::vector<std::string> lines() const;
    /// Everything the process wrote, byte for byte, once it has ended.
    std::string output() const;

    pid_t m_pid = -1;
    int m_pipe = -1;
    std::optional<int> m_status;
    mutable std::mutex m_mutex;
    std::string m_output;
    std::thread m_reader;
};

/// The desktop's process as tests/scripts/lib.sh keeps it up (its POINTRELAY_DESKTOP_PIDFILE):
/// a test ends it to play a person logging out and in, and sees a new one come. 0: none.
inline pid_t desktopPid() {
    pid_t pid = 0;
    if (const char* file = std::getenv("POINTRELAY_DESKTOP_PIDFILE"))
        std::ifstream(file) >> pid;
    return pid;
}

/// Polls `done` every 5 ms until it holds or `limit` has passed; returns whether it held.
template <typename Condition>
bool eventually(Condition done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

/// A PING answered by its PONG within `ms`: every frame `phone` sent before it was handled.
template <typename Phone>
bool pingRoundTrip(Phone& phone, int ms = 5000) {
    std::vector<uint8_t> body;
    for (bool sent = phone.sendPing(); sent && phone.recvFrame(body, ms);)
        if (body == std::vector<uint8_t>{0xFF})
            return true;
    return false;
}

/// A TCP port that the daemon can bind right now.
uint16_t freePort();

/// pointrelayd (POINTRELAYD_PATH) on `port` without mDNS, `args` after that, its state in
/// `state` and `env` on top; returned once it listens, or after 10 s.
std::unique_ptr<DaemonProcess> startDaemon(uint16_t port, const std::filesystem::path& state,
                                           std::vector<std::string> args = {},
                                           std::map<std::string, std::string> env = {});

} // namespace pointrelay::test
