// SPDX-License-Identifier: MIT
#pragma once

#include "accessibility.h"
#include "keyboard.h"
#include "pointer.h"

#include <string>

namespace pointrelay::input {

/// Toggles the Focus (Do Not Disturb) mode the way a user would: through the Focus tile of
/// the Control Center panel, opening the panel from its menu-bar item when needed, and
/// falling back to the system notification when any step fails.
class FocusToggle {
public:
    static constexpr int kMenuExtraDepth = 4;
    static constexpr int kTileDepth = 8;
    static constexpr int kClickPointDepth = 4;
    static constexpr int kWindowPolls = 20;
    static constexpr int64_t kWindowPollMicros = 50000;
    static constexpr int64_t kCloseDelayMicros = 100000;

    FocusToggle(AccessibilityPort& ax, PointerInjector& pointer, Keyboard& keyboard, Timing& timing)
        : m_ax(ax), m_pointer(pointer), m_keyboard(keyboard), m_timing(timing) {}

    void toggleFocusMode();

    AxElementPtr copyFirstWindow(const AxElementPtr& element);
    AxElementPtr findElementByIdentifier(const AxElementPtr& element, std::string_view identifier,
                                         int depth);
    std::string copyStringAttribute(const AxElementPtr& element, std::string_view attribute);
    std::string copyValueText(const AxElementPtr& element);
    std::string copyActionNamesText(const AxElementPtr& element);
    bool findClickPoint(const AxElementPtr& element, Point& point, int depth);
    bool elementCenter(const AxElementPtr& element, Point& point);

private:
    void postFallback();
    std::vector<AxElementPtr> children(const AxElementPtr& element, bool& ok);

    AccessibilityPort& m_ax;
    PointerInjector& m_pointer;
    Keyboard& m_keyboard;
    Timing& m_timing;
};

} // namespace pointrelay::input
