// SPDX-License-Identifier: MIT
#pragma once

#include "event_sink.h"

#include <mutex>
#include <thread>

namespace pointrelay::input {

/// Relative moves, scrolls, button transitions with double-click detection, and absolute
/// clicks. One instance serves every session; its button and click state is process-wide.
class PointerInjector {
public:
    static constexpr double kMoveGain = 3.0;
    static constexpr double kScrollGain = 40.0;
    static constexpr double kDoubleClickInterval = 0.5; ///< seconds, inclusive
    static constexpr double kDoubleClickRadiusSquared = 16.0;
    static constexpr int64_t kClickHoldMicros = 8000;

    PointerInjector(EventSink& sink, Timing& timing) : m_sink(sink), m_timing(timing) {}

    void injectMove(double dx, double dy);
    void injectScroll(double dx, double dy);
    void injectButton(bool isLeft, bool down);
    /// \brief Releases the buttons that the calling session pressed and still holds. Each
    /// session injects on its own thread, so the thread tells whose press it was. True when
    /// something was released.
    bool releaseHeld();
    /// A left press and release at (x, y); touches neither the button flags nor the clicks.
    void clickAt(double x, double y);
    Point currentPointerLocation() { return m_sink.pointerLocation(); }

private:
    void postButton(bool isLeft, bool down); // with m_mutex held

    struct ClickTracker {
        double lastDownTime = 0;
        double lastDownX = 0;
        double lastDownY = 0;
        int32_t clickCount = 0;
    };

    EventSink& m_sink;
    Timing& m_timing;
    // The button flags and the click record change together, so sessions pressing at the
    // same time cannot interleave a read and a write of the record.
    std::mutex m_mutex;
    bool m_leftButtonDown = false;
    bool m_rightButtonDown = false;
    std::thread::id m_leftHolder; ///< the session thread of the last left press, while down
    std::thread::id m_rightHolder;
    ClickTracker m_tracker;
};

} // namespace pointrelay::input
