// SPDX-License-Identifier: MIT
// The macOS adapters driven through their interfaces against recording fakes of the Apple
// calls: which calls, with which arguments, and that every object they create is released.
#include "fake_apple_calls.h"
#include "input/apple/apple_accessibility.h"
#include "input/apple/apple_event_sink.h"

#include <cstring>
#include <gtest/gtest.h>

namespace pointrelay::input {
namespace {

using test::fakeApple;
using test::FakeAxValue;
using test::FakeCgEvent;

class AppleAdapterTest : public ::testing::Test {
protected:
    AppleAdapterTest() { fakeApple().reset(); }

    void TearDown() override {
        m_sink.reset();
        m_ax.reset();
        EXPECT_EQ(fakeApple().liveObjects(), std::vector<std::string>{}) << "never released";
        EXPECT_EQ(fakeApple().faults, std::vector<std::string>{});
    }

    static const std::vector<test::FakePostedEvent>& posted() { return fakeApple().posted; }

    std::unique_ptr<EventSink> m_sink = createAppleEventSink();
    std::unique_ptr<AccessibilityPort> m_ax = createAppleAccessibility();
};

// ---- Events ----

using AppleEventSinkTest = AppleAdapterTest;

TEST_F(AppleEventSinkTest, MouseEventsCarryTheirTypeAndButtonToTheSessionTap) {
    const std::pair<MouseEventType, MouseButton> cases[] = {
        {MouseEventType::LeftDown, MouseButton::Left},
        {MouseEventType::LeftUp, MouseButton::Left},
        {MouseEventType::RightDown, MouseButton::Right},
        {MouseEventType::RightUp, MouseButton::Right},
        {MouseEventType::Moved, MouseButton::Left},
        {MouseEventType::LeftDragged, MouseButton::Left},
        {MouseEventType::RightDragged, MouseButton::Right},
    };
    for (const auto& [type, button] : cases)
        m_sink->postMouse({type, Point{12.5, 900.25}, button, std::nullopt});

    ASSERT_EQ(posted().size(), std::size(cases));
    for (uint32_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const auto& [tap, event] = posted()[i];
        EXPECT_EQ(tap, 1u);
        EXPECT_EQ(event.kind, FakeCgEvent::Kind::Mouse);
        EXPECT_EQ(event.mouseType, i + 1);
        EXPECT_EQ(event.button, cases[i].second == MouseButton::Right ? 1u : 0u);
        EXPECT_EQ(event.location.x, 12.5);
        EXPECT_EQ(event.location.y, 900.25);
        EXPECT_EQ(event.sourceState, 1) << "a HID-system-state source";
    }
}

TEST_F(AppleEventSinkTest, ClickStateFieldIsSetOnlyWhenGiven) {
    m_sink->postMouse({MouseEventType::LeftDown, {}, MouseButton::Left, 2});
    m_sink->postMouse({MouseEventType::Moved, {}, MouseButton::Left, std::nullopt});

    ASSERT_EQ(posted().size(), 2u);
    EXPECT_EQ(posted()[0].event.integerFields, (std::map<uint32_t, int64_t>{{1, 2}}));
    EXPECT_TRUE(posted()[1].event.integerFields.empty());
}

TEST_F(AppleEventSinkTest, EachEventHasItsOwnSourceAndBothAreReleasedAfterPosting) {
    m_sink->postMouse({MouseEventType::LeftUp, {}, MouseButton::Left, 1});
    EXPECT_EQ(fakeApple().calls,
              (std::vector<std::string>{"CGEventSourceCreate", "CGEventCreateMouseEvent",
                                        "CGEventSetIntegerValueField", "CGEventPost",
                                        "CFRelease event", "CFRelease source"}));

    m_sink->postScroll({});
    m_sink->postKey({});
    ASSERT_EQ(posted().size(), 3u);
    for (const auto& [tap, event] : posted())
        EXPECT_EQ(event.sourceState, 1);
    // The fixture checks that no event or source is left unreleased.
}

TEST_F(AppleEventSinkTest, ScrollIsTwoPixelWheelsVerticalFirstWithUnroundedDeltas) {
    m_sink->postScroll({-12, 5, true, -11.625, 4.75});
    m_sink->postScroll({3, 0, false, 2.5, 0.0});

    ASSERT_EQ(posted().size(), 2u);
    const auto& [tap, first] = posted()[0];
    EXPECT_EQ(tap, 1u);
    EXPECT_EQ(first.kind, FakeCgEvent::Kind::Scroll);
    EXPECT_EQ(first.scrollUnits, 0u);
    EXPECT_EQ(first.wheels, (std::vector<int32_t>{-12, 5}));
    EXPECT_EQ(first.integerFields, (std::map<uint32_t, int64_t>{{88, 1}}));
    EXPECT_EQ(first.doubleFields, (std::map<uint32_t, double>{{93, -11.625}, {94, 4.75}}));

    const FakeCgEvent& second = posted()[1].event;
    EXPECT_EQ(second.wheels, (std::vector<int32_t>{3, 0}));
    EXPECT_EQ(second.integerFields, (std::map<uint32_t, int64_t>{{88, 0}}));
    EXPECT_EQ(second.doubleFields, (std::map<uint32_t, double>{{93, 2.5}, {94, 0.0}}));
}

TEST_F(AppleEventSinkTest, KeyEventsGoToTheirTapWithFlagsAndTextOnlyWhenSet) {
    m_sink->postKey({0x24, true, std::nullopt, std::nullopt, Tap::Hid});
    m_sink->postKey({0x09, false, flags::kCommand | flags::kShift, std::nullopt, Tap::Session});
    m_sink->postKey({0x31, true, std::nullopt, u"a", Tap::Session});

    ASSERT_EQ(posted().size(), 3u);
    const auto& [hidTap, plain] = posted()[0];
    EXPECT_EQ(hidTap, 0u);
    EXPECT_EQ(plain.kind, FakeCgEvent::Kind::Key);
    EXPECT_EQ(plain.keyCode, 0x24);
    EXPECT_TRUE(plain.keyDown);
    EXPECT_EQ(plain.flags, std::nullopt);
    EXPECT_EQ(plain.unicode, std::nullopt);

    const auto& [sessionTap, flagged] = posted()[1];
    EXPECT_EQ(sessionTap, 1u);
    EXPECT_EQ(flagged.keyCode, 0x09);
    EXPECT_FALSE(flagged.keyDown);
    EXPECT_EQ(flagged.flags, 0x120000u);
    EXPECT_EQ(flagged.unicode, std::nullopt);

    EXPECT_EQ(posted()[2].event.flags, std::nullopt);
    EXPECT_EQ(posted()[2].event.unicode, u"a");
}

TEST_F(AppleEventSinkTest, TextIsPassedAsUtf16UnitsWithASurrogatePairCountingTwo) {
    const std::u16string text = u"é\U0001F600z"; // é, an emoji outside the first plane, z
    ASSERT_EQ(text.size(), 4u);
    m_sink->postKey({0, true, std::nullopt, text, Tap::Session});

    ASSERT_EQ(posted().size(), 1u);
    EXPECT_EQ(posted()[0].event.unicode, text);
}

TEST_F(AppleEventSinkTest, PointerIsReadFromAFreshEventAndWarpedDirectly) {
    fakeApple().pointer = CGPoint{812.5, -40};
    EXPECT_EQ(m_sink->pointerLocation(), (Point{812.5, -40}));
    EXPECT_EQ(fakeApple().calls,
              (std::vector<std::string>{"CGEventCreate", "CGEventGetLocation", "CFRelease event"}));

    m_sink->warpPointer({3, 4.5});
    ASSERT_EQ(fakeApple().warps.size(), 1u);
    EXPECT_EQ(fakeApple().warps[0].x, 3);
    EXPECT_EQ(fakeApple().warps[0].y, 4.5);
    EXPECT_TRUE(posted().empty());
}

// ---- The auxiliary-key service ----

TEST_F(AppleEventSinkTest, MissingHidSystemServiceIsReportedWithoutOpening) {
    fakeApple().hidService = 0;
    const HidOpenResult result = m_sink->openHidSystem();

    EXPECT_FALSE(result.serviceFound);
    EXPECT_EQ(result.connection, 0u);
    EXPECT_EQ(fakeApple().matchedClasses, std::vector<std::string>{"IOHIDSystem"});
    EXPECT_EQ(fakeApple().mainPorts, std::vector<mach_port_t>{0});
    EXPECT_TRUE(fakeApple().opens.empty());
    EXPECT_TRUE(fakeApple().releasedObjects.empty());
}

TEST_F(AppleEventSinkTest, HidSystemIsOpenedAsParameterConnectionAndTheServiceReleased) {
    fakeApple().openStatus = static_cast<kern_return_t>(0xE00002C1); // not privileged
    const HidOpenResult refused = m_sink->openHidSystem();
    EXPECT_TRUE(refused.serviceFound);
    EXPECT_EQ(refused.status, static_cast<int32_t>(0xE00002C1));
    EXPECT_EQ(refused.connection, 0u);

    fakeApple().openStatus = KERN_SUCCESS;
    const HidOpenResult opened = m_sink->openHidSystem();
    EXPECT_TRUE(opened.serviceFound);
    EXPECT_EQ(opened.status, 0);
    EXPECT_EQ(opened.connection, 0x3307u);

    ASSERT_EQ(fakeApple().opens.size(), 2u);
    for (const auto& open : fakeApple().opens) {
        EXPECT_EQ(open.service, 0x2203u);
        EXPECT_EQ(open.task, mach_task_self_);
        EXPECT_EQ(open.type, 1u);
    }
    EXPECT_EQ(fakeApple().releasedObjects, (std::vector<io_object_t>{0x2203, 0x2203}));
}

TEST_F(AppleEventSinkTest, AuxKeysAreSystemDefinedAuxControlButtonEvents) {
    fakeApple().hidPostStatus = 5;
    EXPECT_EQ(m_sink->postAuxKey(0x3307, AuxKeyType::SoundUp, true), 5);
    fakeApple().hidPostStatus = KERN_SUCCESS;
    EXPECT_EQ(m_sink->postAuxKey(0x3307, AuxKeyType::SoundUp, false), 0);
    EXPECT_EQ(m_sink->postAuxKey(0x3307, AuxKeyType::BrightnessDown, true), 0);

    const uint32_t words[] = {0x00000A00, 0x00000B00, 0x00030A00};
    ASSERT_EQ(fakeApple().hidPosts.size(), std::size(words));
    for (size_t i = 0; i < std::size(words); ++i) {
        SCOPED_TRACE(i);
        const test::FakeHidPost& post = fakeApple().hidPosts[i];
        EXPECT_EQ(post.connection, 0x3307u);
        EXPECT_EQ(post.eventType, 14u);
        EXPECT_EQ(post.location.x, 0);
        EXPECT_EQ(post.location.y, 0);
        EXPECT_EQ(post.version, 2u);
        EXPECT_EQ(post.eventFlags, 0u);
        EXPECT_EQ(post.options, 0u);
        // Every byte but the subtype and the first word stays zero.
        unsigned char expected[48] = {};
        const int16_t subType = 8;
        std::memcpy(expected + 2, &subType, sizeof subType);
        std::memcpy(expected + 4, &words[i], sizeof words[i]);
        EXPECT_EQ(std::memcmp(&post.data, expected, sizeof expected), 0);
        EXPECT_EQ(static_cast<uint32_t>(post.data.compound.misc.L[0]), words[i]);
    }
}

// ---- Processes, accessibility and notifications ----

using AppleAccessibilityTest = AppleAdapterTest;

TEST_F(AppleAccessibilityTest, ProcessesAreFoundByExactNameFirstMatchWins) {
    fakeApple().processes = {
        {"Dock", 101},
        {"Unnamed", 102, true},
        {std::string(300, 'x'), 103}, // does not fit the name buffer
        {"Finder Helper", 104},
        {"Finder", 105},
        {"Finder", 106},
    };
    EXPECT_EQ(m_ax->findProcessIdByName("Finder"), 105);
    EXPECT_EQ(m_ax->findProcessIdByName("Dock"), 101);
    EXPECT_EQ(m_ax->findProcessIdByName("finder"), std::nullopt);
    EXPECT_EQ(m_ax->findProcessIdByName("Finder Help"), std::nullopt);
    EXPECT_EQ(m_ax->findProcessIdByName("Unnamed"), std::nullopt);
    EXPECT_EQ(m_ax->findProcessIdByName(std::string(300, 'x')), std::nullopt);
}

class AppleAxTreeTest : public AppleAdapterTest {
protected:
    AppleAxTreeTest() {
        auto& nodes = fakeApple().nodes;
        nodes.resize(3);
        fakeApple().applications[4242] = 0;
        nodes[0].attributes = {
            {"AXTitle", {std::string("Réglages")}},
            {"AXEnhancedUserInterface", {true}},
            {"AXPid", {int64_t{4242}}},
            {"AXHuge", {int64_t{1} << 40}},
            {"AXScale", {2.5}},
            {"AXPosition", {CGPoint{10, -20.5}}},
            {"AXSize", {CGSize{640, 480}}},
            {"AXFrame", {test::FakeRect{1, 2, 3, 4}}},
            {"AXCreated", {test::FakeDate{}}},
            {"AXFocusedWindow", {test::FakeElement{1}}},
            {"AXChildren",
             {test::FakeAxArray{
                 {test::FakeElement{1}}, {std::string("x")}, {test::FakeElement{2}}}}},
        };
        nodes[0].failingAttributes = {{"AXMainWindow", -25204}};
        nodes[1].attributes = {{"AXTitle", {std::string("Window")}}};
        nodes[2].attributes = {{"AXTitle", {std::string("Button")}}};
    }

