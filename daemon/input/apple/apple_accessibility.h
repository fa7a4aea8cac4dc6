// SPDX-License-Identifier: MIT
#pragma once

#include "input/accessibility.h"

#include <memory>

namespace pointrelay::input {

/// Accessibility through AXUIElement, the process list through the Process Manager, and
/// notifications through notify_post. Its elements hold one retained AXUIElementRef each.
class AppleAccessibility final : public AccessibilityPort {
public:
    std::optional<int32_t> findProcessIdByName(std::string_view name) override;
    AxElementPtr createApplication(int32_t pid) override;
    void setMessagingTimeout(const AxElementPtr& element, float seconds) override;
    std::optional<AxValue> copyAttribute(const AxElementPtr& element,
                                         std::string_view attribute) override;
    int32_t performAction(const AxElementPtr& element, std::string_view action) override;
    std::optional<std::vector<std::string>> copyActionNames(const AxElementPtr& element) override;
    int32_t notifyPost(std::string_view name) override;
};

std::unique_ptr<AccessibilityPort> createAppleAccessibility();

} // namespace pointrelay::input
