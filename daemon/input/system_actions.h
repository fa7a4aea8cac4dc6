// SPDX-License-Identifier: MIT
#pragma once

#include "event_sink.h"
#include "keyboard.h"

#include <cstdint>
#include <functional>
#include <mutex>

namespace pointrelay::input {

/// Desktop gestures as keyboard shortcuts, and the system meanings of the F-key row:
/// brightness, media and volume as auxiliary keys through the HID system.
class SystemActions {
public:
    /// `toggleFocus` runs the Focus toggle (F6).
    SystemActions(EventSink& sink, Timing& timing, Keyboard& keyboard,
                  std::function<void()> toggleFocus)
        : m_sink(sink), m_timing(timing), m_keyboard(keyboard),
          m_toggleFocus(std::move(toggleFocus)) {}

    void switchSpace(int32_t dir);
    void missionControl();
    void appExpose();
    void spotlight();
    void dictation();
    void pressMacFunctionKey(int32_t n);
    /// One auxiliary press and release; false (and a log line) when it could not be posted.
    bool postAuxKey(AuxKeyType type);
    /// The cached HID system connection, opened on first use; 0 when it cannot be opened.
    uint32_t openHidSystem();

private:
    EventSink& m_sink;
    Timing& m_timing;
    Keyboard& m_keyboard;
    std::function<void()> m_toggleFocus;
    std::mutex m_hidMutex; // sessions may open the connection at the same time
    uint32_t m_hidConnection = 0;
};

} // namespace pointrelay::input
