// SPDX-License-Identifier: MIT
#include "recovering_event_sink.h"

#include "core/log.h"

#include <utility>

namespace pointrelay::input {

RecoveringEventSink::RecoveringEventSink(std::unique_ptr<EventSink> sink, std::string name,
                                         Opener reopen)
    : m_name(std::move(name)), m_reopen(std::move(reopen)), m_sink(std::move(sink)),
      m_watcher([this] { watch(); }) {}

RecoveringEventSink::~RecoveringEventSink() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_watcher.join();
}

std::shared_ptr<EventSink> RecoveringEventSink::live() {
    std::shared_ptr<EventSink> dead; // let go of after the lock: its worker may log or wait
    std::lock_guard lock(m_mutex);
    if (m_sink && m_sink->gone()) {
        dead = std::exchange(m_sink, nullptr);
        m_wake.notify_all();
    }
    return m_sink;
}

bool RecoveringEventSink::gone() {
    return live() == nullptr;
}

Point RecoveringEventSink::pointerLocation() {
    const auto sink = live();
    return sink ? sink->pointerLocation() : Point{};
}

void RecoveringEventSink::warpPointer(Point to) {
    if (const auto sink = live())
        sink->warpPointer(to);
}

void RecoveringEventSink::postMouse(const MouseEvent& event) {
    if (const auto sink = live())
        sink->postMouse(event);
}

void RecoveringEventSink::postScroll(const ScrollEvent& event) {
    if (const auto sink = live())
        sink->postScroll(event);
}

void RecoveringEventSink::postKey(const KeyEvent& event) {
    if (const auto sink = live())
        sink->postKey(event);
}

HidOpenResult RecoveringEventSink::openHidSystem() {
    // Every route posts auxiliary keys through itself, with no service to lose.
    const auto sink = live();
    return sink ? sink->openHidSystem() : HidOpenResult{.serviceFound = true, .connection = 1};
}

int32_t RecoveringEventSink::postAuxKey(uint32_t connection, AuxKeyType type, bool down) {
    const auto sink = live();
    return sink ? sink->postAuxKey(connection, type, down) : 0;
}

void RecoveringEventSink::watch() {
    std::unique_lock lock(m_mutex);
    bool reported = false;
    while (!m_stopping) {
        // A sink that finds its desktop gone says so on its own worker; look at it as often
        // as a retry would, so the line comes even while no phone sends anything.
        if (m_sink && m_sink->gone()) {
            auto dead = std::exchange(m_sink, nullptr);
            lock.unlock();
            dead.reset();
            lock.lock();
        }
        if (!m_sink && !m_stopping) {
            if (!reported) {
                core::logLine("Input: " + m_name +
                              " has gone, events are dropped until it is back");
                reported = true;
            }
            lock.unlock();
            std::unique_ptr<EventSink> fresh = m_reopen();
            lock.lock();
            if (fresh && !fresh->gone() && !m_stopping) {
                m_sink = std::move(fresh);
                reported = false;
                core::logLine("Input: " + m_name + " is back");
            } else if (fresh) {
                // Destroyed without the lock: its worker may log or wait.
                lock.unlock();
                fresh.reset();
                lock.lock();
            }
        }
        m_wake.wait_for(lock, kRetryInterval);
    }
}

} // namespace pointrelay::input
