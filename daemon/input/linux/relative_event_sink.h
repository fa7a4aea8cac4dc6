// SPDX-License-Identifier: MIT
#pragma once

#include "input/event_sink.h"
#include "input/linux/injection_backend.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>

namespace pointrelay::input {

/// The input layer's events for a route that takes relative input (InjectionBackend):
///
/// - Positions: the route gives no global pointer position, so the sink keeps its own estimate
///   and sends the difference to each new position as relative motion. Drags and click counts
///   come out as on X11, since the desktop sees motion with a held button and timed clicks.
/// - Wheel: pixels add up per axis across events; every 40 make one step (at most 100 an event).
/// - Keys: by keysym from the one key table; a flags-style event presses its modifiers before
///   the key and releases them after it. Text is handed over as code points.
///
/// Session threads only queue: one worker thread drives the backend, so a slow desktop (or a
/// person deciding on a consent dialog) never holds a phone's session. The queue is bounded:
/// consecutive motions merge into one, and beyond kMaxQueued entries new presses, wheel steps
/// and texts are dropped (and logged) while releases are still taken, so no key stays down.
class RelativeEventSink final : public EventSink {
public:
    static constexpr size_t kMaxQueued = 4096;
    static constexpr double kPixelsPerWheelStep = 40;
    static constexpr double kMaxWheelStepsPerEvent = 100;

    /// Starts the worker, which first calls the backend's `start`.
    explicit RelativeEventSink(std::unique_ptr<InjectionBackend> backend);
    /// Stops the worker after what is queued; the backend goes with it.
    ~RelativeEventSink() override;

    Point pointerLocation() override;
    void warpPointer(Point to) override;
    void postMouse(const MouseEvent& event) override;
    void postScroll(const ScrollEvent& event) override;
    void postKey(const KeyEvent& event) override;
    HidOpenResult openHidSystem() override;
    int32_t postAuxKey(uint32_t connection, AuxKeyType type, bool down) override;
    /// True once the backend found its desktop gone.
    bool gone() override { return m_gone; }

    /// \brief Waits until the worker has handed everything queued so far to the backend; false
    /// after \a limit. For tests and benchmarks.
    bool waitUntilIdle(std::chrono::milliseconds limit);

private:
    struct Motion {
        double dx, dy;
    };
    struct Button {
        MouseButton button;
        bool down;
    };
    struct Wheel {
        int vertical, horizontal;
    };
    struct Key {
        Keysym keysym;
        bool down;
    };
    struct Text {
        std::u32string text;
    };
    using Item = std::variant<Motion, Button, Wheel, Key, Text>;

    // With m_mutex held.
    void moveTo(Point to);
    void push(Item item);
    void pushKey(Keysym keysym, bool down);
    int wheelSteps(double& pending, double pixels);

    void run();
    bool stopping();
    void wake();
    void handle(const Item& item);

    std::unique_ptr<InjectionBackend> m_backend;
    int m_wakeFd = -1;

    std::mutex m_mutex;
    std::condition_variable m_idle;
    Point m_position;             ///< where the moves sent so far have taken the pointer
    double m_pendingVertical = 0; ///< wheel pixels not yet worth a step
    double m_pendingHorizontal = 0;
    std::deque<Item> m_queue;
    uint64_t m_queued = 0;  ///< entries ever queued (a merged motion counts once)
    uint64_t m_handled = 0; ///< entries the worker has handed over (or dropped)
    uint64_t m_dropped = 0; ///< since the last report
    std::chrono::steady_clock::time_point m_lastDropReport;
    bool m_stopping = false;
    std::atomic<bool> m_gone = false;

    std::thread m_worker; // last: starts once everything above exists
};

} // namespace pointrelay::input
