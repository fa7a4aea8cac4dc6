// SPDX-License-Identifier: MIT
// The Focus toggle against a scripted accessibility tree of Control Center that shares the
// recording sink's timeline: the tile clicked in an open panel, a closed panel opened, polled
// and closed again, and every failure ending in the notification fallback.
#include "input/focus_toggle.h"
#include "support/recording_sink.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>

namespace pointrelay::input {
namespace {

using Lines = std::vector<std::string>;

struct Node : AxElement {
    std::string name;
    std::map<std::string, AxValue, std::less<>> attributes;
    std::optional<std::vector<std::string>> actions;
    int32_t pressResult = 0;
};
using NodePtr = std::shared_ptr<Node>;

NodePtr node(std::string name, std::string role, std::vector<AxElementPtr> children = {}) {
    auto n = std::make_shared<Node>();
    n->name = std::move(name);
    n->attributes = {{"AXRole", std::move(role)}, {"AXChildren", std::move(children)}};
    return n;
}

class FocusToggleTest : public ::testing::Test, public AccessibilityPort {
protected:
    FocusToggleTest() {
        tile->attributes.insert({{"AXIdentifier", std::string("controlcenter-focus-modes")},
                                 {"AXTitle", std::string("Focus")},
                                 {"AXValue", std::optional<int32_t>(1)},
                                 {"AXPosition", Point{100, 10}},
                                 {"AXSize", AxSize{41, 20}}});
        tile->actions = {"AXPress", "AXShowMenu"};
        menuExtra->attributes["AXIdentifier"] = std::string("com.apple.menuextra.controlcenter");
    }
    Lines toggle() {
        sink.take();
        focus.toggleFocusMode();
        return sink.take();
    }

    // The accessibility port: Control Center's process, its application element, whose
    // windows are the panel once it shows (pollsUntilShown reads after a press of the menu
    // extra, or at once when already shown).
    std::optional<int32_t> findProcessIdByName(std::string_view name) override {
        return name == "ControlCenter" ? pid : std::nullopt;
    }
    AxElementPtr createApplication(int32_t id) override { return id == 321 ? app : nullptr; }
    void setMessagingTimeout(const AxElementPtr&, float seconds) override {
        sink.note("timeout " + std::to_string(seconds).substr(0, 3));
    }
    std::optional<AxValue> copyAttribute(const AxElementPtr& element,
                                         std::string_view attribute) override {
        auto* n = static_cast<Node*>(element.get());
        if (n == app.get() && attribute == "AXWindows")
            return pressed && pollsUntilShown-- <= 0 ? std::vector<AxElementPtr>{panel}
                                                     : std::vector<AxElementPtr>{};
        const auto it = n->attributes.find(attribute);
        return it == n->attributes.end() ? std::nullopt : std::optional(it->second);
    }
    int32_t performAction(const AxElementPtr& element, std::string_view action) override {
        auto* n = static_cast<Node*>(element.get());
        sink.note("press " + n->name + " " + std::string(action));
        pressed |= n == menuExtra.get() && n->pressResult == 0;
        return n->pressResult;
    }
    std::optional<std::vector<std::string>> copyActionNames(const AxElementPtr& element) override {
        return static_cast<Node*>(element.get())->actions;
    }
    int32_t notifyPost(std::string_view name) override {
        sink.note("notify " + std::string(name));
        return 0;
    }

