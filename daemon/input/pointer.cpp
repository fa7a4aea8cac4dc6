// SPDX-License-Identifier: MIT
#include "pointer.h"

#include <algorithm>
#include <cmath>

namespace pointrelay::input {
namespace {

// Rounds half away from zero. Text commands may carry any number, so values beyond the
// 64-bit range are held at its ends and NaN counts as 0 instead of being undefined.
long long roundHalfAway(double value) {
    constexpr double kLimit = 9.2e18;
    if (std::isnan(value))
        return 0;
    return std::llround(std::clamp(value, -kLimit, kLimit));
}

// Wheel values are the rounded pixels cut to 32 bits.
int32_t wheelValue(double pixels) {
    return static_cast<int32_t>(static_cast<uint32_t>(roundHalfAway(pixels)));
}

} // namespace

void PointerInjector::injectMove(double dx, double dy) {
    const double sx = static_cast<double>(roundHalfAway(dx * kMoveGain));
    const double sy = static_cast<double>(roundHalfAway(dy * kMoveGain));
    const Point from = m_sink.pointerLocation();
    const Point target{from.x + sx, from.y + sy};
    m_sink.warpPointer(target);

    MouseEvent event{MouseEventType::Moved, target, MouseButton::Left, std::nullopt};
    {
        std::lock_guard lock(m_mutex);
        if (m_leftButtonDown) {
            event.type = MouseEventType::LeftDragged;
        } else if (m_rightButtonDown) {
            event.type = MouseEventType::RightDragged;
            event.button = MouseButton::Right;
        }
    }
    m_sink.postMouse(event);
}

void PointerInjector::injectScroll(double dx, double dy) {
    const double vy = kScrollGain * dy;
    const double vx = kScrollGain * dx;
    m_sink.postScroll(ScrollEvent{wheelValue(vy), wheelValue(vx), true, vy, vx});
}

void PointerInjector::injectButton(bool isLeft, bool down) {
    std::lock_guard lock(m_mutex);
    postButton(isLeft, down);
}

bool PointerInjector::releaseHeld() {
    std::lock_guard lock(m_mutex);
    const std::thread::id self = std::this_thread::get_id();
    bool released = false;
    for (const bool isLeft : {true, false}) {
        if ((isLeft ? m_leftButtonDown : m_rightButtonDown) &&
            (isLeft ? m_leftHolder : m_rightHolder) == self) {
            postButton(isLeft, false);
            released = true;
        }
    }
    return released;
}

void PointerInjector::postButton(bool isLeft, bool down) {
    (isLeft ? m_leftButtonDown : m_rightButtonDown) = down;
    (isLeft ? m_leftHolder : m_rightHolder) = down ? std::this_thread::get_id() : std::thread::id();
    const Point p = m_sink.pointerLocation();

    MouseEvent event;
    event.location = p;
    if (!isLeft) {
        event.type = down ? MouseEventType::RightDown : MouseEventType::RightUp;
        event.button = MouseButton::Right;
        m_sink.postMouse(event);
        return;
    }

    event.type = down ? MouseEventType::LeftDown : MouseEventType::LeftUp;
    int32_t count = m_tracker.clickCount;
    if (down) {
        const double now = m_timing.absoluteTimeSeconds();
        count = 1;
        const double ddx = p.x - m_tracker.lastDownX;
        const double ddy = p.y - m_tracker.lastDownY;
        if (now - m_tracker.lastDownTime <= kDoubleClickInterval &&
            ddx * ddx + ddy * ddy <= kDoubleClickRadiusSquared)
            count = m_tracker.clickCount >= 1 ? 2 : m_tracker.clickCount + 1;
        m_tracker = {now, p.x, p.y, count};
    }
    // A double click is the most that is ever reported: a third quick press is another double.
    event.clickState = count < 2 ? 1 : count;
    m_sink.postMouse(event);
}

void PointerInjector::clickAt(double x, double y) {
    const Point at{x, y};
    m_sink.postMouse({MouseEventType::LeftDown, at, MouseButton::Left, std::nullopt});
    m_timing.sleepMicros(kClickHoldMicros);
    m_sink.postMouse({MouseEventType::LeftUp, at, MouseButton::Left, std::nullopt});
}

} // namespace pointrelay::input
