// SPDX-License-Identifier: MIT
// The input layer's logic through a recording sink (events, pauses and log lines in one
// timeline): the text-command vocabulary and its acknowledgements, key timing, the field
// readers, UTF-8, pointer gains, drags and click counting, the Mac function keys, and the
// bound on sessions inside the input layer.
#include "core/frame.h"
#include "input/input_gate.h"
#include "input/recovering_event_sink.h"
#include "input/system_actions.h"
#include "input/text_commands.h"
#include "support/log_capture.h"
#include "support/recording_sink.h"
#include "support/socket_pair.h"

#include <cmath>
#include <gtest/gtest.h>
#include <sstream>

namespace pointrelay::input {
namespace {

using Lines = std::vector<std::string>;

// What a timeline amounts to: key presses ("K", or "K/FLAGS"), auxiliary key presses
// ("auxTYPE") and log lines, but for the parse and combination lines, joined by '|'.
std::string summary(const Lines& timeline) {
    std::string out;
    for (const std::string& entry : timeline) {
        std::string item;
        if (entry.starts_with("key ") && entry.find(" down") != std::string::npos) {
            item = entry.substr(4, entry.find(' ', 4) - 4);
            if (const size_t flags = entry.find("flags="); flags != std::string::npos)
                item += "/" + entry.substr(flags + 6);
        } else if (entry.starts_with("aux ") && entry.ends_with("0A00")) {
            item =
                "aux" + std::to_string(std::stoi(entry.substr(entry.size() - 8, 4), nullptr, 16));
        } else if (entry.starts_with("log ") && !entry.starts_with("log [SYS] parsed") &&
                   !entry.starts_with("log [KEY] combo(")) {
            item = entry.substr(4);
        }
        if (!item.empty())
            out += (out.empty() ? "" : "|") + item;
    }
    return out;
}

class CommandsTest : public ::testing::Test {
protected:
    static std::string sys(std::string rest) { return R"({"type":"sys","action":)" + rest + '}'; }
    Lines run(std::string_view message) {
        sink.take();
        commands.handleTextMessage(link.reader(), message);
        return sink.take();
    }
    test::SocketPair link;
    test::RecordingSink sink;
    PointerInjector pointer{sink, sink};
    Keyboard keyboard{sink, sink};
    SystemActions system{sink, sink, keyboard, [this] { sink.sleepMicros(-1); }};
    TextCommands commands{pointer, keyboard, system, sink};
};

TEST_F(CommandsTest, SystemVocabulary) {
    // Actions without fields, each as "action=summary" (an empty one when nothing is pressed).
    std::istringstream plain(
        "delete=51 enter=36 enterPad=76 escape=53 home=115 end=119 pageUp=116 pageDown=121 "
        "deleteForward=117 copy=8/0x100000 paste=9/0x100000 cut=55|7 undo=55|6 redo=55|56|6 "
        "find=55|3 selectAll=55|0 refresh=55|15 save=55|1 newTab=55|17 closeTab=55|13 "
        "fullscreen=3/0x140000 focusURL=37/0x100000 toggleDock=2/0x180000 "
        "reopenTab=17/0x120000 emojiPicker=49/0x140000 shiftArrow=56|126 tab=48 Copy= =");
    for (std::string row; plain >> row;) {
        const size_t at = row.find('=');
        EXPECT_EQ(summary(run(sys('"' + row.substr(0, at) + '"'))), row.substr(at + 1)) << row;
    }
    const std::pair<std::string, std::string> rows[] = {
        {R"("switchSpace","dir":-1)", "[SYS] switchSpace HID dir=-1|59|123"},
        {R"("switchSpace","dir":"x")", "[SYS] switchSpace HID dir=+1|59|124"},
        {R"("missionControl")", "[SYS] missionControl HID (Ctrl+Up)|59|126"},
        {R"("appExpose")", "[SYS] appExpose HID (Ctrl+Down)|59|125"},
        {R"("shiftArrow","dir":"left")", "56|123"},
        {R"("space")", "49|[KEY] press: Space"},
        {R"("fkey","n":12)", "111|[KEY] press: F12"},
        {R"("fkey","n":1)", "122|[KEY] press: F1"},
        {R"("fkey","n":13)", "[KEY] fkey: invalid n=13"},
        {R"("fkey","n":-3)", "[KEY] fkey: invalid n=-3"},
        {R"("macFKey","n":0)", "[KEY] macFKey: n=0|[KEY] macFKey: invalid n=0"},
        // Modifiers held in order around one key, each by name; anything unknown is refused.
        {R"("combo","mods":["ctrl", "shift","alt","super"],"key":"t")", "59|56|58|112|17"},
        {R"("combo","mods":[],"key":"f12")", "111"},
        {R"("combo","key":"pagedown","mods":["super"])", "112|121"},
        {R"("combo","mods":["ctrl"],"key":"T")", "[KEY] combo: unknown key T"},
        {R"("combo","mods":["meta"],"key":"t")", "[KEY] combo: unknown modifier meta"},
        {R"("combo","mods":"ctrl","key":"t")",
         "[KEY] combo: mods is not a list of at most 4 names"},
        {R"("combo","mods":["a\"b"],"key":"t")",
         "[KEY] combo: mods is not a list of at most 4 names"},
        {R"("combo","mods":["ctrl","ctrl","ctrl","ctrl","ctrl"],"key":"t")",
         "[KEY] combo: mods is not a list of at most 4 names"}};
    for (const auto& [fields, expected] : rows)
        EXPECT_EQ(summary(run(sys(fields))), expected) << fields;
    for (const auto& [dir, key] :
         {std::pair{"up", "126"}, {"down", "125"}, {"left", "123"}, {"right", "124"}, {"back", ""}})
        EXPECT_EQ(summary(run(sys(R"("arrow","dir":")" + std::string(dir) + '"'))), key) << dir;

    // Each pause in its place: combinations step 1.5 ms, flags-style keys are held 8 ms.
    EXPECT_EQ(run(sys(R"("redo","dir":-1)")),
              (Lines{"log [SYS] parsed action=redo dir=-1", "key 55 down hid", "sleep 1500",
                     "key 56 down hid", "sleep 1500", "key 6 down hid", "sleep 1500",
                     "key 6 up hid", "sleep 1500", "key 56 up hid", "sleep 1500", "key 55 up hid",
                     "sleep 1500", "log [KEY] combo(HID): mods=2 key=6"}));
    EXPECT_EQ(
        run(sys(R"("switchSpace")")),
        (Lines{"log [SYS] parsed action=switchSpace dir=0", "log [SYS] switchSpace HID dir=+1",
               "key 59 down hid", "sleep 1500", "key 124 down hid", "sleep 1500", "key 124 up hid",
               "sleep 1500", "key 59 up hid", "log [KEY] combo(HID): Ctrl + key=124"}));
    EXPECT_EQ(run(sys(R"("copy")")),
              (Lines{"log [SYS] parsed action=copy dir=0", "key 8 down session flags=0x100000",
                     "sleep 8000", "key 8 up session flags=0x100000",
                     "log [KEY] combo(FLAGS): \u2318+8"}));
    EXPECT_EQ(run(sys(R"("fkey","n":2)")),
              (Lines{"log [SYS] parsed action=fkey dir=0", "key 120 down hid", "sleep 1500",
                     "key 120 up hid", "sleep 6000", "log [KEY] press: F2"}));
    EXPECT_EQ(run(R"({"type":"sys"})"), Lines{"log [SYS] parsed action= dir=0"});
    // The phone's text cannot start a log line of its own.
    EXPECT_EQ(run(sys("\"x\nSTAT move=1\"")),
              Lines{"log [SYS] parsed action=x\\x0ASTAT move=1 dir=0"});
}

TEST_F(CommandsTest, TextPointerCommandsAndAcknowledgements) {
    for (const std::string_view text : {"hello", "{}", R"( {"type":"move"})", ""}) {
        const std::string typed = " session text[" + std::to_string(text.size()) + "]";
        EXPECT_EQ(run(text), (Lines{"key 0 down" + typed, "key 0 up" + typed})) << text;
    }
    // Invalid UTF-8 types nothing; unknown types (and a type written with a blank) are dropped.
    for (const char* dropped :
         {"bad \xC3(", R"({"type":"key","key":"a"})", R"({"type": "move","dx":2})"})
        EXPECT_EQ(run(dropped), Lines{}) << dropped;
    EXPECT_EQ(run(R"({"type":"move","dx":2,"dy":-1})"), (Lines{"warp 6,-3", "mouse moved@6,-3 L"}));
    EXPECT_EQ(run(R"({"type":"move","dy":"4"})"), (Lines{"warp 6,9", "mouse moved@6,9 L"}));
    EXPECT_EQ(run(R"({"type":"scroll","dx":0,"dy":1})"), Lines{"scroll 40,0"});
    EXPECT_EQ(run(R"({"type":"click","button":"right","down":true})"),
              Lines{"mouse rightDown@6,9 R"});
    EXPECT_EQ(run(R"({"type":"click","button":"Right","down": "true"})"),
              Lines{"mouse leftDown@6,9 L click=1"});
    EXPECT_EQ(run(R"({"type":"click","down":1})"), Lines{"mouse leftUp@6,9 L click=1"});
    // The earlier rule wins when a message holds two type patterns; the right button is still
    // held from above, so the move is a drag.
    EXPECT_EQ(run(R"({"type":"sys","type":"move"})"),
              (Lines{"warp 6,9", "mouse rightDragged@6,9 R"}));

    for (const char* action : {"copy", "cut", "paste"})
        run(sys('"' + std::string(action) + '"'));
    std::string acks;
    for (std::vector<uint8_t> body; core::recvFrame(link.writer(), body, 10);)
        acks.append(body.begin(), body.end()).append("\n");
    EXPECT_EQ(acks, "\x10{\"type\":\"ack\",\"payload\":{\"action\":\"copy\",\"ok\":true}}\n"
                    "\x10{\"type\":\"ack\",\"payload\":{\"action\":\"paste\",\"ok\":true}}\n");
}

TEST(FieldReaders, FollowTheFirstOccurrenceOfTheKeyAndUtf8IsStrict) {
    // The number readers: 0x1A is not a JSON number; a key is found also as a value.
    const auto dx = [](const char* json) { return findNumberField(json, "\"dx\""); };
    const auto n = [](const char* json) { return findIntField(json, "\"n\""); };
    EXPECT_EQ((std::vector{dx(R"({"dx":1.5.2})"), dx(R"({"dx": "-2e1"})"), dx(R"({"dx":1e999})"),
                           dx(R"({"dx":0x1A})")}),
              (std::vector{1.5, -20.0, 0.0, 0.0}));
    EXPECT_EQ(
        (std::vector{n(R"({"n":"12"})"), n(R"({"n":2147483647})"), n(R"({"n":2147483648})"),
                     n(R"({"n":-3.9})"), findIntField(R"({"hint":"dir","x":-1})", "\"dir\"")}),
        (std::vector{12, 2147483647, 0, -3, -1}));
    EXPECT_EQ(findStringField(R"({"action":"co\"py"})", "\"action\""), "co\\");
    EXPECT_EQ(findStringField(R"({"dir":5,"next":"left"})", "\"dir\""), "next");
    EXPECT_EQ(findStringField(R"({"dir":"left)", "\"dir\""), "");
    EXPECT_FALSE(findDownFlag(R"({"down":True})"));

