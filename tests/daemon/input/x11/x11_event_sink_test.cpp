// SPDX-License-Identifier: MIT
// The X11 sink against a real X server (Xvfb, see tests/scripts/with_xvfb.sh): what a focused
// application window receives, from the sink and from phones through the daemon. And the one
// key table every Linux route uses.
#include "input/linux/keysyms.h"
#include "input/x11/x11_event_sink.h"
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/temp_dir.h"
#include "test_window.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <thread>
#include <xkbcommon/xkbcommon-keysyms.h>

namespace pointrelay::input {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

struct X11EventSinkTest : ::testing::Test {
    void SetUp() override {
        ASSERT_NE(sink, nullptr) << whyNot;
        window.take();
    }
    Lines press(uint16_t virtualKey, std::optional<uint64_t> eventFlags = {}) {
        sink->postKey({.keyCode = virtualKey, .down = true, .flags = eventFlags});
        sink->postKey({.keyCode = virtualKey, .down = false, .flags = eventFlags});
        return window.take();
    }
    test::TestWindow window;
    std::string whyNot;
    std::unique_ptr<EventSink> sink = createX11EventSink(whyNot);
};

TEST_F(X11EventSinkTest, PointerWarpsDragsClicksAndWheelSteps) {
    sink->warpPointer({100.4, 200.6});
    sink->warpPointer({std::nan(""), 5}); // no place at all
    EXPECT_EQ(sink->pointerLocation(), (Point{100, 201}));
    // The logic warps, then reports the drag: the motion itself is the drag.
    sink->postMouse({.type = MouseEventType::LeftDown, .location = {200, 200}, .clickState = 1});
    sink->warpPointer({260, 230});
    sink->postMouse({.type = MouseEventType::LeftDragged, .location = {260, 230}});
    sink->postMouse({.type = MouseEventType::LeftUp, .location = {260, 230}, .clickState = 1});
    sink->postMouse({.type = MouseEventType::RightDown, .location = {300, 400}});
    sink->postMouse({.type = MouseEventType::RightUp, .location = {300, 400}});
    EXPECT_EQ(window.take(), (Lines{"move @100,201", "move @200,200", "button 1 @200,200",
                                    "move @260,230 b1", "button-up 1 @260,230 b1", "move @300,400",
                                    "button 3 @300,400", "button-up 3 @300,400 b3"}));
    // Pixels add up into 40-pixel wheel steps per axis: 4/5 up and down, 6/7 left and right.
    const std::tuple<double, double, const char*> scrolls[] = {
        {40, 0, "4"}, {10, 0, ""},  {10, 0, ""},    {20, 0, "4"},  {-40, 0, "5"},  {100, 0, "44"},
        {20, 0, "4"}, {0, 40, "6"}, {0, -80, "77"}, {-30, 30, ""}, {-10, 10, "56"}};
    for (const auto& [vertical, horizontal, buttons] : scrolls) {
        sink->postScroll({.fixedDelta1 = vertical, .fixedDelta2 = horizontal});
        std::string pressed;
        for (const std::string& line : window.take())
            if (line.starts_with("button "))
                pressed += line[7];
        EXPECT_EQ(pressed, buttons) << vertical << "," << horizontal;
    }
}

TEST_F(X11EventSinkTest, CommandActsAsControlFlagsWrapKeysAndBorrowedKeycodesGoBack) {
    EXPECT_EQ(press(8, flags::kCommand),
              (Lines{"key Control_L", "key c ctrl", "key-up c ctrl", "key-up Control_L ctrl"}));
    sink->postKey({.keyCode = 55, .down = true}); // HID-style Command, V, release
    EXPECT_EQ(press(9), (Lines{"key Control_L", "key v ctrl", "key-up v ctrl"}));
    sink->postKey({.keyCode = 55, .down = false});
    EXPECT_EQ(window.take(), Lines{"key-up Control_L ctrl"});
    EXPECT_EQ(press(0, flags::kOption | flags::kFn), // Fn has no X equivalent
              (Lines{"key Alt_L", "key a alt", "key-up a alt", "key-up Alt_L alt"}));
    EXPECT_EQ(press(18, flags::kShift),
              (Lines{"key Shift_L", "key exclam shift", "key-up 1 shift", "key-up Shift_L shift"}));
    EXPECT_EQ(press(55, flags::kCommand), (Lines{"key Control_L", "key-up Control_L ctrl"}));
    // No key has code 0x34, and Fn (0x3F) alone types nothing.
    EXPECT_EQ((std::pair{press(0x34), press(0x3F)}), std::pair(Lines{}, Lines{}));

    // Keypad 0 is a digit whatever Num Lock says, and a text of more distinct characters than
    // there are spare keycodes is typed in batches: on borrowed keycodes, given back after.
    const auto mapBefore = window.keyboardMap();
    EXPECT_EQ(press(0x52), (Lines{"key KP_0", "key-up KP_0"}));
    window.takeText(); // what the keys so far typed
    size_t spare = 0;
    for (size_t i = 1, width = mapBefore.front(); i < mapBefore.size(); i += width)
        spare += std::all_of(&mapBefore[i], &mapBefore[i] + width, [](auto k) { return k == 0; });
    std::u16string text;
    std::string expected;
    for (char16_t c = u'一'; text.size() < spare + 10; ++c) { // U+4E00 on, three UTF-8 bytes
        text += c;
        expected +=
            {char(0xE0 | (c >> 12)), char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
    }
    sink->postKey({.keyCode = 0, .down = true, .text = text});
    sink->postKey({.keyCode = 0, .down = false, .text = text}); // ignored
    EXPECT_EQ(window.takeText(), expected);
    // Spare keycodes go back to NoSymbol soon after their last use.
    EXPECT_TRUE(test::eventually([&] { return window.keyboardMap() == mapBefore; }));
    const HidOpenResult hid = sink->openHidSystem(); // auxiliary keys: XF86 keysyms
    EXPECT_TRUE(hid.serviceFound && hid.status == 0);
    for (auto type : {AuxKeyType::SoundUp, AuxKeyType::Play})
        for (const bool down : {true, false})
            EXPECT_EQ(sink->postAuxKey(hid.connection, type, down), 0);
    EXPECT_EQ(window.take(), (Lines{"key XF86AudioRaiseVolume", "key-up XF86AudioRaiseVolume",
                                    "key XF86AudioPlay", "key-up XF86AudioPlay"}));
}

// The daemon chooses this display, and a phone keyboard's frames (one a keystroke: 200 of
// them, ASCII, accented, CJK and emoji, plain and sealed) arrive complete and in order, with
// Shift held and Caps Lock on on the real keyboard, while a second phone moves the pointer.
TEST_F(X11EventSinkTest, KeystrokesFromAPhoneArriveWholeWhileAnotherPhoneMoves) {
    const uint16_t port = test::freePort();
    test::TempDir state;
    const auto daemon = test::startDaemon(port, state.path(), {"--psk", "x11-test-key-0123"},
                                          {{"WAYLAND_DISPLAY", ""}});
    ASSERT_TRUE(daemon->waitFor("Input: X11 (XTest)") && daemon->waitFor("Listening on port"));
    client::PhoneClient typist, mover;
    for (auto* phone : {&typist, &mover})
        ASSERT_TRUE(phone->connect("127.0.0.1", port) && phone->handshake("x11-test-key-0123"));
    for (const auto& [key, down] :
         {std::pair{"Shift_L", true}, {"Caps_Lock", true}, {"Caps_Lock", false}})
        window.fakeKey(key, down);
    std::jthread moving([&](std::stop_token stop) {
        for (int i = 0; !stop.stop_requested(); ++i)
            mover.sendMove(static_cast<int16_t>(i % 2 ? 1 : -1), 0);
    });
    const std::string keys[] = {"a", "Z", "7", " ", "é", "ß", "✓", "日", "語", "😀"};
    std::string expected;
    for (size_t i = 0; i < 200; ++i) {
        const std::string& key = keys[(i * 7 + i / 10) % std::size(keys)];
        ASSERT_TRUE(i % 2 ? typist.sendText(key) : typist.sendSealedText(key));
        expected += key;
    }
    EXPECT_TRUE(test::pingRoundTrip(typist));
    EXPECT_EQ(window.takeText(), expected); // (the mover stops with the test)
    for (const auto& [key, down] :
         {std::pair{"Caps_Lock", true}, {"Caps_Lock", false}, {"Shift_L", false}})
        window.fakeKey(key, down);
}

// The X server restarting under a running daemon ends neither the daemon nor its phones: the
// route comes back by itself, and a move sent then reaches a window of the new server.
TEST(X11Restart, TheDaemonReachesANewServerOnTheSameDisplay) {
    const uint16_t port = test::freePort();
    test::TempDir state;
    const auto daemon = test::startDaemon(port, state.path(), {"--psk", "x11-test-key-0123"},
                                          {{"WAYLAND_DISPLAY", ""}});
    ASSERT_TRUE(daemon->waitFor("Input: X11 (XTest)") && daemon->waitFor("Listening on port"));
    client::PhoneClient phone;
    ASSERT_TRUE(phone.connect("127.0.0.1", port) && phone.handshake("x11-test-key-0123"));
    const pid_t old = test::desktopPid();
    ASSERT_TRUE(old != 0 && ::kill(old, SIGTERM) == 0);
    ASSERT_TRUE(
        daemon->waitFor("Input: X11 (XTest) has gone, events are dropped until it is back", 10s))
        << daemon->output();
    ASSERT_TRUE(test::eventually([&] { return test::desktopPid() != old; }, 10s));
    ASSERT_TRUE(daemon->waitFor("Input: X11 (XTest) is back", 10s));
    test::TestWindow window;
    ASSERT_TRUE(phone.sendMove(20, 0) && test::pingRoundTrip(phone));
    EXPECT_EQ(window.take(), Lines{"move @700,400"}); // from the middle of the new screen
}

// One table serves every Linux route: a wrong or shared entry types the wrong key everywhere.
TEST(KeyTable, EveryKeyItsOwnKeysymCommandIsControlControlsAreNotTyped) {
    std::map<Keysym, uint16_t> owner;
    for (uint16_t virtualKey = 0; virtualKey < 0x80; ++virtualKey) {
        const Keysym keysym = keysymForVirtualKey(virtualKey);
        if (keysym != 0 && virtualKey != 0x36 && virtualKey != 0x37) {
            EXPECT_TRUE(owner.emplace(keysym, virtualKey).second)
                << "keys " << owner[keysym] << " and " << virtualKey << " share a keysym";
        }
    }
    EXPECT_EQ(keysymForVirtualKey(0x37), keysymForVirtualKey(0x3B));
    for (uint16_t unmapped : {0x0A, 0x34, 0x3F, 0x80})
        EXPECT_EQ(keysymForVirtualKey(unmapped), 0u) << unmapped;
    EXPECT_EQ(modifiersForFlags(flags::kCommand | flags::kControl | flags::kFn),
              std::vector<Keysym>{XKB_KEY_Control_L});
    // Return for a line break; the rest, and surrogate pairs, the typing tests see.
    EXPECT_EQ(keysymForCodePoint(U'\n'), Keysym(XKB_KEY_Return));
    // Each edge of the untypeable ranges: C0 and C1 controls, surrogates, beyond Unicode.
    const std::pair<char32_t, Keysym> edges[] = {
        {0x1F, 0},   {0x20, 0x20},         {0x7E, 0x7E},           {0x7F, 0},
        {0x9F, 0},   {0xA0, 0xA0},         {0xD7FF, 0x0100D7FF},   {0xD800, 0},
        {0xDFFF, 0}, {0xE000, 0x0100E000}, {0x10FFFF, 0x0110FFFF}, {0x110000, 0}};
    for (const auto& [cp, keysym] : edges)
        EXPECT_EQ(keysymForCodePoint(cp), keysym) << uint32_t(cp);
}

} // namespace
} // namespace pointrelay::input
