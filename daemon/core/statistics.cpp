// SPDX-License-Identifier: MIT
#include "statistics.h"

#include "counters.h"
#include "log.h"

#include <cstdio>
#include <system_error>

namespace pointrelay::core {

std::string formatStatLine(uint64_t moves, uint64_t scrolls, double rateMove, double rateScroll) {
    char line[160];
    std::snprintf(line, sizeof line, "STAT move=%llu scroll=%llu rateMove=%f rateScroll=%f",
                  static_cast<unsigned long long>(moves), static_cast<unsigned long long>(scrolls),
                  rateMove, rateScroll);
    return line;
}

bool StatisticsReporter::start(std::chrono::milliseconds period) {
    m_reporting = true;
    try {
        m_thread = std::thread([this, period] { run(period); });
    } catch (const std::system_error&) {
        m_reporting = false;
        return false;
    }
    return true;
}

void StatisticsReporter::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_reporting = false;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void StatisticsReporter::run(std::chrono::milliseconds period) {
    using Clock = std::chrono::steady_clock;
    auto previousTime = Clock::now();
    uint64_t previousMoves = 0;
    uint64_t previousScrolls = 0;
    for (bool stopping = false; !stopping;) {
        {
            // The sleep ends early when the reporter is stopped, so shutdown never waits a
            // period; the line written then is the last one, with the final totals.
            std::unique_lock lock(m_mutex);
            stopping = m_wake.wait_for(lock, period, [this] { return !m_reporting.load(); });
        }
        const auto now = Clock::now();
        const uint64_t moves = moveCount.load();
        const uint64_t scrolls = scrollCount.load();
        double seconds =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - previousTime).count() /
            1000.0;
        if (!(seconds > 0))
            seconds = 1;
        logLine(formatStatLine(moves, scrolls, (moves - previousMoves) / seconds,
                               (scrolls - previousScrolls) / seconds));
        previousMoves = moves;
        previousScrolls = scrolls;
        previousTime = now;
    }
}

} // namespace pointrelay::core
