// SPDX-License-Identifier: MIT
// A phone client types into the focused window of a real X server through pointrelayd (run
// under Xvfb, tests/scripts/with_xvfb.sh); the X11 sink's own tests check each event kind.
#include "daemon/input/x11/test_window.h"
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/temp_dir.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <atomic>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace pointrelay {
namespace {

// A phone keyboard sends a frame per keystroke: 200 of them, ASCII, accented, CJK and emoji,
// plain and sealed, arrive complete and in order with Shift and Caps Lock held on the real
// keyboard, while a second phone moves the pointer meanwhile.
TEST(DaemonOnX11, KeystrokesArriveCompleteAndInOrderWhileAnotherPhoneMoves) {
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr) << "DISPLAY must name a running X server";
    test::TestWindow window;
    test::TempDir state;
    const uint16_t port = test::freePort();
    test::DaemonProcess daemon({POINTRELAYD_PATH, "--no-mdns", "--port", std::to_string(port)},
                               {{"XDG_STATE_HOME", state.path().string()}});
    ASSERT_TRUE(daemon.waitFor("Listening on port"));
    EXPECT_EQ(daemon.count("[C++] Input: X11 (XTest)\n"), 1u) << daemon.output();
    client::PhoneClient phone, mover;
    for (auto* client : {&phone, &mover})
        ASSERT_TRUE(client->connect("127.0.0.1", port) &&
                    client->handshake("set-a-real-psk-here-00"));

    std::vector<std::string> pool; // ASCII, accented, CJK and emoji
    std::istringstream keys(
        "a|Z|7| |\xC3\xA9|\xC3\x9F|\xE2\x9C\x93|\xE6\x97\xA5|\xE8\xAA\x9E|\xF0\x9F\x98\x80");
    for (std::string key; std::getline(keys, key, '|');)
        pool.push_back(key);
    const auto fake = [&](KeySym key, bool down) {
        XTestFakeKeyEvent(display, XKeysymToKeycode(display, key), down, CurrentTime);
    };
    fake(XK_Shift_L, true); // held, and Caps Lock on
    fake(XK_Caps_Lock, true);
    fake(XK_Caps_Lock, false);
    XSync(display, False);
    std::atomic<bool> typing{true};
    std::thread moving([&] {
        for (int i = 0; typing; ++i)
            mover.sendMove(static_cast<int16_t>(i % 2 ? 1 : -1), 0);
    });
    std::string expected;
    for (size_t i = 0; i < 200; ++i) {
        const std::string& key = pool[(i * 7 + i / 10) % pool.size()];
        expected += key;
        ASSERT_TRUE(i % 2 ? phone.sendText(key) : phone.sendSealedText(key));
    }
    std::vector<uint8_t> body; // every frame sent so far has been handled once the PONG is back
    ASSERT_TRUE(phone.sendPing());
    while (phone.recvFrame(body, 3000) && body != std::vector<uint8_t>{0xFF}) {
    }
    typing = false;
    moving.join();
    const std::string typed = window.takeText();
    fake(XK_Caps_Lock, true);
    fake(XK_Caps_Lock, false);
    fake(XK_Shift_L, false);
    XCloseDisplay(display);
    EXPECT_EQ(typed, expected);
}

} // namespace
} // namespace pointrelay
