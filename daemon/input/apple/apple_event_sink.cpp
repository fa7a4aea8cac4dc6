// SPDX-License-Identifier: MIT
#include "apple_event_sink.h"

#include "cf_owned.h"

#include <ApplicationServices/ApplicationServices.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/hidsystem/IOHIDLib.h>
#include <IOKit/hidsystem/IOHIDShared.h>
#include <IOKit/hidsystem/IOLLEvent.h>
#include <IOKit/hidsystem/ev_keymap.h>
#include <cstddef>
#include <cstring>
#include <mach/mach.h>
#include <vector>

#ifdef __clang__
// IOHIDPostEvent is deprecated, yet it is what posts auxiliary control-button keys.
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
#endif

namespace pointrelay::input {
namespace {

// The portable types carry the window system's own values; these hold them to it.
static_assert(static_cast<uint32_t>(MouseEventType::LeftDown) == kCGEventLeftMouseDown);
static_assert(static_cast<uint32_t>(MouseEventType::LeftUp) == kCGEventLeftMouseUp);
static_assert(static_cast<uint32_t>(MouseEventType::RightDown) == kCGEventRightMouseDown);
static_assert(static_cast<uint32_t>(MouseEventType::RightUp) == kCGEventRightMouseUp);
static_assert(static_cast<uint32_t>(MouseEventType::Moved) == kCGEventMouseMoved);
static_assert(static_cast<uint32_t>(MouseEventType::LeftDragged) == kCGEventLeftMouseDragged);
static_assert(static_cast<uint32_t>(MouseEventType::RightDragged) == kCGEventRightMouseDragged);
static_assert(static_cast<uint32_t>(Tap::Hid) == kCGHIDEventTap);
static_assert(static_cast<uint32_t>(Tap::Session) == kCGSessionEventTap);
static_assert(flags::kShift == kCGEventFlagMaskShift);
static_assert(flags::kControl == kCGEventFlagMaskControl);
static_assert(flags::kOption == kCGEventFlagMaskAlternate);
static_assert(flags::kCommand == kCGEventFlagMaskCommand);
static_assert(flags::kFn == kCGEventFlagMaskSecondaryFn);
static_assert(static_cast<int>(AuxKeyType::SoundUp) == NX_KEYTYPE_SOUND_UP);
static_assert(static_cast<int>(AuxKeyType::SoundDown) == NX_KEYTYPE_SOUND_DOWN);
static_assert(static_cast<int>(AuxKeyType::BrightnessUp) == NX_KEYTYPE_BRIGHTNESS_UP);
static_assert(static_cast<int>(AuxKeyType::BrightnessDown) == NX_KEYTYPE_BRIGHTNESS_DOWN);
static_assert(static_cast<int>(AuxKeyType::Mute) == NX_KEYTYPE_MUTE);
static_assert(static_cast<int>(AuxKeyType::Play) == NX_KEYTYPE_PLAY);
static_assert(static_cast<int>(AuxKeyType::Fast) == NX_KEYTYPE_FAST);
static_assert(static_cast<int>(AuxKeyType::Rewind) == NX_KEYTYPE_REWIND);

// The event data the HID system reads: 48 bytes, the compound member a short of reserved
// space, the short subtype, then the 44 bytes whose first 32-bit word carries the key.
static_assert(sizeof(NXEventData) == 48);
static_assert(offsetof(NXEventData, compound.subType) == 2);
static_assert(offsetof(NXEventData, compound.misc) == 4);
static_assert(sizeof(NXEventData::compound.misc.L[0]) == 4);

CGPoint toCgPoint(Point p) {
    return CGPoint{p.x, p.y};
}

/// Creates one event from a fresh HID-system-state source with `create`, lets `fill` set
/// its fields, posts it at `tap`, then releases the event and the source.
template <typename Create, typename Fill>
void post(CGEventTapLocation tap, Create create, Fill fill) {
    CfOwned<CGEventSourceRef> source(CGEventSourceCreate(kCGEventSourceStateHIDSystemState));
    CfOwned<CGEventRef> event(create(source.get()));
    if (!event)
        return;
    fill(event.get());
    CGEventPost(tap, event.get());
}

} // namespace

Point AppleEventSink::pointerLocation() {
    CfOwned<CGEventRef> event(CGEventCreate(nullptr));
    if (!event)
        return {};
    const CGPoint at = CGEventGetLocation(event.get());
    return Point{at.x, at.y};
}

void AppleEventSink::warpPointer(Point to) {
    CGWarpMouseCursorPosition(toCgPoint(to));
}

void AppleEventSink::postMouse(const MouseEvent& event) {
    post(
        kCGSessionEventTap,
        [&](CGEventSourceRef source) {
            return CGEventCreateMouseEvent(
                source, static_cast<CGEventType>(event.type), toCgPoint(event.location),
                event.button == MouseButton::Right ? kCGMouseButtonRight : kCGMouseButtonLeft);
        },
        [&](CGEventRef created) {
            if (event.clickState)
                CGEventSetIntegerValueField(created, kCGMouseEventClickState, *event.clickState);
        });
}

void AppleEventSink::postScroll(const ScrollEvent& event) {
    post(
        kCGSessionEventTap,
        [&](CGEventSourceRef source) {
            return CGEventCreateScrollWheelEvent(source, kCGScrollEventUnitPixel, 2, event.wheel1,
                                                 event.wheel2);
        },
        [&](CGEventRef created) {
            CGEventSetIntegerValueField(created, kCGScrollWheelEventIsContinuous,
                                        event.continuous ? 1 : 0);
            CGEventSetDoubleValueField(created, kCGScrollWheelEventFixedPtDeltaAxis1,
                                       event.fixedDelta1);
            CGEventSetDoubleValueField(created, kCGScrollWheelEventFixedPtDeltaAxis2,
                                       event.fixedDelta2);
        });
}

void AppleEventSink::postKey(const KeyEvent& event) {
    post(
        static_cast<CGEventTapLocation>(event.tap),
        [&](CGEventSourceRef source) {
            return CGEventCreateKeyboardEvent(source, event.keyCode, event.down);
        },
        [&](CGEventRef created) {
            if (event.flags)
                CGEventSetFlags(created, *event.flags);
            if (event.text) {
                const std::vector<UniChar> units(event.text->begin(), event.text->end());
                CGEventKeyboardSetUnicodeString(created, units.size(), units.data());
            }
        });
}

HidOpenResult AppleEventSink::openHidSystem() {
    // The matching dictionary's one reference passes to IOServiceGetMatchingService.
    const io_service_t service =
        IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching(kIOHIDSystemClass));
    if (service == IO_OBJECT_NULL)
        return HidOpenResult{};
    io_connect_t connection = IO_OBJECT_NULL;
    const kern_return_t status =
        IOServiceOpen(service, mach_task_self(), kIOHIDParamConnectType, &connection);
    IOObjectRelease(service);
    return HidOpenResult{.serviceFound = true,
                         .status = status,
                         .connection = status == KERN_SUCCESS ? connection : 0};
}

int32_t AppleEventSink::postAuxKey(uint32_t connection, AuxKeyType type, bool down) {
    NXEventData data;
    std::memset(&data, 0, sizeof data);
    data.compound.subType = NX_SUBTYPE_AUX_CONTROL_BUTTONS;
    // Key type in the high half; key state (down or up) in the second byte.
    const uint32_t word = static_cast<uint32_t>(type) << 16 |
                          static_cast<uint32_t>(down ? NX_KEYDOWN : NX_KEYUP) << 8;
    data.compound.misc.L[0] = static_cast<SInt32>(word);
    const IOGPoint origin{0, 0};
    return IOHIDPostEvent(connection, NX_SYSDEFINED, origin, &data, kNXEventDataVersion, 0, 0);
}

std::unique_ptr<EventSink> createAppleEventSink() {
    return std::make_unique<AppleEventSink>();
}

} // namespace pointrelay::input
