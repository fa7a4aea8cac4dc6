// SPDX-License-Identifier: MIT
// A phone client drives a Wayland desktop through pointrelayd: run under a headless compositor
// (tests/scripts/with_sway.sh or with_mutter.sh), with a witness client that prints what it
// receives (tests/support/wayland/wayland_witness.cpp). POINTRELAY_EXPECTED_ROUTE names the
// route the daemon must choose there.
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <optional>
#include <set>

namespace pointrelay {
namespace {

using namespace std::chrono_literals;
using test::DaemonProcess;
using test::eventually;
using Lines = std::vector<std::string>;
using Position = std::pair<double, double>;

struct DaemonOnWayland : ::testing::Test {
    void SetUp() override {
        const char* route = std::getenv("POINTRELAY_EXPECTED_ROUTE");
        ASSERT_TRUE(route && std::getenv("WAYLAND_DISPLAY")) << "run under with_sway.sh";
        ASSERT_TRUE(witness->waitFor("ready\n", 10s));
        const uint16_t port = test::freePort();
        daemon = test::startDaemon(port, state.path()); // (its listening line: the X11 tests)
        ASSERT_EQ(daemon->count(std::string("[C++] Input: ") + route + "\n"), 1u)
            << daemon->output();
        ASSERT_TRUE(phone.connect("127.0.0.1", port) && phone.handshake("set-a-real-psk-here-00"));
        // A compositor gives the witness pointer focus only once a pointer exists, and may
        // animate the new window for a moment: nudge until a move arrives at full size.
        bool settled = false;
        for (int i = 0, sign = 1; !settled && i < 20; ++i, sign = -sign) {
            const Position before = position();
            ASSERT_TRUE(phone.sendMove(static_cast<int16_t>(10 * sign), 0));
            settled = eventually([&] { return position() != before; }, 500ms) &&
                      position().first - before.first == 30 * sign;
        }
        ASSERT_TRUE(settled && witness->waitFor("wl_keyboard.enter", 10s)) << witness->output();
    }

    // The last pointer position the witness saw: the last two numbers of a motion or enter.
    Position position() const {
        Position at;
        for (const std::string& line : since(0, {"wl_pointer.motion ", "wl_pointer.enter "})) {
            const size_t y = line.rfind(' '), x = line.rfind(' ', y - 1);
            at = {std::stod(line.substr(x, y - x)), std::stod(line.substr(y))};
        }
        return at;
    }
    // The witness's lines since line `from` that start with one of `prefixes`.
    Lines since(size_t from, std::initializer_list<std::string_view> prefixes) const {
        Lines found, all = witness->lines();
        for (size_t i = from; i < all.size(); ++i)
            if (std::ranges::any_of(prefixes,
                                    [&](auto prefix) { return all[i].starts_with(prefix); }))
                found.push_back(all[i]);
        return found;
    }
    // What the witness has typed and pasted since line `from`, in order.
    std::string typedSince(size_t from) const {
        std::string typed;
        for (const std::string& line : since(from, {"text ", "paste "}))
            typed += line.substr(line.find(' ') + 1);
        return typed;
    }
    size_t mark() const { return witness->lines().size(); }

