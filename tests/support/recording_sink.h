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

/// Records posted events, sleeps and log lines in one timeline, as short readable strings
/// ("key 8 down session flags=0x100000", "mouse leftDown@3,0 L click=1", "sleep 1500",
/// "log [SYS] ..."), so a test can check what happened and in which order. Time only moves
/// when told to.
struct RecordingSink final : input::EventSink, input::Timing {
    RecordingSink() {
        core::setLogObserver([this](std::string_view line) { // no "[C++] ", no newline
            add("log " + std::string(line.substr(6, line.size() - 7)));
        });
    }
    ~RecordingSink() override { core::setLogObserver({}); }

    input::Point location;
    double now = 1000.0;
    std::deque<input::HidOpenResult> hidOpens; ///< answers to openHidSystem, then success
    std::vector<input::ScrollEvent> scrolls;

    std::vector<std::string> take() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_timeline, {});
    }

    input::Point pointerLocation() override { return location; }
    void warpPointer(input::Point to) override {
        location = to;
        add(text("warp %g,%g", to.x, to.y));
    }
    void postMouse(const input::MouseEvent& e) override {
        static const char* kNames[] = {"?",       "leftDown", "leftUp",      "rightDown",
                                       "rightUp", "moved",    "leftDragged", "rightDragged"};
        add(text("mouse %s@%g,%g %s", kNames[int(e.type)], e.location.x, e.location.y,
                 e.button == input::MouseButton::Left ? "L" : "R") +
            (e.clickState ? " click=" + std::to_string(*e.clickState) : ""));
    }
    void postScroll(const input::ScrollEvent& e) override {
        scrolls.push_back(e);
        add(text("scroll %d,%d", e.wheel1, e.wheel2));
    }
    void postKey(const input::KeyEvent& e) override {
        add(text("key %d %s %s", e.keyCode, e.down ? "down" : "up",
                 e.tap == input::Tap::Hid ? "hid" : "session") +
            (e.flags ? text(" flags=0x%llx", (unsigned long long)*e.flags) : "") +
            (e.text ? text(" text[%zu]", e.text->size()) : ""));
    }
    input::HidOpenResult openHidSystem() override {
        add("hid open");
        input::HidOpenResult answer{true, 0, 42};
        if (!hidOpens.empty())
            answer = hidOpens.front(), hidOpens.pop_front();
        return answer;
    }
    int32_t postAuxKey(uint32_t connection, input::AuxKeyType type, bool down) override {
        add(text("aux conn=%u data1=0x%08X", connection,
                 unsigned(type) << 16 | (down ? 0x0A00u : 0x0B00u)));
        return 0;
    }
    double absoluteTimeSeconds() override { return now; }
    void sleepMicros(int64_t micros) override { add("sleep " + std::to_string(micros)); }

    template <typename... Values>
    static std::string text(const char* format, Values... values) {
        char out[128];
        std::snprintf(out, sizeof out, format, values...);
        return out;
    }

    void add(std::string entry) {
        std::lock_guard lock(m_mutex);
        m_timeline.push_back(std::move(entry));
    }
    std::mutex m_mutex;
    std::vector<std::string> m_timeline;
};

} // namespace pointrelay::test