    EXPECT_EQ(utf8ToUtf16("h\xC3\xA9llo \xE2\x9C\x93\xF0\x9F\x98\x80"),
              std::u16string(u"h\u00E9llo \u2713\xD83D\xDE00"));
    for (const char* bad : {"\xC3", "\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xF0\x82\x82\xAC",
                            "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "a\xFF"})
        EXPECT_FALSE(utf8ToUtf16(bad)) << bad;
}

TEST_F(CommandsTest, PointerGainsDragsAndClickCounting) {
    sink.location = {100, 100};
    pointer.injectMove(1, -1);
    pointer.injectMove(0.5, -0.5);           // ±1.5 rounds away from zero
    pointer.injectMove(std::nan(""), 1e300); // nothing undefined with extremes
    pointer.injectScroll(0, -0.0125);        // -0.5 pixels rounds away from zero
    EXPECT_EQ(sink.scrolls.back(), (ScrollEvent{-1, 0, true, -0.5, 0.0}));
    const Lines moves = sink.take();
    EXPECT_EQ(
        Lines(moves.begin(), moves.begin() + 4),
        (Lines{"warp 103,97", "mouse moved@103,97 L", "warp 105,95", "mouse moved@105,95 L"}));

    sink.location = {105, 95};
    pointer.injectButton(false, true);
    pointer.injectMove(1, 0);
    pointer.injectButton(true, true); // both held: the left button wins
    pointer.injectMove(1, 0);
    pointer.injectButton(true, false);
    pointer.injectButton(false, false);
    const Lines drags = sink.take();
    EXPECT_EQ(drags[2], "mouse rightDragged@108,95 R");
    EXPECT_EQ(drags[5], "mouse leftDragged@111,95 L");

    const auto press = [&](double at, double x) {
        sink.now = at;
        sink.location = {x, 0};
        pointer.injectButton(true, true);
        pointer.injectButton(true, false);
        return sink.take().front();
    };
    EXPECT_EQ(press(10.0, 0), "mouse leftDown@0,0 L click=1");
    EXPECT_EQ(press(10.4, 3), "mouse leftDown@3,0 L click=2"); // within 0.5 s and 4 points
    EXPECT_EQ(press(10.8, 3), "mouse leftDown@3,0 L click=2"); // never 3
    EXPECT_EQ(press(11.4, 3), "mouse leftDown@3,0 L click=1"); // 0.6 s later
    EXPECT_EQ(press(11.5, 8), "mouse leftDown@8,0 L click=1"); // 5 points away
    pointer.clickAt(10.5, 20); // an absolute click leaves the series alone
    EXPECT_EQ(sink.take(),
              (Lines{"mouse leftDown@10.5,20 L", "sleep 8000", "mouse leftUp@10.5,20 L"}));
    EXPECT_EQ(press(11.9, 8), "mouse leftDown@8,0 L click=2");
}

TEST_F(CommandsTest, MacFunctionKeysAndTheAuxiliaryKeyService) {
    const auto fkey = [&](int n) { return run(sys(R"("macFKey","n":)" + std::to_string(n))); };
    sink.hidOpens = {{false, 0, 0}, {true, -536870201, 0}}; // failures, retried by every key
    EXPECT_EQ(summary(fkey(12)),
              "[KEY] macFKey: n=12|[SYS] volumeUp AUX|[SYS] IOHIDSystem not found");
    EXPECT_EQ(summary(fkey(11)),
              "[KEY] macFKey: n=11|[SYS] volumeDown AUX|[SYS] IOHIDSystem open failed: -536870201");
    EXPECT_EQ(fkey(1),
              (Lines{"log [SYS] parsed action=macFKey dir=0", "log [KEY] macFKey: n=1",
                     "log [SYS] brightnessDown AUX", "hid open", "aux conn=42 data1=0x00030A00",
                     "sleep 1500", "aux conn=42 data1=0x00030B00"}));
    // The service is kept from then on. Keys 2 to 12 but 6 (below), as "action|summary".
    std::istringstream keys(
        "brightnessUp AUX|aux2;missionControl HID (Ctrl+Up)|59|126;spotlight HID (Cmd+Space)|"
        "49/0x100000;dictation HID (Fn+D)|2/0x800000;rewind AUX|aux20;playPause AUX|aux16;"
        "fastForward AUX|aux19;mute AUX|aux7;volumeDown AUX|aux1;volumeUp AUX|aux0");
    std::string expected;
    for (int n = 2; std::getline(keys, expected, ';'); n += n == 5 ? 2 : 1)
        EXPECT_EQ(summary(fkey(n)), "[KEY] macFKey: n=" + std::to_string(n) + "|[SYS] " + expected);
    EXPECT_EQ(fkey(6).back(), "sleep -1"); // the Focus toggle
    EXPECT_EQ(summary(fkey(13)), "[KEY] macFKey: n=13|[KEY] macFKey: invalid n=13");
}

// Beyond its capacity the gate drops events and counts them in the log, once a second;
// releases always go in, and a pass leaves when its scope ends.
TEST(InputGate, DropsBeyondItsCapacityButNeverARelease) {
    test::LogCapture log;
    InputGate gate(2);
    // Full after two: the third is dropped and reported at once, a release still goes in, and
    // the next drop within the second is counted, not yet reported.
    EXPECT_EQ((std::vector{gate.enter(false), gate.enter(false), gate.enter(false),
                           gate.enter(true), gate.enter(false)}),
              (std::vector{true, true, false, true, false}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "[C++] Input: the desktop is not keeping up, 1 events dropped"}));
    gate.leave(), gate.leave();
    EXPECT_TRUE(gate.enter(false)); // room again
    gate.leave(), gate.leave();
    { GatePass pass(gate, false); }
    GatePass first(gate, false), second(gate, false), third(gate, false);
    EXPECT_TRUE(first && second && !third);
}

// A route whose desktop can go: it counts the moves that reach it.
struct VanishingSink final : EventSink {
    explicit VanishingSink(std::atomic<int>& moves) : moves(moves) {}
    Point pointerLocation() override { return {}; }
    void warpPointer(Point) override { ++moves; }
    void postMouse(const MouseEvent&) override {}
    void postScroll(const ScrollEvent&) override {}
    void postKey(const KeyEvent&) override {}
    HidOpenResult openHidSystem() override { return {}; }
    int32_t postAuxKey(uint32_t, AuxKeyType, bool) override { return 0; }
    bool gone() override { return vanished; }
    std::atomic<int>& moves;
    std::atomic<bool> vanished = false;
};

TEST(RecoveringEventSink, DropsEventsWhileTheDesktopIsGoneAndReopensTheRoute) {
    test::LogCapture log;
    std::atomic<int> before = 0, after = 0, opens = 0;
    auto first = std::make_unique<VanishingSink>(before);
    VanishingSink* desktop = first.get();
    // The desktop is not back for two tries.
    RecoveringEventSink sink(std::move(first), "Test route", [&]() -> std::unique_ptr<EventSink> {
        return ++opens < 3 ? nullptr : std::make_unique<VanishingSink>(after);
    });
    sink.warpPointer({1, 1});
    EXPECT_FALSE(sink.gone());
    desktop->vanished = true; // the sink goes with the next look at it
    ASSERT_TRUE(log.waitFor("Input: Test route has gone, events are dropped until it is back"));
    sink.warpPointer({2, 2});
    ASSERT_TRUE(log.waitFor("Input: Test route is back"));
    sink.warpPointer({3, 3});
    EXPECT_EQ((std::tuple{before.load(), after.load(), opens.load(), log.count("has gone")}),
              std::tuple(1, 1, 3, size_t{1}));
}

} // namespace
} // namespace pointrelay::input
