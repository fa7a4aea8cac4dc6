// SPDX-License-Identifier: MIT
#include "focus_toggle.h"

#include "core/log.h"

#include <cmath>

namespace pointrelay::input {

using core::escapeForLog;
using core::logLine;

namespace {

constexpr char kControlCenterProcess[] = "ControlCenter";
constexpr char kMenuExtraId[] = "com.apple.menuextra.controlcenter";
constexpr char kFocusTileId[] = "controlcenter-focus-modes";
constexpr char kFallbackNotification[] = "com.apple.controlcenter.dnd";
constexpr float kMessagingTimeoutSeconds = 0.5f;

template <typename T>
const T* valueAs(const std::optional<AxValue>& value) {
    return value ? std::get_if<T>(&*value) : nullptr;
}

} // namespace

void FocusToggle::postFallback() {
    const int32_t status = m_ax.notifyPost(kFallbackNotification);
    logLine("[SYS] focus fallback notify status=" + std::to_string(status));
}

std::vector<AxElementPtr> FocusToggle::children(const AxElementPtr& element, bool& ok) {
    const auto value = m_ax.copyAttribute(element, "AXChildren");
    const auto* list = valueAs<std::vector<AxElementPtr>>(value);
    ok = list != nullptr;
    return ok ? *list : std::vector<AxElementPtr>{};
}

AxElementPtr FocusToggle::copyFirstWindow(const AxElementPtr& element) {
    const auto value = m_ax.copyAttribute(element, "AXWindows");
    const auto* windows = valueAs<std::vector<AxElementPtr>>(value);
    if (!windows || windows->empty())
        return nullptr;
    return windows->front(); // null when entry 0 is not an element
}

AxElementPtr FocusToggle::findElementByIdentifier(const AxElementPtr& element,
                                                  std::string_view identifier, int depth) {
    if (depth < 0 || !element || identifier.empty())
        return nullptr;
    if (copyStringAttribute(element, "AXIdentifier") == identifier)
        return element;
    if (depth == 0)
        return nullptr;
    bool ok = false;
    for (const auto& child : children(element, ok)) {
        if (auto hit = child ? findElementByIdentifier(child, identifier, depth - 1) : nullptr)
            return hit;
    }
    return nullptr;
}

std::string FocusToggle::copyStringAttribute(const AxElementPtr& element,
                                             std::string_view attribute) {
    const auto value = m_ax.copyAttribute(element, attribute);
    const auto* text = valueAs<std::string>(value);
    return text ? *text : std::string();
}

std::string FocusToggle::copyValueText(const AxElementPtr& element) {
    const auto value = m_ax.copyAttribute(element, "AXValue");
    if (const auto* text = valueAs<std::string>(value))
        return *text;
    if (const auto* flag = valueAs<bool>(value))
        return *flag ? "true" : "false";
    if (const auto* number = valueAs<std::optional<int32_t>>(value))
        return *number ? std::to_string(**number) : std::string();
    return {};
}

std::string FocusToggle::copyActionNamesText(const AxElementPtr& element) {
    const auto names = m_ax.copyActionNames(element);
    std::string joined;
    if (!names)
        return joined;
    for (const auto& name : *names) {
        if (!joined.empty())
            joined += ',';
        joined += name;
    }
    return joined;
}

bool FocusToggle::elementCenter(const AxElementPtr& element, Point& point) {
    const auto position = m_ax.copyAttribute(element, "AXPosition");
    const auto size = m_ax.copyAttribute(element, "AXSize");
    const auto* origin = valueAs<Point>(position);
    const auto* extent = valueAs<AxSize>(size);
    if (!origin || !extent || !(extent->width > 0) || !(extent->height > 0))
        return false;
    point = {origin->x + extent->width * 0.5, origin->y + extent->height * 0.5};
    return true;
}

bool FocusToggle::findClickPoint(const AxElementPtr& element, Point& point, int depth) {
    if (!element || depth < 0)
        return false;
    const std::string role = copyStringAttribute(element, "AXRole");
    const bool clickable = role == "AXCheckBox" || role == "AXButton" || role == "AXMenuButton" ||
                           copyStringAttribute(element, "AXSubrole") == "AXToggle";
    if (clickable && elementCenter(element, point))
        return true;
    if (depth == 0)
        return elementCenter(element, point);
    bool ok = false;
    const auto kids = children(element, ok);
    if (!ok)
        return elementCenter(element, point);
    for (const auto& child : kids) {
        if (child && findClickPoint(child, point, depth - 1))
            return true;
    }
    return elementCenter(element, point);
}

void FocusToggle::toggleFocusMode() {
    const auto pid = m_ax.findProcessIdByName(kControlCenterProcess);
    if (!pid) {
        const int32_t status = m_ax.notifyPost(kFallbackNotification);
        logLine("[SYS] focus: ControlCenter not found");
        logLine("[SYS] focus fallback notify status=" + std::to_string(status));
        return;
    }
    logLine("[SYS] focus begin pid=" + std::to_string(*pid));

    const AxElementPtr app = m_ax.createApplication(*pid);
    if (!app) {
        const int32_t status = m_ax.notifyPost(kFallbackNotification);
        logLine("[SYS] focus: AXUIElementCreateApplication failed");
        logLine("[SYS] focus fallback notify status=" + std::to_string(status));
        return;
    }
    m_ax.setMessagingTimeout(app, kMessagingTimeoutSeconds);

    bool openedNow = false;
    AxElementPtr window = copyFirstWindow(app);
    if (!window) {
        logLine("[SYS] focus: window not present, opening Control Center");
        if (const auto menuExtra = findElementByIdentifier(app, kMenuExtraId, kMenuExtraDepth)) {
            const int32_t err = m_ax.performAction(menuExtra, "AXPress");
            logLine("[SYS] focus: menuextra press err=" + std::to_string(err));
            if (err == 0) {
                openedNow = true;
                for (int poll = 0; poll < kWindowPolls && !window; ++poll) {
                    m_timing.sleepMicros(kWindowPollMicros);
                    window = copyFirstWindow(app);
                }
            }
        } else {
            logLine("[SYS] focus: Control Center menuextra not found");
        }
    }
    logLine(std::string("[SYS] focus: windowReady=") + (window ? "1" : "0") +
            " openedNow=" + (openedNow ? "1" : "0"));

    bool success = false;
    if (window) {
        if (const auto tile = findElementByIdentifier(window, kFocusTileId, kTileDepth)) {
            logLine(
                "[SYS] focus: toggle role=" + escapeForLog(copyStringAttribute(tile, "AXRole")) +
                " subrole=" + escapeForLog(copyStringAttribute(tile, "AXSubrole")) +
                " title=" + escapeForLog(copyStringAttribute(tile, "AXTitle")) +
                " desc=" + escapeForLog(copyStringAttribute(tile, "AXDescription")) +
                " value=" + escapeForLog(copyValueText(tile)) +
                " actions=" + escapeForLog(copyActionNamesText(tile)));
            Point point{0, 0};
            if (findClickPoint(tile, point, kClickPointDepth)) {
                logLine("[SYS] focus: click point=(" + std::to_string(std::llround(point.x)) + "," +
                        std::to_string(std::llround(point.y)) + ")");
                m_pointer.clickAt(point.x, point.y);
                success = true;
            } else {
                const int32_t err = m_ax.performAction(tile, "AXPress");
                logLine("[SYS] focus: AXPress err=" + std::to_string(err));
                success = err == 0;
            }
        } else {
            logLine("[SYS] focus: controlcenter-focus-modes not found");
        }
    }

    if (openedNow) { // close the panel this toggle opened; one already showing stays open
        m_timing.sleepMicros(kCloseDelayMicros);
        m_keyboard.postKeyDown(keys::kEscape);
        m_timing.sleepMicros(Keyboard::kStepMicros);
        m_keyboard.postKeyUp(keys::kEscape);
    }

    if (success)
        logLine("[SYS] focus click/AX controlcenter-focus-modes");
    else
        postFallback();
}

} // namespace pointrelay::input
