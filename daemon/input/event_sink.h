// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pointrelay::input {

/// A point in global display coordinates (origin top-left).
struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

/// Mouse event types, with the window system's published values.
enum class MouseEventType : uint8_t {
    LeftDown = 1,
    LeftUp = 2,
    RightDown = 3,
    RightUp = 4,
    Moved = 5,
    LeftDragged = 6,
    RightDragged = 7,
};

enum class MouseButton : uint8_t { Left = 0, Right = 1 };

/// Where an event enters the window system: the HID tap, as if from a device, or the
/// session tap, as if from the user's login session.
enum class Tap : uint8_t { Hid = 0, Session = 1 };

struct MouseEvent {
    MouseEventType type = MouseEventType::Moved;
    Point location;
    MouseButton button = MouseButton::Left;
    std::optional<int64_t> clickState; ///< set on left-button presses and releases only
    bool operator==(const MouseEvent&) const = default;
};

/// One scroll-wheel event in pixel units with two wheels (vertical first).
struct ScrollEvent {
    int32_t wheel1 = 0; ///< vertical, rounded pixels
    int32_t wheel2 = 0; ///< horizontal, rounded pixels
    bool continuous = true;
    double fixedDelta1 = 0; ///< vertical, unrounded
    double fixedDelta2 = 0; ///< horizontal, unrounded
    bool operator==(const ScrollEvent&) const = default;
};

/// Modifier flag masks carried by flags-style key events.
namespace flags {
inline constexpr uint64_t kShift = 0x20000;
inline constexpr uint64_t kControl = 0x40000;
inline constexpr uint64_t kOption = 0x80000;
inline constexpr uint64_t kCommand = 0x100000;
inline constexpr uint64_t kFn = 0x800000;
} // namespace flags

struct KeyEvent {
    uint16_t keyCode = 0; ///< virtual key code of a US ANSI keyboard
    bool down = true;
    std::optional<uint64_t> flags;      ///< replaces the event's modifier flags when set
    std::optional<std::u16string> text; ///< typed instead of the key's own character when set
    Tap tap = Tap::Hid;
    bool operator==(const KeyEvent&) const = default;
};

/// Auxiliary control-button key types (volume, brightness, media).
enum class AuxKeyType : uint8_t {
    SoundUp = 0,
    SoundDown = 1,
    BrightnessUp = 2,
    BrightnessDown = 3,
    Mute = 7,
    Play = 16,
    Fast = 19,
    Rewind = 20,
};

/// The outcome of opening the system's auxiliary-key service.
struct HidOpenResult {
    bool serviceFound = false;
    int32_t status = 0;      ///< 0 on success
    uint32_t connection = 0; ///< non-zero when open
};

/// The window system as the input logic sees it: typed events in, pointer location out.
/// Adapters translate these into the real platform calls; none of them reports failure
/// except the auxiliary-key service, whose statuses are logged.
class EventSink {
public:
    virtual ~EventSink() = default;

    virtual Point pointerLocation() = 0;
    virtual void warpPointer(Point to) = 0;
    virtual void postMouse(const MouseEvent& event) = 0;
    virtual void postScroll(const ScrollEvent& event) = 0;
    virtual void postKey(const KeyEvent& event) = 0;

    virtual HidOpenResult openHidSystem() = 0;
    /// Posts one auxiliary key press (down) or release; returns the platform status, 0 = ok.
    virtual int32_t postAuxKey(uint32_t connection, AuxKeyType type, bool down) = 0;

    /// \brief True once the desktop behind the sink has gone for good (its server or
    /// compositor ended): nothing posted arrives any more, and the route must be opened anew.
    virtual bool gone() { return false; }
};

/// Time as the input logic needs it; tests substitute a recording fake that never sleeps.
class Timing {
public:
    virtual ~Timing() = default;
    /// Seconds on the platform's absolute-time clock (used for double-click detection).
    virtual double absoluteTimeSeconds() = 0;
    virtual void sleepMicros(int64_t micros) = 0;
};

/// Real time: the system clock and real sleeps.
class SystemTiming final : public Timing {
public:
    double absoluteTimeSeconds() override;
    void sleepMicros(int64_t micros) override;
};

} // namespace pointrelay::input
