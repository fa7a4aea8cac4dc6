// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace pointrelay::input {

/// Bounds the sessions inside the input layer at once, waiting on the desktop or using it.
/// A desktop slower than its phones would otherwise gather a waiting thread per phone (a storm
/// of short-lived connections gathered thousands, typing for phones long gone). A session that
/// finds the gate full drops its event instead of waiting; the drops are counted and logged
/// ("Input: the desktop is not keeping up, N events dropped"), at most once a second.
class InputGate {
public:
    explicit InputGate(int capacity) : m_capacity(capacity) {}

    /// Whether the caller may go in. False, and the event counted as dropped, when the gate
    /// is full, unless `always` (a release must never be lost, or a button stays down).
    /// Each true is matched by a leave().
    bool enter(bool always);
    void leave();

private:
    void reportDrops(std::chrono::steady_clock::time_point now);

    const int m_capacity;
    std::mutex m_mutex;
    int m_inside = 0;
    uint64_t m_dropped = 0; ///< since the last report
    std::chrono::steady_clock::time_point m_lastReport;
};

/// Inside an InputGate for one scope, if it let the caller in.
class GatePass {
public:
    GatePass(InputGate& gate, bool always) : m_gate(gate), m_admitted(gate.enter(always)) {}
    ~GatePass() {
        if (m_admitted)
            m_gate.leave();
    }
    GatePass(const GatePass&) = delete;
    GatePass& operator=(const GatePass&) = delete;
    explicit operator bool() const { return m_admitted; }

private:
    InputGate& m_gate;
    const bool m_admitted;
};

} // namespace pointrelay::input
