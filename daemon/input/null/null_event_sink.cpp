// SPDX-License-Identifier: MIT
#include "null_event_sink.h"

#include "core/log.h"

namespace pointrelay::input {
namespace {

class NullEventSink final : public EventSink {
public:
    Point pointerLocation() override { return m_location; }
    void warpPointer(Point to) override { m_location = to; }
    void postMouse(const MouseEvent&) override {}
    void postScroll(const ScrollEvent&) override {}
    void postKey(const KeyEvent&) override {}
    HidOpenResult openHidSystem() override { return {true, 0, 1}; }
    int32_t postAuxKey(uint32_t, AuxKeyType, bool) override { return 0; }

private:
    Point m_location; // where moves would have taken the pointer
};

} // namespace

std::unique_ptr<EventSink> createNullEventSink() {
    core::logLine("Input: no window system reachable, events are not posted");
    return std::make_unique<NullEventSink>();
}

} // namespace pointrelay::input
