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

TEST_F(FocusToggleTest, PanelAlreadyOpenIsClickedAndLeftOpen) {
    ax.window = ax.panel;
    EXPECT_EQ(toggle(), join({{"log [SYS] focus begin pid=321", "timeout 0.5",
                               "log [SYS] focus: windowReady=1 openedNow=0", kDescription},
                              kClickTile,
                              {"log [SYS] focus click/AX controlcenter-focus-modes"}}));
}

TEST_F(FocusToggleTest, ClosedPanelIsOpenedPolledClickedAndClosedAgain) {
    ax.windowAfterPolls = 2;
    Lines expected = {"log [SYS] focus begin pid=321",
                      "timeout 0.5",
                      "log [SYS] focus: window not present, opening Control Center",
                      "press menuextra AXPress",
                      "log [SYS] focus: menuextra press err=0",
                      "sleep 50000",
                      "sleep 50000",
                      "sleep 50000",
                      "log [SYS] focus: windowReady=1 openedNow=1",
                      kDescription};
    EXPECT_EQ(toggle(), join({expected,
                              kClickTile,
                              kEscape,
                              {"log [SYS] focus click/AX controlcenter-focus-modes"}}));
}

TEST_F(FocusToggleTest, PanelThatNeverShowsStillGetsEscapeThenTheFallback) {
    const Lines lines = toggle();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "sleep 50000"), 20);
    const Lines tail(lines.end() - 7, lines.end());
    EXPECT_EQ(tail, join({{"log [SYS] focus: windowReady=0 openedNow=1"},
                          kEscape,
                          {"notify com.apple.controlcenter.dnd",
                           "log [SYS] focus fallback notify status=0"}}));
}

TEST_F(FocusToggleTest, FailuresBeforeTheTileEndInTheFallback) {
    menuExtra->pressResult = -25204;
    Lines lines = toggle();
    EXPECT_EQ(
        Lines(lines.begin() + 3, lines.end()),
        (Lines{"press menuextra AXPress", "log [SYS] focus: menuextra press err=-25204",
               "log [SYS] focus: windowReady=0 openedNow=0", "notify com.apple.controlcenter.dnd",
               "log [SYS] focus fallback notify status=0"}));

    adopt(ax.app, {});
    lines = toggle();
    EXPECT_EQ(lines[3], "log [SYS] focus: Control Center menuextra not found");

    ax.app = nullptr;
    EXPECT_EQ(toggle(),
              (Lines{"log [SYS] focus begin pid=321", "notify com.apple.controlcenter.dnd",
                     "log [SYS] focus: AXUIElementCreateApplication failed",
                     "log [SYS] focus fallback notify status=0"}));
    ax.pid.reset();
    EXPECT_EQ(toggle(), (Lines{"notify com.apple.controlcenter.dnd",
                               "log [SYS] focus: ControlCenter not found",
                               "log [SYS] focus fallback notify status=0"}));
}

TEST_F(FocusToggleTest, TileWithoutClickableFrameUsesItsOwnCentreOrAXPress) {
    ax.window = ax.panel;
    // A clickable child without a frame: the tile's own centre is used.
    auto button = node("button", "AXButton");
    adopt(tile, {button});
    tile->attributes["AXRole"] = std::string("AXGroup");
    Lines lines = toggle();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "log [SYS] focus: click point=(121,20)"),
              lines.end());

    // No usable frame anywhere (a zero width does not count): pressed through accessibility.
    frame(tile, 100, 10, 0, 20);
    tile->pressResult = -25200;
    lines = toggle();
    EXPECT_EQ(
        Lines(lines.end() - 4, lines.end()),
        (Lines{"press tile AXPress", "log [SYS] focus: AXPress err=-25200",
               "notify com.apple.controlcenter.dnd", "log [SYS] focus fallback notify status=0"}));
    tile->pressResult = 0;
    EXPECT_EQ(toggle().back(), "log [SYS] focus click/AX controlcenter-focus-modes");
}

TEST_F(FocusToggleTest, SearchesStopAtTheirDepth) {
    // The tile nine levels below the window is out of reach of the depth-8 search.
    NodePtr top = node("level0");
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

    ax.window = top;
    const Lines lines = toggle();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "log [SYS] focus: controlcenter-focus-modes not found"),
              lines.end());
    EXPECT_EQ(lines.back(), "log [SYS] focus fallback notify status=0");
}

TEST_F(FocusToggleTest, ValueTextByType) {
    tile->attributes["AXValue"] = true;
    EXPECT_EQ(focus.copyValueText(tile), "true");
    tile->attributes["AXValue"] = std::optional<int32_t>();
    EXPECT_EQ(focus.copyValueText(tile), "");
    tile->attributes["AXValue"] = std::string("On");
    EXPECT_EQ(focus.copyValueText(tile), "On");
    tile->attributes["AXValue"] = AxOther{};
    EXPECT_EQ(focus.copyValueText(tile), "");
    tile->actions.reset();
    EXPECT_EQ(focus.copyActionNamesText(tile), "");
}

} // namespace
} // namespace pointrelay::input
