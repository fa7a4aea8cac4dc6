// SPDX-License-Identifier: MIT
#pragma once

#include "core/log.h"
#include "input/event_sink.h"

#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace pointrelay::test {

/// Records posted events, sleeps and log lines in one timeline, as short readable strings,
/// so a test can check what happened and in which order. Time only moves when told to.
class RecordingSink final : public input::EventSink, public input::Timing {
public:
    RecordingSink() {
        core::setLogObserver([this](std::string_view line) {
            add("log " + std::string(line.substr(6, line.size() - 7))); // no "[C++] ", no newline
        });
    }
    ~RecordingSink() override { core::setLogObserver({}); }

    input::Point location;
    double now = 1000.0;
    std::deque<input::HidOpenResult> hidOpens; ///< answers to openHidSystem, then success
    std::deque<int32_t> auxStatuses;           ///< answers to postAuxKey, then 0

    std::vector<std::string> take() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_timeline, {});
    }
    std::vector<input::MouseEvent> mouse;
    std::vector<input::ScrollEvent> scrolls;
    std::vector<input::KeyEvent> keyEvents;

    input::Point pointerLocation() override { return location; }
    void warpPointer(input::Point to) override {
        location = to;
        add("warp " + num(to.x) + "," + num(to.y));
    }
    void postMouse(const input::MouseEvent& e) override {
        mouse.push_back(e);
        static const char* kNames[] = {"?",       "leftDown", "leftUp",      "rightDown",
                                       "rightUp", "moved",    "leftDragged", "rightDragged"};
        std::string text = std::string("mouse ") + kNames[static_cast<int>(e.type)] + "@" +
                           num(e.location.x) + "," + num(e.location.y) +
                           (e.button == input::MouseButton::Left ? " L" : " R");
        if (e.clickState)
            text += " click=" + std::to_string(*e.clickState);
        add(text);
    }
    void postScroll(const input::ScrollEvent& e) override {
        scrolls.push_back(e);
        add("scroll " + std::to_string(e.wheel1) + "," + std::to_string(e.wheel2));
    }
    void postKey(const input::KeyEvent& e) override {
        keyEvents.push_back(e);
        std::string text = "key " + std::to_string(e.keyCode) + (e.down ? " down" : " up") +
                           (e.tap == input::Tap::Hid ? " hid" : " session");
        if (e.flags) {
            char hex[32];
            std::snprintf(hex, sizeof hex, " flags=0x%llx",
                          static_cast<unsigned long long>(*e.flags));
            text += hex;
        }
        if (e.text)
            text += " text[" + std::to_string(e.text->size()) + "]";
        add(text);
    }
    input::HidOpenResult openHidSystem() override {
        add("hid open");
        if (hidOpens.empty())
            return {true, 0, 42};
        const auto result = hidOpens.front();
        hidOpens.pop_front();
        return result;
    }
    int32_t postAuxKey(uint32_t connection, input::AuxKeyType type, bool down) override {
        char text[64];
        std::snprintf(text, sizeof text, "aux conn=%u data1=0x%08X", connection,
                      static_cast<unsigned>(type) << 16 | (down ? 0x0A00u : 0x0B00u));
        add(text);
        if (auxStatuses.empty())
            return 0;
        const int32_t status = auxStatuses.front();
        auxStatuses.pop_front();
        return status;
    }
    /// Adds an entry of the test's own (for fakes that share this timeline).
    void note(std::string entry) { add(std::move(entry)); }

    double absoluteTimeSeconds() override { return now; }
    void sleepMicros(int64_t micros) override { add("sleep " + std::to_string(micros)); }

    static std::string num(double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", v);
        return text;
    }

private:
    void add(std::string entry) {
        std::lock_guard lock(m_mutex);
        m_timeline.push_back(std::move(entry));
    }
    std::mutex m_mutex;
    std::vector<std::string> m_timeline;
};

} // namespace pointrelay::test