    std::string titleOf(const AxElementPtr& element) {
        const auto value = m_ax->copyAttribute(element, "AXTitle");
        return value ? std::get<std::string>(*value) : "<none>";
    }
};

TEST_F(AppleAxTreeTest, AttributeValuesMapToTheirTypes) {
    const AxElementPtr app = m_ax->createApplication(4242);
    ASSERT_NE(app, nullptr);
    auto read = [&](std::string_view name) { return m_ax->copyAttribute(app, name); };

    EXPECT_EQ(std::get<std::string>(read("AXTitle").value()), "Réglages");
    EXPECT_EQ(std::get<bool>(read("AXEnhancedUserInterface").value()), true);
    EXPECT_EQ(std::get<std::optional<int32_t>>(read("AXPid").value()), 4242);
    EXPECT_EQ(std::get<std::optional<int32_t>>(read("AXHuge").value()), std::nullopt);
    EXPECT_EQ(std::get<std::optional<int32_t>>(read("AXScale").value()), std::nullopt);
    EXPECT_EQ(std::get<Point>(read("AXPosition").value()), (Point{10, -20.5}));
    const auto size = std::get<AxSize>(read("AXSize").value());
    EXPECT_EQ(size.width, 640);
    EXPECT_EQ(size.height, 480);
    EXPECT_TRUE(std::holds_alternative<AxOther>(read("AXFrame").value()));
    EXPECT_TRUE(std::holds_alternative<AxOther>(read("AXCreated").value()));
    EXPECT_EQ(titleOf(std::get<AxElementPtr>(read("AXFocusedWindow").value())), "Window");

    const auto children = std::get<std::vector<AxElementPtr>>(read("AXChildren").value());
    ASSERT_EQ(children.size(), 3u);
    EXPECT_EQ(titleOf(children[0]), "Window");
    EXPECT_EQ(children[1], nullptr) << "not an element";
    EXPECT_EQ(titleOf(children[2]), "Button");

    EXPECT_EQ(read("AXMissing"), std::nullopt);
    EXPECT_EQ(read("AXMainWindow"), std::nullopt);
    EXPECT_EQ(fakeApple().attributeReads.front(), (std::pair<int, std::string>{0, "AXTitle"}));
}

TEST_F(AppleAxTreeTest, ElementsKeepTheirReferenceUntilTheLastPointerGoes) {
    AxElementPtr app = m_ax->createApplication(4242);
    auto children =
        std::get<std::vector<AxElementPtr>>(m_ax->copyAttribute(app, "AXChildren").value());
    EXPECT_EQ(fakeApple().liveObjects(),
              (std::vector<std::string>{"element", "element", "element"}))
        << "the copied array and its string are released, the two children retained";

    app.reset();
    EXPECT_EQ(titleOf(children[2]), "Button");
    children.clear();
    EXPECT_EQ(fakeApple().liveObjects(), std::vector<std::string>{});
}

TEST_F(AppleAxTreeTest, TimeoutActionsAndTheirErrorsReachTheElement) {
    const AxElementPtr app = m_ax->createApplication(4242);
    m_ax->setMessagingTimeout(app, 0.25f);
    EXPECT_EQ(fakeApple().timeouts, (std::vector<std::pair<int, float>>{{0, 0.25f}}));

    EXPECT_EQ(m_ax->performAction(app, "AXPress"), 0);
    fakeApple().nodes[0].actionError = -25206;
    EXPECT_EQ(m_ax->performAction(app, "AXRaise"), -25206);
    EXPECT_EQ(fakeApple().actions,
              (std::vector<std::pair<int, std::string>>{{0, "AXPress"}, {0, "AXRaise"}}));

    // An application that is not running still gives an element; reading it fails.
    const AxElementPtr gone = m_ax->createApplication(7);
    ASSERT_NE(gone, nullptr);
    EXPECT_EQ(m_ax->copyAttribute(gone, "AXTitle"), std::nullopt);
}

TEST_F(AppleAxTreeTest, ActionNamesKeepOnlyStrings) {
    const AxElementPtr app = m_ax->createApplication(4242);
    fakeApple().nodes[0].actionNames = {{std::string("AXPress")},
                                        {test::FakeElement{1}},
                                        {std::string("AXShowMenu")},
                                        {int64_t{3}}};
    EXPECT_EQ(m_ax->copyActionNames(app), (std::vector<std::string>{"AXPress", "AXShowMenu"}));

    fakeApple().nodes[0].actionNamesError = -25204;
    EXPECT_EQ(m_ax->copyActionNames(app), std::nullopt);
}

TEST_F(AppleAccessibilityTest, NotificationsArePostedByNameWithTheirStatus) {
    EXPECT_EQ(m_ax->notifyPost("com.apple.accessibility.changed"), 0);
    fakeApple().notifyStatus = 1000000;
    EXPECT_EQ(m_ax->notifyPost("x"), 1000000);
    EXPECT_EQ(fakeApple().notifications,
              (std::vector<std::string>{"com.apple.accessibility.changed", "x"}));
}

} // namespace
} // namespace pointrelay::input
