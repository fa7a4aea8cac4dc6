// SPDX-License-Identifier: MIT
// The X11 sink against a real X server (Xvfb, see tests/scripts/with_xvfb.sh): what a focused
// application window receives.
#include "input/x11/x11_event_sink.h"
#include "test_window.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace pointrelay::input {
namespace {

using Lines = std::vector<std::string>;

class X11EventSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(m_sink, nullptr) << "no X display with XTest";
        m_window.take();
    }

    Lines press(uint16_t virtualKey, std::optional<uint64_t> eventFlags = {}) {
        m_sink->postKey({.keyCode = virtualKey, .down = true, .flags = eventFlags});
        m_sink->postKey({.keyCode = virtualKey, .down = false, .flags = eventFlags});
        return m_window.take();
    }
    std::string type(const std::u16string& text) {
        m_sink->postKey({.keyCode = 0, .down = true, .text = text});
        m_sink->postKey({.keyCode = 0, .down = false, .text = text}); // ignored
        return m_window.takeText();
    }
    // The wheel buttons pressed, in order.
    std::string wheel() {
        std::string buttons;
        for (const std::string& line : m_window.take()) {
            if (line.starts_with("button "))
                buttons += line[7];
        }
        return buttons;
    }
    std::string scroll(double vertical, double horizontal = 0) {
        m_sink->postScroll({.fixedDelta1 = vertical, .fixedDelta2 = horizontal});
        return wheel();
    }

    // Spare keycodes go back to NoSymbol 30 ms after their last use: wait for it, bounded.
    bool mapRestored(const std::vector<unsigned long>& before) {
        for (int i = 0; i < 100 && m_window.keyboardMap() != before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return m_window.keyboardMap() == before;
    }

    test::TestWindow m_window;
    std::unique_ptr<EventSink> m_sink = createX11EventSink();
};

TEST_F(X11EventSinkTest, PointerWarpsDragsClicksAndWheelSteps) {
    m_sink->warpPointer({100.4, 200.6});
    m_sink->warpPointer({std::nan(""), 5}); // no place at all
    EXPECT_EQ(m_sink->pointerLocation(), (Point{100, 201}));
    // The logic warps, then reports the drag: the motion itself is the drag.
    m_sink->postMouse({.type = MouseEventType::LeftDown, .location = {200, 200}, .clickState = 1});
    m_sink->warpPointer({260, 230});
    m_sink->postMouse({.type = MouseEventType::LeftDragged, .location = {260, 230}});
    m_sink->postMouse({.type = MouseEventType::LeftUp, .location = {260, 230}, .clickState = 1});
    m_sink->postMouse({.type = MouseEventType::RightDown, .location = {300, 400}});
    m_sink->postMouse({.type = MouseEventType::RightUp, .location = {300, 400}});
    EXPECT_EQ(m_window.take(),
              (Lines{"move @100,201", "move @200,200", "button 1 @200,200", "move @260,230 b1",
                     "button-up 1 @260,230 b1", "move @300,400", "button 3 @300,400",
                     "button-up 3 @300,400 b3"}));
    // Pixels add up into 40-pixel wheel steps per axis: 4/5 up and down, 6/7 left and right.
    const std::pair<std::pair<double, double>, const char*> scrolls[] = {
        {{40, 0}, "4"},   {{10, 0}, ""},    {{10, 0}, ""},    {{20, 0}, "4"},
        {{-40, 0}, "5"},  {{100, 0}, "44"}, {{20, 0}, "4"},   {{0, 40}, "6"},
        {{0, -80}, "77"}, {{-30, 30}, ""},  {{-10, 10}, "56"}};
    for (const auto& [pixels, buttons] : scrolls)
        EXPECT_EQ(scroll(pixels.first, pixels.second), buttons)
            << pixels.first << "," << pixels.second;
}

