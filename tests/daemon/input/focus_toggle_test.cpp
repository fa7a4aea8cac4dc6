// SPDX-License-Identifier: MIT
// The Focus toggle against a scripted accessibility tree of Control Center that shares the
// recording sink's timeline: the tile clicked in an open panel, a closed panel opened, polled
// and closed again, the tile pressed where it has no frame, and every failure ending in the
// notification fallback.
#include "input/focus_toggle.h"
#include "support/recording_sink.h"

#include <gtest/gtest.h>
#include <map>

namespace pointrelay::input {
namespace {

using Lines = std::vector<std::string>;

struct Node : AxElement {
    std::string name;
    std::map<std::string, AxValue, std::less<>> attributes;
    int32_t pressResult = 0;
};
using NodePtr = std::shared_ptr<Node>;

NodePtr node(std::string name, std::string role, std::vector<AxElementPtr> children = {},
             std::string identifier = "") {
    auto n = std::make_shared<Node>();
    n->name = std::move(name);
    n->attributes = {{"AXRole", role}, {"AXChildren", children}, {"AXIdentifier", identifier}};
    return n;
}

// How a toggle went: "press NAME" for accessibility presses, "poll" for each wait for the
// panel, "click X,Y", "escape" and "fallback".
std::string course(const Lines& timeline) {
    std::string out;
    for (const std::string& entry : timeline) {
        std::string word = entry.starts_with("press ")    ? entry.substr(0, entry.rfind(' '))
                           : entry == "sleep 50000"       ? "poll"
                           : entry == "key 53 down hid"   ? "escape"
                           : entry.starts_with("notify ") ? "fallback"
                                                          : "";
        if (entry.starts_with("mouse leftDown@"))
            word = "click " + entry.substr(15, entry.find(' ', 15) - 15);
        if (!word.empty())
            out += (out.empty() ? "" : " ") + word;
    }
    return out;
}

// The accessibility port: Control Center's process, its application element, whose windows
// are the panel once the menu extra was pressed and `polls` more reads have passed.
struct ControlCenter : AccessibilityPort {
    std::optional<int32_t> findProcessIdByName(std::string_view name) override {
        return name == "ControlCenter" ? pid : std::nullopt;
    }
    AxElementPtr createApplication(int32_t id) override { return id == 321 ? app : nullptr; }
    void setMessagingTimeout(const AxElementPtr&, float) override {}
    std::optional<AxValue> copyAttribute(const AxElementPtr& element,
                                         std::string_view attribute) override {
        auto* n = static_cast<Node*>(element.get());
        if (n == app.get() && attribute == "AXWindows")
            return shown && polls-- <= 0 ? std::vector<AxElementPtr>{panel}
                                         : std::vector<AxElementPtr>{};
        const auto it = n->attributes.find(attribute);
        return it == n->attributes.end() ? std::nullopt : std::optional(it->second);
    }
    int32_t performAction(const AxElementPtr& element, std::string_view action) override {
        auto* n = static_cast<Node*>(element.get());
        sink.note("press " + n->name + " " + std::string(action));
        shown |= n == menuExtra.get() && n->pressResult == 0;
        return n->pressResult;
    }
    std::optional<std::vector<std::string>> copyActionNames(const AxElementPtr&) override {
        return std::nullopt;
    }
    int32_t notifyPost(std::string_view name) override {
        sink.note("notify " + std::string(name));
        return 0;
    }

    test::RecordingSink sink;
    std::optional<int32_t> pid = 321;
    NodePtr tile = node("tile", "AXCheckBox", {}, "controlcenter-focus-modes");
    NodePtr panel = node("panel", "AXWindow");
    NodePtr menuExtra = node("menuextra", "AXMenuBarItem", {}, "com.apple.menuextra.controlcenter");
    AxElementPtr app = node("app", "AXApplication", {node("menubar", "AXGroup", {menuExtra})});
    bool shown = true;
    int polls = 0;
    PointerInjector pointer{sink, sink};
    Keyboard keyboard{sink, sink};
    FocusToggle focus{*this, pointer, keyboard, sink};
};

// Each case: what differs from an open panel with the tile in it, the reads of the panel's
// windows after the menu extra was pressed that still find none, and how the toggle goes.
TEST(FocusToggle, OpensClicksClosesAndFallsBack) {
    std::string never = "press menuextra";
    for (int i = 0; i < 20; ++i)
        never += " poll";
    const std::tuple<std::string, int, std::string> cases[] = {
        {"", 0, "click 120.5,20"},
        {"closed", 2, "press menuextra poll poll poll click 120.5,20 escape"},
        {"closed", 1000, never + " escape fallback"},
        {"frameless", 0, "press tile"},
        {"frameless tileRefuses", 0, "press tile fallback"},
        {"closed menuRefuses", 0, "press menuextra fallback"},
        {"deep", 0, "fallback"},
        {"noApplication", 0, "fallback"},
        {"noProcess", 0, "fallback"}};
    for (const auto& [setup, polls, expected] : cases) {
        ControlCenter center;
        center.shown = setup.find("closed") == std::string::npos;
        center.polls = polls;
        center.tile->attributes["AXPosition"] = Point{100, 10};
        center.tile->attributes["AXSize"] = AxSize{setup.find("frameless") == 0 ? 0. : 41, 20};
        center.tile->pressResult = setup.ends_with("tileRefuses") ? -25200 : 0;
        center.menuExtra->pressResult = setup.ends_with("menuRefuses") ? -25204 : 0;
        AxElementPtr top = node("group", "AXGroup", {nullptr, center.tile});
        // Nine levels below the panel: beyond the search.
        for (int level = 0; setup == "deep" && level < 7; ++level)
            top = node("level", "AXGroup", {top});
        center.panel->attributes["AXChildren"] = std::vector<AxElementPtr>{nullptr, top};
        if (setup == "noApplication")
            center.app = nullptr;
        if (setup == "noProcess")
            center.pid.reset();
        center.focus.toggleFocusMode();
        EXPECT_EQ(course(center.sink.take()), expected) << setup << " " << polls;
    }
}

} // namespace
} // namespace pointrelay::input