    test::TempDir state;
    std::optional<DaemonProcess> witness{std::in_place, std::vector<std::string>{WITNESS_PATH}};
    std::unique_ptr<DaemonProcess> daemon;
    client::PhoneClient phone;
};

TEST_F(DaemonOnWayland, PointerButtonsWheelKeysAndTextArriveInANativeClient) {
    // (The set-up saw moves arrive at three times their size.) A held left button turns the
    // move between press and release into a drag.
    size_t from = mark();
    const Position before = position();
    ASSERT_TRUE(phone.sendClick(0, true) && phone.sendMove(10, 10) && phone.sendClick(0, false));
    ASSERT_TRUE(eventually([&] { return since(from, {"wl_pointer.button"}).size() == 2; }));
    Lines drag;
    for (const std::string& line : since(from, {"wl_pointer.button", "wl_pointer.motion"}))
        drag.push_back(line.starts_with("wl_pointer.motion") ? "motion"
                                                             : line.substr(line.size() - 5));
    EXPECT_EQ(drag, (Lines{"272 1", "motion", "272 0"}));
    EXPECT_EQ(position(), Position(before.first + 30, before.second + 30));

    // One step up, then two down: wl_pointer's vertical axis grows downwards.
    from = mark();
    ASSERT_TRUE(phone.sendScroll(0, 1) && phone.sendScroll(0, -2));
    // Steps where the compositor gives them; KWin's fake input gives axis motion only.
    std::vector<double> steps;
    ASSERT_TRUE(eventually([&] {
        steps.clear();
        for (const auto& prefix :
             {"wl_pointer.axis_discrete 0", "wl_pointer.axis_value120 0", "wl_pointer.axis "}) {
            for (const auto& line : since(from, {prefix}))
                if (prefix[15] != ' ' || line.find(" 0 ") == line.rfind(' ') - 2)
                    steps.push_back(std::stod(line.substr(line.rfind(' '))));
            if (!steps.empty())
                break;
        }
        return steps.size() >= 2;
    })) << ::testing::PrintToString(since(from, {"wl_pointer.axis"}));
    EXPECT_TRUE(steps.front() < 0 && steps.back() > 0) << ::testing::PrintToString(steps);
    // A sideways step moves the horizontal axis (1) alone.
    from = mark();
    ASSERT_TRUE(phone.sendScroll(1, 0) && test::pingRoundTrip(phone));
    std::set<std::string> axes;
    ASSERT_TRUE(eventually([&] {
        for (const std::string& line : since(from, {"wl_pointer.axis "})) // TIME AXIS VALUE
            axes.insert(line.substr(line.find(' ', 16) + 1, 1));
        return !axes.empty();
    }));
    EXPECT_EQ(axes, std::set<std::string>{"1"});

    from = mark();
    ASSERT_TRUE(phone.sendText(R"({"type":"sys","action":"copy"})"));
    EXPECT_TRUE(eventually([&] { return std::ranges::count(since(from, {"key "}), "key ctrl c"); }))
        << witness->output();

    // Every character exactly, whatever the keymap has: by key, or through the clipboard.
    const std::string text = "h\xC3\xA9llo \xE2\x9C\x93 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E "
                             "\xF0\x9F\x98\x80";
    from = mark();
    ASSERT_TRUE(phone.sendSealedText(text));
    EXPECT_TRUE(eventually([&] { return typedSince(from) == text; }))
        << typedSince(from) + "\n" + witness->output();
    EXPECT_EQ(since(from, {"text h"}).size(), 1u); // a key of the desktop's keymap: typed
    EXPECT_LE(daemon->count("goes through the clipboard"), 1u); // said once, for three pastes
    // What the witness copied is the clipboard's again once the pastes are done.
    std::string pasted;
    for (int tries = 0; tries < 10 && pasted != "paste witness"; ++tries) {
        from = mark();
        ASSERT_TRUE(phone.sendText(R"({"type":"sys","action":"paste"})"));
        eventually([&] { return !since(from, {"paste"}).empty(); });
        const Lines found = since(from, {"paste"});
        pasted = found.empty() ? "" : found[0];
    }
    EXPECT_EQ(pasted, "paste witness") << witness->output();

    // A phone gone mid-drag leaves no button down: the end of its session releases it.
    from = mark();
    ASSERT_TRUE(phone.sendClick(0, true) && test::pingRoundTrip(phone));
    phone.close();
    EXPECT_TRUE(eventually([&] {
        const Lines buttons = since(from, {"wl_pointer.button"});
        return buttons.size() == 2 && buttons[1].ends_with("272 0");
    })) << witness->output();
}

// A person logging out and in: the compositor ends and a new one starts on the same socket
// (tests/scripts/lib.sh starts it anew). Events meanwhile are dropped; a move sent once the
// new desktop is up reaches it.
TEST_F(DaemonOnWayland, ARestartedCompositorIsReachedAgain) {
    const pid_t old = test::desktopPid();
    ASSERT_TRUE(old != 0 && ::kill(old, SIGTERM) == 0 && witness->waitExit(10s));
    ASSERT_TRUE(phone.sendMove(5, 5) && test::pingRoundTrip(phone)); // dropped, not queued
    ASSERT_TRUE(eventually([&] { return test::desktopPid() != old; }, 10s));
    witness.emplace(std::vector<std::string>{WITNESS_PATH});
    ASSERT_TRUE(witness->waitFor("ready\n", 15s));
    const auto reached = [&] {
        std::this_thread::sleep_for(50ms);
        return phone.sendMove(1, 0) && !since(0, {"wl_pointer.motion "}).empty();
    };
    ASSERT_TRUE(eventually(reached, 15s)) << daemon->output() << witness->output();
    EXPECT_LE(daemon->count("has gone, events are dropped until it is back"), 1u);
}

} // namespace
} // namespace pointrelay
