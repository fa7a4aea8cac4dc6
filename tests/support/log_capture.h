// SPDX-License-Identifier: MIT
#pragma once

#include "core/log.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace pointrelay::test {

/// Collects the daemon's log lines in-process (without the trailing newline) while alive.
struct LogCapture {
    LogCapture() {
        core::setLogObserver([this](std::string_view line) {
            std::lock_guard lock(m_mutex);
            m_lines.emplace_back(line.substr(0, line.size() - 1));
            m_changed.notify_all();
        });
    }
    ~LogCapture() { core::setLogObserver({}); }

    std::vector<std::string> lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    /// Waits until a line containing `needle` appears; true if it did within `timeout`.
    bool waitFor(const std::string& needle,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return matching(m_lines, needle) > 0; });
    }
    size_t count(const std::string& needle) const { return matching(lines(), needle); }

    static size_t matching(const std::vector<std::string>& lines, const std::string& needle) {
        return std::ranges::count_if(lines, [&](auto& l) { return l.find(needle) != l.npos; });
    }
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};

} // namespace pointrelay::test
