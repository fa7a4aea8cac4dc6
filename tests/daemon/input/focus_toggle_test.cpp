// SPDX-License-Identifier: MIT
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
    std::optional<std::vector<std::string>> actions;
    int32_t pressResult = 0;
};
using NodePtr = std::shared_ptr<Node>;

NodePtr node(std::string name, std::string role = "AXGroup") {
    auto n = std::make_shared<Node>();
    n->name = std::move(name);
    n->attributes["AXRole"] = std::move(role);
    return n;
}
void frame(const NodePtr& n, double x, double y, double w, double h) {
    n->attributes["AXPosition"] = Point{x, y};
    n->attributes["AXSize"] = AxSize{w, h};
}
void adopt(const NodePtr& parent, std::vector<AxElementPtr> kids) {
    parent->attributes["AXChildren"] = std::move(kids);
}

/// A scripted accessibility tree of Control Center, sharing the recording timeline.
class FakeAccessibility final : public AccessibilityPort {
public:
    explicit FakeAccessibility(test::RecordingSink& sink) : m_sink(sink) {}

    std::optional<int32_t> pid = 321;
    NodePtr app = node("app", "AXApplication");
    NodePtr window;            // the panel, when showing
    int windowAfterPolls = -1; // the panel appears after this many reads once pressed
    bool pressed = false;

    std::optional<int32_t> findProcessIdByName(std::string_view name) override {
        return name == "ControlCenter" ? pid : std::nullopt;
    }
    AxElementPtr createApplication(int32_t id) override { return id == 321 ? app : nullptr; }
    void setMessagingTimeout(const AxElementPtr&, float seconds) override {
        m_sink.note("timeout " + test::RecordingSink::num(seconds));
    }
    std::optional<AxValue> copyAttribute(const AxElementPtr& element,
                                         std::string_view attribute) override {
        auto* n = static_cast<Node*>(element.get());
        if (n == app.get() && attribute == "AXWindows") {
            if (pressed && windowAfterPolls >= 0 && windowAfterPolls-- == 0)
                pressedWindowShows();
            return window ? std::vector<AxElementPtr>{window} : std::vector<AxElementPtr>{};
        }
        const auto it = n->attributes.find(attribute);
        if (it == n->attributes.end())
            return std::nullopt;
        return it->second;
    }
    int32_t performAction(const AxElementPtr& element, std::string_view action) override {
        auto* n = static_cast<Node*>(element.get());
        m_sink.note("press " + n->name + " " + std::string(action));
        if (n->name == "menuextra")
            pressed = n->pressResult == 0;
        return n->pressResult;
    }
    std::optional<std::vector<std::string>> copyActionNames(const AxElementPtr& element) override {
        return static_cast<Node*>(element.get())->actions;
    }
    int32_t notifyPost(std::string_view name) override {
        m_sink.note("notify " + std::string(name));
        return 0;
    }

    NodePtr panel; // what shows once the menu extra was pressed
private:
    void pressedWindowShows() { window = panel; }
    test::RecordingSink& m_sink;
};

class FocusToggleTest : public ::testing::Test {
protected:
    FocusToggleTest() {
        tile = node("tile", "AXCheckBox");
        tile->attributes["AXIdentifier"] = std::string("controlcenter-focus-modes");
        tile->attributes["AXTitle"] = std::string("Focus");
        tile->attributes["AXValue"] = std::optional<int32_t>(1);
        tile->actions = std::vector<std::string>{"AXPress", "AXShowMenu"};
        frame(tile, 100, 10, 41, 20);
        auto panel = node("panel", "AXWindow");
        auto group = node("group");
        adopt(group, {nullptr, tile});
        adopt(panel, {group});
        ax.panel = panel;

        auto menuBar = node("menubar");
        menuExtra = node("menuextra", "AXMenuBarItem");
        menuExtra->attributes["AXIdentifier"] = std::string("com.apple.menuextra.controlcenter");
        adopt(menuBar, {menuExtra});
        adopt(ax.app, {menuBar});
    }
    Lines toggle() {
        sink.take();
        focus.toggleFocusMode();
        return sink.take();
    }