TEST_F(X11EventSinkTest, TypedTextArrivesExactlyAndTheKeyboardMapIsRestored) {
    const auto mapBefore = m_window.keyboardMap();
    EXPECT_EQ(type(u"héllo ✓"), "héllo ✓");
    EXPECT_EQ(type(u"\U0001F600"), "😀"); // a surrogate pair
    EXPECT_EQ(type(u"a\xD800"
                   u"b\xDC00"),
              "ab");                                // lone surrogates are skipped
    m_sink->postKey({.keyCode = 56, .down = true}); // a held Shift changes no character
    EXPECT_EQ(type(u"aé"), "aé");
    m_sink->postKey({.keyCode = 56, .down = false});

    // More distinct characters than spare keycodes: typed in several batches.
    const size_t width = mapBefore.front();
    size_t spare = 0;
    for (size_t i = 1; i < mapBefore.size(); i += width)
        spare += std::all_of(&mapBefore[i], &mapBefore[i] + width, [](auto k) { return k == 0; });
    std::u16string text;
    std::string expected;
    for (char16_t c = u'一'; text.size() < spare + 10; ++c) { // U+4E00 on, three UTF-8 bytes
        text += c;
        expected +=
            {char(0xE0 | (c >> 12)), char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
    }
    EXPECT_EQ(type(text), expected);
    EXPECT_TRUE(mapRestored(mapBefore)); // once the keycodes have been idle a while
}

TEST_F(X11EventSinkTest, CommandActsAsControlAndFlagsWrapTheKey) {
    EXPECT_EQ(press(8, flags::kCommand),
              (Lines{"key Control_L", "key c ctrl", "key-up c ctrl", "key-up Control_L ctrl"}));
    m_sink->postKey({.keyCode = 55, .down = true}); // HID-style Command, V, release
    EXPECT_EQ(press(9), (Lines{"key Control_L", "key v ctrl", "key-up v ctrl"}));
    m_sink->postKey({.keyCode = 55, .down = false});
    EXPECT_EQ(m_window.take(), Lines{"key-up Control_L ctrl"});
    EXPECT_EQ(press(0, flags::kOption | flags::kFn), // Fn has no X equivalent
              (Lines{"key Alt_L", "key a alt", "key-up a alt", "key-up Alt_L alt"}));
    EXPECT_EQ(press(18, flags::kShift),
              (Lines{"key Shift_L", "key exclam shift", "key-up 1 shift", "key-up Shift_L shift"}));
    EXPECT_EQ(press(55, flags::kCommand), (Lines{"key Control_L", "key-up Control_L ctrl"}));
    EXPECT_EQ(press(0x34), Lines{}); // no key has this code
    EXPECT_EQ(press(0x3F), Lines{}); // Fn alone

    // Keypad 0 is a digit whatever Num Lock says: on a borrowed keycode, given back after.
    const auto mapBefore = m_window.keyboardMap();
    EXPECT_EQ(press(0x52), (Lines{"key KP_0", "key-up KP_0"}));
    EXPECT_TRUE(mapRestored(mapBefore));               // once the keycodes have been idle a while
    const HidOpenResult hid = m_sink->openHidSystem(); // auxiliary keys: XF86 keysyms
    EXPECT_TRUE(hid.serviceFound && hid.status == 0);
    for (auto type : {AuxKeyType::SoundUp, AuxKeyType::Play}) {
        EXPECT_EQ(m_sink->postAuxKey(hid.connection, type, true), 0);
        EXPECT_EQ(m_sink->postAuxKey(hid.connection, type, false), 0);
    }
    EXPECT_EQ(m_window.take(), (Lines{"key XF86AudioRaiseVolume", "key-up XF86AudioRaiseVolume",
                                      "key XF86AudioPlay", "key-up XF86AudioPlay"}));
}

TEST_F(X11EventSinkTest, ConcurrentSessionsKeepEachEventWhole) {
    // Each session types runs of its own letter (Ā, ā, Ă, ă) and scrolls half a step each time.
    std::vector<std::thread> sessions;
    for (char16_t s = 0; s < 4; ++s) {
        sessions.emplace_back([&, s] {
            for (int i = 0; i < 10; ++i) {
                m_sink->warpPointer({10.0 * s, 10.0 * i});
                m_sink->postKey({.keyCode = 0, .down = true, .text = std::u16string(3, 0x100 + s)});
                m_sink->postScroll({.fixedDelta1 = 20});
            }
        });
    }
    for (std::thread& session : sessions)
        session.join();
    EXPECT_EQ(wheel(), std::string(20, '4'));
    const std::string text = m_window.takeText();
    ASSERT_EQ(text.size(), 4u * 10 * 3 * 2); // two UTF-8 bytes each
    for (size_t i = 0; i < text.size(); i += 6)
        EXPECT_EQ(text.substr(i, 6), text.substr(i, 2) + text.substr(i, 2) + text.substr(i, 2));
}

TEST(X11EventSinkFactory, NeedsAnOpenableDisplay) {
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    unsetenv("DISPLAY");
    EXPECT_EQ(createX11EventSink(), nullptr);
    setenv("DISPLAY", ":65000", 1);
    EXPECT_EQ(createX11EventSink(), nullptr);
    setenv("DISPLAY", display.c_str(), 1);
}

} // namespace
} // namespace pointrelay::input
