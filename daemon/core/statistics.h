// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace pointrelay::core {

/// "STAT move=M scroll=S rateMove=RM rateScroll=RS", rates with six decimals.
std::string formatStatLine(uint64_t moves, uint64_t scrolls, double rateMove, double rateScroll);

/// Writes a STAT line every period: totals since start and the rates over the last period.
/// The daemon stops it after its sessions have ended, so the last line holds the final totals.
class StatisticsReporter {
public:
    ~StatisticsReporter() { stop(); }

    /// \brief Starts the reporter thread; false if the thread cannot be started.
    bool start(std::chrono::milliseconds period);
    /// Clears the reporting flag, wakes the sleep in progress, which writes one last line
    /// (totals, and rates over the shortened period), and joins the thread.
    void stop();

private:
    void run(std::chrono::milliseconds period);

    std::atomic<bool> m_reporting{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
};

} // namespace pointrelay::core
