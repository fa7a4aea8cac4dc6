// SPDX-License-Identifier: MIT
#pragma once

#include "input/event_sink.h"
#include "input/linux/keysyms.h"

#include <chrono>
#include <cstdint>
#include <linux/input-event-codes.h>
#include <optional>
#include <string>
#include <string_view>

namespace pointrelay::input {

/// A route into a desktop that takes relative input, as every Wayland route does: pointer
/// motion by a distance, buttons, wheel steps, keys by keysym and text. It knows nothing of
/// absolute positions, key combinations or the input layer's events; RelativeEventSink turns
/// those into these calls.
///
/// Every call but the constructor, the destructor and `interrupt` comes from one worker thread,
/// in order, so an implementation needs no locks. Calls may block that thread (a compositor that is
/// slow to read, a portal that asks the person) without holding up a phone's session.
class InjectionBackend {
public:
    virtual ~InjectionBackend() = default;

    /// What the log calls this route, e.g. "Wayland (wlroots virtual devices)".
    virtual std::string_view name() const = 0;

    /// \brief Makes the route ready before the first event (virtual devices, a remote-desktop
    /// session, the person's consent). False: nothing can be posted, and the caller drops
    /// every event from then on.
    virtual bool start() = 0;

    virtual void motion(double dx, double dy) = 0;
    virtual void button(MouseButton button, bool down) = 0;
    /// Wheel steps, as the input layer counts them: positive vertical scrolls up, positive
    /// horizontal scrolls left.
    virtual void wheel(int vertical, int horizontal) = 0;
    virtual void key(Keysym keysym, bool down) = 0;
    /// Code points to type exactly as they are, whatever the person's layout; line breaks and
    /// tabs type Return and Tab.
    virtual void text(std::u32string_view text) = 0;
    /// The events handed over since the last call form one group (a frame, a flush).
    virtual void endOfBatch() {}

    /// A descriptor to wait on for the route's own traffic (-1: none), and how long the
    /// worker may wait at most before `service` is due anyway.
    virtual int pollFd() const { return -1; }
    virtual std::optional<std::chrono::milliseconds> serviceTimeout() const { return std::nullopt; }
    /// \brief Reads and handles the route's own traffic (the descriptor is readable or the
    /// time-out passed). False: the route is gone for good.
    virtual bool service() { return true; }

    /// \brief Asks a `start` that is still waiting (for the person's consent) to give up: the
    /// daemon is stopping. The one call that comes from another thread.
    virtual void interrupt() {}
};

/// A button's evdev code, as every Wayland route names buttons.
constexpr int32_t evdevButton(MouseButton button) {
    return button == MouseButton::Left ? BTN_LEFT : BTN_RIGHT;
}

/// Calls `step(axis, steps)` for each wheel axis that moves, on wl_pointer's axes (0 vertical,
/// 1 horizontal), which grow down and right where the input layer's steps grow up and left.
template <typename Step>
void forEachWheelAxis(int vertical, int horizontal, Step&& step) {
    if (vertical != 0)
        step(uint32_t{0}, -vertical);
    if (horizontal != 0)
        step(uint32_t{1}, -horizontal);
}

} // namespace pointrelay::input