    test::RecordingSink sink;
    FakeAccessibility ax{sink};
    PointerInjector pointer{sink, sink};
    Keyboard keyboard{sink, sink};
    FocusToggle focus{ax, pointer, keyboard, sink};
    NodePtr tile;
    NodePtr menuExtra;
};

const Lines kClickTile = {"log [SYS] focus: click point=(121,20)", "mouse leftDown@120.5,20 L",
                          "sleep 8000", "mouse leftUp@120.5,20 L"};
const Lines kEscape = {"sleep 100000", "key 53 down hid", "sleep 1500", "key 53 up hid"};
const std::string kDescription =
    "log [SYS] focus: toggle role=AXCheckBox subrole= title=Focus desc= value=1 "
    "actions=AXPress,AXShowMenu";

Lines join(std::initializer_list<Lines> parts) {
    Lines out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST_F(FocusToggleTest, OpenPanelIsClickedAndAClosedOneOpenedPolledAndClosedAgain) {
    ax.window = ax.panel;
    EXPECT_EQ(toggle(), join({{"log [SYS] focus begin pid=321", "timeout 0.5",
                               "log [SYS] focus: windowReady=1 openedNow=0", kDescription},
                              kClickTile,
                              {"log [SYS] focus click/AX controlcenter-focus-modes"}}));
    ax.window = nullptr;
    ax.pressed = false;
    ax.windowAfterPolls = 2;
    EXPECT_EQ(toggle(), join({{"log [SYS] focus begin pid=321", "timeout 0.5",
                               "log [SYS] focus: window not present, opening Control Center",
                               "press menuextra AXPress", "log [SYS] focus: menuextra press err=0",
                               "sleep 50000", "sleep 50000", "sleep 50000",
                               "log [SYS] focus: windowReady=1 openedNow=1", kDescription},
                              kClickTile,
                              kEscape,
                              {"log [SYS] focus click/AX controlcenter-focus-modes"}}));
}

TEST_F(FocusToggleTest, EveryFailureEndsInTheNotificationFallback) {
    const Lines fallback = {"notify com.apple.controlcenter.dnd",
                            "log [SYS] focus fallback notify status=0"};
    Lines lines = toggle(); // the panel never shows: 20 polls, Escape, the fallback
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "sleep 50000"), 20);
    EXPECT_EQ(Lines(lines.end() - 7, lines.end()),
              join({{"log [SYS] focus: windowReady=0 openedNow=1"}, kEscape, fallback}));
    // A tile without a usable frame (zero width) is pressed through accessibility.
    ax.window = ax.panel;
    frame(tile, 100, 10, 0, 20);
    tile->pressResult = -25200;
    lines = toggle();
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
              join({{"press tile AXPress", "log [SYS] focus: AXPress err=-25200"}, fallback}));
    ax.window = nullptr;
    menuExtra->pressResult = -25204;
    lines = toggle();
    EXPECT_EQ(lines[4], "log [SYS] focus: menuextra press err=-25204");
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), fallback);
    ax.app = nullptr;
    EXPECT_EQ(toggle()[2], "log [SYS] focus: AXUIElementCreateApplication failed");
    ax.pid.reset();
    EXPECT_EQ(toggle(),
              join({{fallback[0], "log [SYS] focus: ControlCenter not found"}, {fallback[1]}}));
}

TEST_F(FocusToggleTest, SearchesStopAtTheirDepthAndValuesReadByType) {
    NodePtr top = node("level0"); // the tile nine levels below: beyond a depth-8 search
    NodePtr current = top;
    for (int level = 1; level < 9; ++level) {
        auto next = node("level" + std::to_string(level));
        adopt(current, {next});
        current = next;
    }
    adopt(current, {tile});
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
