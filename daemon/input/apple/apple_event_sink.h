// SPDX-License-Identifier: MIT
#pragma once

#include "input/event_sink.h"

#include <memory>

namespace pointrelay::input {

/// Posts events through Quartz Event Services, each from its own HID-system-state event
/// source, and auxiliary keys (volume, brightness, media) as system-defined events through
/// the IOHIDSystem service.
class AppleEventSink final : public EventSink {
public:
    Point pointerLocation() override;
    void warpPointer(Point to) override;
    void postMouse(const MouseEvent& event) override;
    void postScroll(const ScrollEvent& event) override;
    void postKey(const KeyEvent& event) override;

    HidOpenResult openHidSystem() override;
    int32_t postAuxKey(uint32_t connection, AuxKeyType type, bool down) override;
};

std::unique_ptr<EventSink> createAppleEventSink();

} // namespace pointrelay::input
