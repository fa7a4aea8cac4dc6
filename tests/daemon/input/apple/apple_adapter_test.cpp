// SPDX-License-Identifier: MIT
// The macOS adapters against recordings of the Apple calls they make: the events, their taps,
// sources and fields; the auxiliary-key service; accessibility values, processes and
// notifications; and every Core Foundation object released.
#include "apple_calls.h"
#include "input/apple/apple_accessibility.h"
#include "input/apple/apple_event_sink.h"

#include <gtest/gtest.h>

namespace pointrelay::input {
namespace {

using Lines = std::vector<std::string>;
using test::apple;

class AppleAdapterTest : public ::testing::Test {
protected:
    AppleAdapterTest() { apple().reset(); }
    ~AppleAdapterTest() override { EXPECT_EQ(apple().live(), Lines{}) << "never released"; }
    Lines take() { return std::exchange(apple().calls, {}); }

    std::unique_ptr<EventSink> sink = createAppleEventSink();
    std::unique_ptr<AccessibilityPort> ax = createAppleAccessibility();
};

TEST_F(AppleAdapterTest, EventsGoToTheirTapsWithTheirFieldsFromAHidSource) {
    apple().pointer = {812.5, -40};
    EXPECT_EQ(sink->pointerLocation(), (Point{812.5, -40}));
    sink->warpPointer({3, 4.5});
    for (int type = 1; type <= 7; ++type)
        sink->postMouse(
            {MouseEventType(type),
             {12.5, 900.25},
             type == 3 || type == 4 || type == 7 ? MouseButton::Right : MouseButton::Left,
             type == 1 ? std::optional<int64_t>(2) : std::nullopt});
    sink->postScroll({-12, 5, true, -11.625, 4.75});
    sink->postScroll({3, 0, false, 2.5, 0});
    sink->postKey({0x24, true, std::nullopt, std::nullopt, Tap::Hid});
    sink->postKey({0x09, false, 0x120000, std::nullopt, Tap::Session});
    sink->postKey({0, true, std::nullopt, u"a\xD83D\xDE00", Tap::Session});
    EXPECT_EQ(take(),
              (Lines{"CGWarpMouseCursorPosition 3,4.5",
                     "CGEventPost 1 mouse 1 @12.5,900.25 button=0 source=1 int1=2",
                     "CGEventPost 1 mouse 2 @12.5,900.25 button=0 source=1",
                     "CGEventPost 1 mouse 3 @12.5,900.25 button=1 source=1",
                     "CGEventPost 1 mouse 4 @12.5,900.25 button=1 source=1",
                     "CGEventPost 1 mouse 5 @12.5,900.25 button=0 source=1",
                     "CGEventPost 1 mouse 6 @12.5,900.25 button=0 source=1",
                     "CGEventPost 1 mouse 7 @12.5,900.25 button=1 source=1",
                     "CGEventPost 1 scroll units=0 -12,5 source=1 int88=1 double93=-11.625 "
                     "double94=4.75",
                     "CGEventPost 1 scroll units=0 3,0 source=1 int88=0 double93=2.5 double94=0",
                     "CGEventPost 0 key 36 down source=1",
                     "CGEventPost 1 key 9 up source=1 flags=0x120000",
                     "CGEventPost 1 key 0 down source=1 text=61,d83d,de00"}));
}

TEST_F(AppleAdapterTest, AuxiliaryKeysThroughTheHidSystemService) {
    apple().hidService = 0;
    EXPECT_FALSE(sink->openHidSystem().serviceFound);
    EXPECT_EQ(take(), (Lines{"IOServiceMatching IOHIDSystem",
                             "IOServiceGetMatchingService 0 IOHIDSystem"}));
    apple().hidService = 0x2203;
    apple().openStatus = int(0xE00002C1);
    const HidOpenResult refused = sink->openHidSystem();
    EXPECT_TRUE(refused.serviceFound && refused.status == int(0xE00002C1) && !refused.connection);
    apple().openStatus = 0;
    EXPECT_EQ(sink->openHidSystem().connection, 0x3307u);
    // A parameter connection of our own task; the service is released after every open.
    const Lines open = {"IOServiceMatching IOHIDSystem",
                        "IOServiceGetMatchingService 0 IOHIDSystem", "IOServiceOpen 8707 259 1",
                        "IOObjectRelease 8707"};
    Lines twice = open;
    twice.insert(twice.end(), open.begin(), open.end());
    EXPECT_EQ(take(), twice);

    apple().postStatus = 5;
    EXPECT_EQ(sink->postAuxKey(0x3307, AuxKeyType::SoundUp, true), 5);
    apple().postStatus = 0;
    EXPECT_EQ(sink->postAuxKey(0x3307, AuxKeyType::BrightnessDown, false), 0);
    const std::string post = "IOHIDPostEvent 13063 type=14 at=0,0 subtype=8 data1=";
    const std::string tail = " other=0 version=2 flags=0 options=0";
    EXPECT_EQ(take(), (Lines{post + "0x00000A00" + tail, post + "0x00030B00" + tail}));
}

TEST_F(AppleAdapterTest, AccessibilityValuesProcessesActionsAndNotifications) {
    apple().processes = {{"Dock", 101},          {"", 102},       {std::string(300, 'x'), 103},
                         {"Finder Helper", 104}, {"Finder", 105}, {"Finder", 106}};
    EXPECT_EQ(ax->findProcessIdByName("Finder"), 105);
    EXPECT_EQ(ax->findProcessIdByName("finder"), std::nullopt);
    EXPECT_EQ(ax->findProcessIdByName(std::string(300, 'x')), std::nullopt);

    using Element = test::AppleCalls::Element;
    apple().applications[4242] = 0;
    apple().nodes.resize(3);
    apple().nodes[0].attributes = {{"AXTitle", std::string("R\xC3\xA9glages")},
                                   {"AXEnhanced", true},
                                   {"AXPid", 4242.0},
                                   {"AXHuge", 1e12},
                                   {"AXScale", 2.5},
                                   {"AXPosition", CGPoint{10, -20.5}},
                                   {"AXSize", CGSize{640, 480}},
                                   {"AXWindow", Element{1}},
                                   {"AXChildren", std::vector<Element>{{1}, {2}}}};
    apple().nodes[1].attributes = {{"AXTitle", std::string("Window")}};
    apple().nodes[0].actionNames = {"AXPress", "AXShowMenu"};
    {
        const AxElementPtr app = ax->createApplication(4242);
        const auto read = [&](std::string_view name) { return ax->copyAttribute(app, name); };
        EXPECT_EQ(std::get<std::string>(*read("AXTitle")), "R\xC3\xA9glages");
        EXPECT_TRUE(std::get<bool>(*read("AXEnhanced")));
        EXPECT_EQ(std::get<std::optional<int32_t>>(*read("AXPid")), 4242);
        EXPECT_EQ(std::get<std::optional<int32_t>>(*read("AXHuge")), std::nullopt);
        EXPECT_EQ(std::get<std::optional<int32_t>>(*read("AXScale")), std::nullopt);
        EXPECT_EQ(std::get<Point>(*read("AXPosition")), (Point{10, -20.5}));
        EXPECT_EQ(std::get<AxSize>(*read("AXSize")).height, 480);
        EXPECT_EQ(read("AXMissing"), std::nullopt);
        const auto window = std::get<AxElementPtr>(*read("AXWindow"));
        EXPECT_EQ(std::get<std::string>(*ax->copyAttribute(window, "AXTitle")), "Window");
        const auto children = std::get<std::vector<AxElementPtr>>(*read("AXChildren"));
        EXPECT_EQ(apple().live(), (Lines{"element", "element", "element", "element"}));
        ax->setMessagingTimeout(app, 0.25f);
        apple().nodes[0].actionError = -25206;
        EXPECT_EQ(ax->performAction(children[0], "AXRaise"), 0);
        EXPECT_EQ(ax->performAction(app, "AXPress"), -25206);
        EXPECT_EQ(ax->copyActionNames(app), (Lines{"AXPress", "AXShowMenu"}));
        EXPECT_EQ(ax->copyAttribute(ax->createApplication(7), "AXTitle"), std::nullopt);
        EXPECT_EQ(ax->notifyPost("com.apple.controlcenter.dnd"), 0);
    }
    EXPECT_EQ(
        take(),
        (Lines{"AXUIElementSetMessagingTimeout 0 0.25", "AXUIElementPerformAction 1 AXRaise",
               "AXUIElementPerformAction 0 AXPress", "notify_post com.apple.controlcenter.dnd"}));
}

} // namespace
} // namespace pointrelay::input
