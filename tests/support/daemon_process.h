// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace pointrelay::test {

/// A child process (pointrelayd, or a witness client of the tests) whose standard error, or
/// standard output, is read as it comes.
class DaemonProcess {
public:
    enum class Output { standardError, standardOutput };

    /// `addressSpaceLimit`, when non-zero, caps the child's virtual memory (RLIMIT_AS).
    DaemonProcess(const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& env = {}, size_t addressSpaceLimit = 0,
                  Output read = Output::standardError);
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

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

private:
    pid_t m_pid = -1;
    int m_stderr = -1;
    std::optional<int> m_status;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_output;
    std::thread m_reader;
};

/// A TCP port that the daemon can bind right now.
uint16_t freePort();

} // namespace pointrelay::test
