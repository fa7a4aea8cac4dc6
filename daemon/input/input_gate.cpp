// SPDX-License-Identifier: MIT
#include "input_gate.h"

#include "core/log.h"

#include <string>

namespace pointrelay::input {

namespace {
constexpr std::chrono::seconds kReportInterval{1};
}

bool InputGate::enter(bool always) {
    std::lock_guard lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    if (m_inside >= m_capacity && !always) {
        ++m_dropped;
        reportDrops(now);
        return false;
    }
    ++m_inside;
    reportDrops(now); // what was dropped before the desktop caught up
    return true;
}

void InputGate::leave() {
    std::lock_guard lock(m_mutex);
    --m_inside;
}

void InputGate::reportDrops(std::chrono::steady_clock::time_point now) {
    if (m_dropped == 0 || now - m_lastReport < kReportInterval)
        return;
    core::logLine("Input: the desktop is not keeping up, " + std::to_string(m_dropped) +
                  " events dropped");
    m_dropped = 0;
    m_lastReport = now;
}

} // namespace pointrelay::input
