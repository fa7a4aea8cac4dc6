// SPDX-License-Identifier: MIT
#pragma once

#include "accessibility.h"
#include "core/input_handler.h"
#include "event_sink.h"
#include "focus_toggle.h"
#include "input_gate.h"
#include "keyboard.h"
#include "pointer.h"
#include "system_actions.h"
#include "text_commands.h"

#include <memory>

namespace pointrelay::input {

/// The whole input layer over one event sink: what the sessions call into. At most
/// kMaxInside sessions are in it at once (see InputGate).
class InputService final : public core::InputHandler {
public:
    static constexpr int kMaxInside = 64;

    InputService(std::unique_ptr<EventSink> sink, std::unique_ptr<AccessibilityPort> ax,
                 std::unique_ptr<Timing> timing);

    void injectMove(double dx, double dy) override {
        if (GatePass pass{m_gate, false})
            m_pointer.injectMove(dx, dy);
    }
    void injectScroll(double dx, double dy) override {
        if (GatePass pass{m_gate, false})
            m_pointer.injectScroll(dx, dy);
    }
    void injectButton(bool isLeft, bool down) override {
        if (GatePass pass{m_gate, !down})
            m_pointer.injectButton(isLeft, down);
    }
    bool releaseHeld() override {
        GatePass pass{m_gate, true};
        return m_pointer.releaseHeld();
    }
    void handleTextMessage(int fd, std::string_view text) override {
        if (GatePass pass{m_gate, false})
            m_commands.handleTextMessage(fd, text);
    }

private:
    InputGate m_gate{kMaxInside};
    std::unique_ptr<EventSink> m_sink;
    std::unique_ptr<AccessibilityPort> m_ax;
    std::unique_ptr<Timing> m_timing;
    PointerInjector m_pointer;
    Keyboard m_keyboard;
    FocusToggle m_focus;
    SystemActions m_system;
    TextCommands m_commands;
};

} // namespace pointrelay::input
