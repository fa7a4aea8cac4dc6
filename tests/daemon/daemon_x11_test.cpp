// SPDX-License-Identifier: MIT
// A phone client drives the real X pointer and keyboard through pointrelayd (run under Xvfb).
#include "daemon/input/x11/test_window.h"
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/temp_dir.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace pointrelay {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

class DaemonOnX11 : public ::testing::Test {
protected:
    void SetUp() override {
        m_display = XOpenDisplay(nullptr);
        ASSERT_NE(m_display, nullptr) << "DISPLAY must name a running X server";
        port = test::freePort();
        m_daemon = std::make_unique<test::DaemonProcess>(
            std::vector<std::string>{POINTRELAYD_PATH, "--no-mdns", "--port", std::to_string(port)},
            std::map<std::string, std::string>{{"XDG_STATE_HOME", m_state.path().string()}});
        ASSERT_TRUE(m_daemon->waitFor("Listening on port"));
        EXPECT_EQ(m_daemon->count("no window system"), 0u);
        ASSERT_TRUE(phone.connect("127.0.0.1", port));
        ASSERT_TRUE(phone.handshake("set-a-real-psk-here-00"));
    }
    void TearDown() override {
        if (m_display)
            XCloseDisplay(m_display);
    }

    // Every frame sent so far has been handled once the PONG is back.
    void sync() {
        ASSERT_TRUE(phone.sendPing());
        std::vector<uint8_t> body;
        while (phone.recvFrame(body, 3000) && body != std::vector<uint8_t>{0xFF}) {
        }
    }
    std::pair<int, int> pointer() {
        Window root, child;
        int x = 0, y = 0, wx, wy;
        unsigned int mask;
        XQueryPointer(m_display, DefaultRootWindow(m_display), &root, &child, &x, &y, &wx, &wy,
                      &mask);
        return {x, y};
    }
    void placePointer(int x, int y) {
        XTestFakeMotionEvent(m_display, -1, x, y, CurrentTime);
        XSync(m_display, False);
    }
    static bool has(const Lines& lines, const std::string& prefix) {
        for (const auto& line : lines)
            if (line.rfind(prefix, 0) == 0)
                return true;
        return false;
    }

    test::TestWindow window;
    client::PhoneClient phone;
    uint16_t port = 0;

private:
    Display* m_display = nullptr;
    test::TempDir m_state;
    std::unique_ptr<test::DaemonProcess> m_daemon;
};

TEST_F(DaemonOnX11, MovesDragsAndScrollsReachTheServer) {
    placePointer(200, 200);
    window.take();
    ASSERT_TRUE(phone.sendMove(1, -1));
    sync();
    EXPECT_EQ(pointer(), std::make_pair(203, 197));

    ASSERT_TRUE(phone.sendClick(0, true));
    ASSERT_TRUE(phone.sendMove(10, 10));
    ASSERT_TRUE(phone.sendClick(0, false));
    sync();
    const Lines drag = window.take();
    EXPECT_TRUE(has(drag, "button 1 @203,197")) << ::testing::PrintToString(drag);
    EXPECT_TRUE(has(drag, "move @233,227 b1")) << ::testing::PrintToString(drag);
    EXPECT_TRUE(has(drag, "button-up 1 @233,227 b1")) << ::testing::PrintToString(drag);

    ASSERT_TRUE(phone.sendScroll(0, 1));  // 40 pixels up: one wheel step up
    ASSERT_TRUE(phone.sendScroll(0, -2)); // 80 pixels down: two steps down
    sync();
    const Lines wheel = window.take();
    Lines presses;
    for (const auto& line : wheel)
        if (line.rfind("button ", 0) == 0)
            presses.push_back(line.substr(0, 8));
    EXPECT_EQ(presses, (Lines{"button 4", "button 5", "button 5"}));
}

TEST_F(DaemonOnX11, TextAndCommandsArriveAsKeys) {
    window.take();
    ASSERT_TRUE(phone.sendText("h\xC3\xA9llo \xE2\x9C\x93"));
    ASSERT_TRUE(phone.sendSealedText("\xF0\x9F\x98\x80")); // outside the BMP, sealed
    sync();
    window.take();
    EXPECT_EQ(window.takeText(), "h\xC3\xA9llo \xE2\x9C\x93\xF0\x9F\x98\x80");

    ASSERT_TRUE(phone.sendText(R"({"type":"sys","action":"copy"})"));
    std::vector<uint8_t> ack;
    ASSERT_TRUE(phone.recvFrame(ack, 3000));
    EXPECT_EQ(ack.front(), 0x10);
    sync();
    EXPECT_TRUE(has(window.take(), "key c ctrl"));
}

// A phone keyboard sends a frame per keystroke: 200 of them, ASCII, accented, CJK and emoji,
// arrive complete and in order, with Shift and Caps Lock held on the real keyboard, while a
// second phone moves the pointer meanwhile.
TEST_F(DaemonOnX11, KeystrokesArriveCompleteAndInOrderWhileAnotherPhoneMoves) {
    const std::vector<std::string> pool = {"a",
                                           "Z",
                                           "7",
                                           " ",
                                           "\xC3\xA9",
                                           "\xC3\x9F",
                                           "\xE2\x9C\x93",
                                           "\xE6\x97\xA5",
                                           "\xE8\xAA\x9E",
                                           "\xF0\x9F\x98\x80"};
    std::string expected;
    for (size_t i = 0; i < 200; ++i)
        expected += pool[(i * 7 + i / 10) % pool.size()];
    window.take();
    Display* keyboard = XOpenDisplay(nullptr);
    for (const KeySym held : {XK_Shift_L, XK_Caps_Lock}) // held, and Caps Lock on
        XTestFakeKeyEvent(keyboard, XKeysymToKeycode(keyboard, held), True, CurrentTime);
    XTestFakeKeyEvent(keyboard, XKeysymToKeycode(keyboard, XK_Caps_Lock), False, CurrentTime);
    XSync(keyboard, False);
    client::PhoneClient mover;
    ASSERT_TRUE(mover.connect("127.0.0.1", port) && mover.handshake("set-a-real-psk-here-00"));
    std::atomic<bool> typing{true};
    std::thread moving([&] {
        for (int i = 0; typing; ++i)
            mover.sendMove(static_cast<int16_t>(i % 2 ? 1 : -1), 0);
    });
    for (size_t i = 0; i < 200; ++i) {
        const std::string key = pool[(i * 7 + i / 10) % pool.size()];
        ASSERT_TRUE(i % 2 ? phone.sendText(key) : phone.sendSealedText(key));
    }
    sync();
    typing = false;
    moving.join();
    window.take();
    const std::string typed = window.takeText();
    for (const KeySym held : {XK_Caps_Lock, XK_Shift_L})
        XTestFakeKeyEvent(keyboard, XKeysymToKeycode(keyboard, held), held == XK_Caps_Lock,
                          CurrentTime);
    XTestFakeKeyEvent(keyboard, XKeysymToKeycode(keyboard, XK_Caps_Lock), False, CurrentTime);
    XCloseDisplay(keyboard);
    EXPECT_EQ(typed, expected);
}

} // namespace
} // namespace pointrelay
