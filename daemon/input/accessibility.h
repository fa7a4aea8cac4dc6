// SPDX-License-Identifier: MIT
#pragma once

#include "event_sink.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pointrelay::input {

/// An accessibility element; adapters derive their own handle type from it. Shared pointers
/// stand for retained references: the element is released when the last one goes.
class AxElement {
public:
    virtual ~AxElement() = default;
};
using AxElementPtr = std::shared_ptr<AxElement>;

struct AxSize {
    double width = 0;
    double height = 0;
};
/// Something other than the types below (an AXValue of another kind, a date, ...).
struct AxOther {};

/// The value of one attribute, by the types the Focus toggle looks at.
using AxValue = std::variant<AxOther, std::string, bool, std::optional<int32_t>, Point, AxSize,
                             AxElementPtr, std::vector<AxElementPtr>>;

/// Accessibility, process list and notification calls the Focus toggle makes.
class AccessibilityPort {
public:
    virtual ~AccessibilityPort() = default;

    /// The pid of the first running process whose name is exactly `name`.
    virtual std::optional<int32_t> findProcessIdByName(std::string_view name) = 0;
    /// The application element of `pid`, or null.
    virtual AxElementPtr createApplication(int32_t pid) = 0;
    virtual void setMessagingTimeout(const AxElementPtr& element, float seconds) = 0;
    /// The attribute's value, or nullopt when reading it failed. An array gives one entry per
    /// item, null for items that are not elements.
    virtual std::optional<AxValue> copyAttribute(const AxElementPtr& element,
                                                 std::string_view attribute) = 0;
    /// Returns the platform's error code, 0 on success.
    virtual int32_t performAction(const AxElementPtr& element, std::string_view action) = 0;
    /// The element's action names (string entries only), or nullopt on error.
    virtual std::optional<std::vector<std::string>>
    copyActionNames(const AxElementPtr& element) = 0;
    /// Posts a system notification name; returns its status, 0 on success.
    virtual int32_t notifyPost(std::string_view name) = 0;
};

} // namespace pointrelay::input