    test::RecordingSink sink;
    std::optional<int32_t> pid = 321;
    NodePtr tile = node("tile", "AXCheckBox");
    NodePtr panel = node("panel", "AXWindow", {node("group", "AXGroup", {nullptr, tile})});
    NodePtr menuExtra = node("menuextra", "AXMenuBarItem");
    NodePtr app = node("app", "AXApplication", {node("menubar", "AXGroup", {menuExtra})});
    bool pressed = true;     ///< the panel shows once the menu extra was pressed
    int pollsUntilShown = 0; ///< reads after the press that still find no window
    PointerInjector pointer{sink, sink};
    Keyboard keyboard{sink, sink};
    FocusToggle focus{*this, pointer, keyboard, sink};
};

const Lines kBegin = {"log [SYS] focus begin pid=321", "timeout 0.5"};
const Lines kClickTile = {
    "log [SYS] focus: toggle role=AXCheckBox subrole= title=Focus desc= value=1 "
    "actions=AXPress,AXShowMenu",
    "log [SYS] focus: click point=(121,20)", "mouse leftDown@120.5,20 L", "sleep 8000",
    "mouse leftUp@120.5,20 L"};
const Lines kEscape = {"sleep 100000", "key 53 down hid", "sleep 1500", "key 53 up hid"};
const Lines kFallback = {"notify com.apple.controlcenter.dnd",
                         "log [SYS] focus fallback notify status=0"};

Lines join(std::initializer_list<Lines> parts) {
    Lines out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST_F(FocusToggleTest, OpenPanelIsClickedAndAClosedOneOpenedPolledAndClosedAgain) {
    const Lines done = {"log [SYS] focus click/AX controlcenter-focus-modes"};
    EXPECT_EQ(toggle(),
              join({kBegin, {"log [SYS] focus: windowReady=1 openedNow=0"}, kClickTile, done}));
    pressed = false;
    pollsUntilShown = 2; // two polls after the press find no window yet
    EXPECT_EQ(toggle(), join({kBegin,
                              {"log [SYS] focus: window not present, opening Control Center",
                               "press menuextra AXPress", "log [SYS] focus: menuextra press err=0",
                               "sleep 50000", "sleep 50000", "sleep 50000",
                               "log [SYS] focus: windowReady=1 openedNow=1"},
                              kClickTile,
                              kEscape,
                              done}));
}

TEST_F(FocusToggleTest, EveryFailureEndsInTheNotificationFallback) {
    pressed = false;
    pollsUntilShown = 1000; // the panel never shows: 20 polls, Escape, the fallback
    Lines lines = toggle();
    EXPECT_EQ(std::ranges::count(lines, "sleep 50000"), 20);
    EXPECT_EQ(Lines(lines.end() - 7, lines.end()),
              join({{"log [SYS] focus: windowReady=0 openedNow=1"}, kEscape, kFallback}));
    // A tile without a usable frame (zero width) is pressed through accessibility.
    pollsUntilShown = 0;
    tile->attributes["AXSize"] = AxSize{0, 20};
    tile->pressResult = -25200;
    lines = toggle();
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
              join({{"press tile AXPress", "log [SYS] focus: AXPress err=-25200"}, kFallback}));
    pressed = false;
    menuExtra->pressResult = -25204;
    lines = toggle();
    EXPECT_EQ(lines[4], "log [SYS] focus: menuextra press err=-25204");
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), kFallback);
    app = nullptr;
    EXPECT_EQ(toggle()[2], "log [SYS] focus: AXUIElementCreateApplication failed");
    pid.reset();
    EXPECT_EQ(toggle(),
              join({{kFallback[0], "log [SYS] focus: ControlCenter not found"}, {kFallback[1]}}));
}

TEST_F(FocusToggleTest, SearchesStopAtTheirDepthAndValuesReadByType) {
    AxElementPtr top = tile; // the tile nine levels below: beyond a depth-8 search
    for (int level = 0; level < 9; ++level)
        top = node("level", "AXGroup", {top});
    EXPECT_FALSE(focus.findElementByIdentifier(top, "controlcenter-focus-modes", 8));
    EXPECT_TRUE(focus.findElementByIdentifier(top, "controlcenter-focus-modes", 9));
    EXPECT_FALSE(focus.findElementByIdentifier(top, "controlcenter-focus-modes", -1));
    const std::pair<AxValue, std::string> values[] = {
        {true, "true"}, {std::optional<int32_t>(), ""}, {std::string("On"), "On"}, {AxOther{}, ""}};
    for (const auto& [value, text] : values) {
        tile->attributes["AXValue"] = value;
        EXPECT_EQ(focus.copyValueText(tile), text);
    }
    tile->actions.reset();
    EXPECT_EQ(focus.copyActionNamesText(tile), "");
}

} // namespace
} // namespace pointrelay::input
