// SPDX-License-Identifier: MIT
// What a relative route receives for the input layer's events (through a recording backend),
// the bound on what waits for a slow desktop, which routes are tried where, and which keysyms
// a desktop's keymap counts as typable.
#include "input/input_route.h"
#include "input/linux/descriptor_io.h"
#include "input/linux/proc_accessibility.h"
#include "input/linux/relative_event_sink.h"
#include "input/linux/xkb_keymap.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <csignal>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <xkbcommon/xkbcommon-keysyms.h>

namespace pointrelay::input {
namespace {

using Lines = std::vector<std::string>;

// A backend that starts once told to, and records what it is asked to do (only the sink's
// worker thread calls).
struct RecordingBackend final : InjectionBackend {
    explicit RecordingBackend(std::shared_future<bool> when) : ready(std::move(when)) {}
    std::string_view name() const override { return "Test route"; }
    bool start() override { return ready.get(); }
    void motion(double dx, double dy) override { add("motion", dx, dy); }
    void button(MouseButton b, bool down) override {
        add(b == MouseButton::Left ? "left" : "right", down);
    }
    void wheel(int v, int h) override { add("wheel", v, h); }
    void key(Keysym keysym, bool down) override { add("key", keysym, down); }
    void text(std::u32string_view text) override {
        add("text", ::testing::PrintToString(std::vector<uint32_t>(text.begin(), text.end())));
    }
    template <typename... Values>
    void add(const char* what, const Values&... values) {
        std::ostringstream call;
        call << what;
        ((call << " " << values), ...);
        calls.push_back(call.str());
    }
    Lines calls;
    std::shared_future<bool> ready;
};

struct Route {
    std::promise<bool> ready;
    RecordingBackend* backend = new RecordingBackend(ready.get_future().share());
    RelativeEventSink sink{std::unique_ptr<InjectionBackend>(backend)};
    Lines calls() {
        EXPECT_TRUE(sink.waitUntilIdle(std::chrono::seconds(5)));
        return backend->calls;
    }
};

TEST(RelativeEventSink, TurnsPositionsCombinationsAndWheelPixelsIntoRelativeEvents) {
    Route route; // everything queued before the route starts: moves in a row merge
    EventSink& sink = route.sink;
    sink.warpPointer({3, -3});
    sink.warpPointer({3, -3}); // no distance, no motion
    sink.postMouse({MouseEventType::LeftDown, {10, 10}, MouseButton::Left, 1});
    sink.postMouse({MouseEventType::LeftDragged, {10, 10}, MouseButton::Left, std::nullopt});
    sink.postMouse({MouseEventType::RightUp, {10, 10}, MouseButton::Right, std::nullopt});
    EXPECT_EQ(sink.pointerLocation(), (Point{10, 10}));
    for (const double pixels : {20.0, 20.0, -50.0, 9000.0})
        sink.postScroll({0, 0, true, pixels, -pixels});
    for (const bool down : {true, false})
        sink.postKey({8, down, flags::kCommand | flags::kShift, std::nullopt, Tap::Session});
    sink.postKey({0x3F, true, std::nullopt, std::nullopt, Tap::Hid}); // Fn: no keysym
    sink.postKey({0, true, std::nullopt, u"a\n\u0007\xD83D\xDE00", Tap::Session});
    sink.postKey({0, false, std::nullopt, u"a", Tap::Session});
    EXPECT_EQ(sink.postAuxKey(1, AuxKeyType::Mute, true), 0);
    route.ready.set_value(true);
    const auto key = [](Keysym keysym, bool down) {
        return "key " + std::to_string(keysym) + (down ? " 1" : " 0");
    };
    EXPECT_EQ(
        route.calls(),
        (Lines{"motion 10 10", "left 1", "right 0", "wheel 1 -1", "wheel -1 1", "wheel 100 -100",
               key(XKB_KEY_Control_L, true), key(XKB_KEY_Shift_L, true), key(XKB_KEY_c, true),
               key(XKB_KEY_c, false), key(XKB_KEY_Shift_L, false), key(XKB_KEY_Control_L, false),
               "text { 97, 10, 128512 }", key(XKB_KEY_XF86AudioMute, true)}));
}

// A desktop that does not take events (a consent dialog open, say) holds no session: moves
// merge, presses beyond the bound are dropped and logged, releases are always kept.
TEST(RelativeEventSink, WhatWaitsForASlowDesktopIsBounded) {
    test::LogCapture log;
    Route route;
    for (size_t i = 0; i < RelativeEventSink::kMaxQueued + 10; ++i) {
        route.sink.warpPointer({double(i), 0});
        route.sink.postMouse({MouseEventType::LeftDown, {double(i), 0}, MouseButton::Left, 1});
    }
    route.sink.postMouse({MouseEventType::LeftUp, {0, 0}, MouseButton::Left, 1});
    EXPECT_TRUE(log.waitFor("Input: Test route is not keeping up"));
    route.ready.set_value(true);
    const Lines calls = route.calls();
    EXPECT_LE(calls.size(), RelativeEventSink::kMaxQueued + 1);
    EXPECT_EQ(calls.back(), "left 0");
}

TEST(InputRoute, WaylandRoutesFirstInAWaylandSessionAndAForcedOneAlone) {
    using enum InputRoute;
    EXPECT_EQ(routesToTry("wayland-0", std::nullopt),
              (std::vector{wlroots, kwin, libei, gnome, portal, x11}));
    EXPECT_EQ(routesToTry("", std::nullopt), std::vector{x11});
    EXPECT_EQ(routesToTry(nullptr, std::nullopt), std::vector{x11});
    EXPECT_EQ(routesToTry("wayland-0", routeNamed("x11")), std::vector{x11});
    EXPECT_EQ(routesToTry(nullptr, routeNamed("null")), std::vector{none});
    for (const auto route : {wlroots, kwin, libei, gnome, portal, x11, none})
        EXPECT_EQ(routeNamed(routeName(route)), route);
    EXPECT_FALSE(routeNamed("XTest"));
}

// Without a modifier or with Shift only: "€", AltGr+E on a German keyboard, is not typable by
// key (GNOME pastes it).
TEST(XkbKeymap, OnlyTheUnshiftedAndShiftedLevelsCount) {
    const auto de = XkbKeymap::fromText(
        "xkb_keymap { xkb_keycodes { include \"evdev\" }; xkb_types { include \"complete\" }; "
        "xkb_compat { include \"complete\" }; xkb_symbols { include \"pc+de\" }; };");
    ASSERT_TRUE(de);
    EXPECT_TRUE(de->find(XKB_KEY_Z)->level == 1 && !de->find(XKB_KEY_EuroSign));
    // Pressed by code, as libei and KWin take keys: Shift around the second level only.
    std::vector<std::pair<uint32_t, bool>> keys;
    const auto key = [&](uint32_t code, bool down) { keys.emplace_back(code, down); };
    for (const bool down : {true, false})
        EXPECT_TRUE(de->press(XKB_KEY_Z, down, key) && de->press(XKB_KEY_y, down, key));
    EXPECT_FALSE(de->press(XKB_KEY_EuroSign, true, key));
    EXPECT_EQ(keys, (decltype(keys){{KEY_LEFTSHIFT, true},
                                    {KEY_Y, true},
                                    {KEY_Z, true},
                                    {KEY_Y, false},
                                    {KEY_LEFTSHIFT, false},
                                    {KEY_Z, false}}));
}

// A clipboard transfer larger than a pipe holds is written whole while the reader reads, and read
// exactly up to its limit. A read whose writer never ends, and a write nobody reads, give up at
// their deadlines instead of holding the route; a write whose reader went gives up at once.
TEST(DescriptorIo, TransfersAreWholeAndBoundedAndEndByTheirDeadlines) {
    using namespace std::chrono_literals;
    std::signal(SIGPIPE, SIG_IGN); // as the daemon has it
    const auto in = [](auto time) { return std::chrono::steady_clock::now() + time; };
    for (const size_t size : {100000u, 100001u}) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        std::thread writer([&] {
            EXPECT_TRUE(writeAll(fds[1], std::string(size, 'x'), in(10s)));
            ::close(fds[1]);
        });
        const auto read = readAll(fds[0], 100000, in(10s));
        ::close(fds[0]);
        writer.join();
        EXPECT_EQ(read, size == 100000 ? std::optional(std::string(size, 'x')) : std::nullopt);
    }
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    EXPECT_EQ(readAll(fds[0], 10, in(50ms)), std::nullopt); // the writer's end stays open
    EXPECT_FALSE(writeAll(fds[1], std::string(1 << 20, 'x'), in(50ms)));
    ::close(fds[0]);
    EXPECT_FALSE(writeAll(fds[1], "x", in(10s)));
    ::close(fds[1]);
}

// The Focus toggle finds a process by the name in its comm file, skipping what is no process.
TEST(ProcAccessibility, FindsAProcessByItsNameOnly) {
    test::TempDir proc;
    for (const auto& [entry, name] : {std::pair{"7", "other"},
                                      {"12", "ControlCenter"},
                                      {"self", "ControlCenter"},
                                      {"15", nullptr}}) {
        std::filesystem::create_directory(proc.path() / entry);
        if (name)
            std::ofstream(proc.path() / entry / "comm") << name << "\n";
    }
    const auto ax = createProcAccessibility(proc.path());
    EXPECT_EQ(ax->findProcessIdByName("ControlCenter"), 12);
    EXPECT_EQ(ax->findProcessIdByName(""), std::nullopt);
    EXPECT_EQ(ax->findProcessIdByName("missing"), std::nullopt);
}

} // namespace
} // namespace pointrelay::input
