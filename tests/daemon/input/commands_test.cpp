// SPDX-License-Identifier: MIT
// The input layer's logic through a recording sink (events, pauses and log lines in one
// timeline): the text-command vocabulary and its acknowledgements, the field readers, UTF-8,
// pointer gains, drags and click counting, and the Mac function keys.
#include "core/frame.h"
#include "input/system_actions.h"
#include "input/text_commands.h"
#include "support/recording_sink.h"
#include "support/socket_pair.h"

#include <cmath>
#include <gtest/gtest.h>
#include <sstream>

namespace pointrelay::input {
namespace {

using Lines = std::vector<std::string>;

// The timeline a compact description stands for, items separated by '|':
//   P<k>          key k pressed at the HID tap: down, 1.5 ms, up
//   C<k>          Control+k at the HID tap, with its log line
//   H<m>+<m>:<k>  modifiers m (HID style) around key k, with its log line
//   F<k>:<flags>  one flags-style key pair at the session tap, 8 ms apart
//   anything else a line as it stands ("log ...", "sleep N", ...)
Lines expand(const std::string& description) {
    Lines out;
    const auto key = [](int k, const std::string& how) { return "key " + std::to_string(k) + how; };
    std::istringstream items(description);
    for (std::string item; std::getline(items, item, '|');) {
        const char kind = item.empty() ? ' ' : item[0];
        const std::string rest = item.substr(1);
        if (kind == 'P') {
            out.insert(out.end(), {key(std::stoi(rest), " down hid"), "sleep 1500",
                                   key(std::stoi(rest), " up hid")});
        } else if (kind == 'C') {
            const int k = std::stoi(rest);
            out.insert(out.end(), {"key 59 down hid", "sleep 1500", key(k, " down hid"),
                                   "sleep 1500", key(k, " up hid"), "sleep 1500", "key 59 up hid",
                                   "log [KEY] combo(HID): Ctrl + key=" + rest});
        } else if (kind == 'H') {
            std::vector<int> mods;
            std::istringstream m(rest.substr(0, rest.find(':')));
            for (std::string mod; std::getline(m, mod, '+');)
                mods.push_back(std::stoi(mod));
            const int k = std::stoi(rest.substr(rest.find(':') + 1));
            for (const int mod : mods)
                out.insert(out.end(), {key(mod, " down hid"), "sleep 1500"});
            out.insert(out.end(),
                       {key(k, " down hid"), "sleep 1500", key(k, " up hid"), "sleep 1500"});
            for (auto it = mods.rbegin(); it != mods.rend(); ++it)
                out.insert(out.end(), {key(*it, " up hid"), "sleep 1500"});
            out.push_back("log [KEY] combo(HID): mods=" + std::to_string(mods.size()) +
                          " key=" + std::to_string(k));
        } else if (kind == 'F') {
            const std::string how = " session flags=" + rest.substr(rest.find(':') + 1);
            const int k = std::stoi(rest);
            out.insert(out.end(), {key(k, " down" + how), "sleep 8000", key(k, " up" + how)});
        } else {
            out.push_back(item);
        }
    }
    return out;
}

class CommandsTest : public ::testing::Test {
protected:
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

// Every system command: its keys, pauses and log lines, in order.
TEST_F(CommandsTest, SystemVocabulary) {
    const std::pair<std::string, std::string> rows[] = {
        {R"("switchSpace","dir":-1)", "log [SYS] switchSpace HID dir=-1|C123"},
        {R"("switchSpace")", "log [SYS] switchSpace HID dir=+1|C124"},
        {R"("missionControl")", "log [SYS] missionControl HID (Ctrl+Up)|C126"},
        {R"("appExpose")", "log [SYS] appExpose HID (Ctrl+Down)|C125"},
        {R"("arrow","dir":"up")", "P126"},
        {R"("arrow","dir":"down")", "P125"},
        {R"("arrow","dir":"left")", "P123"},
        {R"("arrow","dir":"right")", "P124"},
        {R"("arrow","dir":"back")", ""},
        {R"("shiftArrow")", "key 56 down hid|sleep 1500|P126|sleep 1500|key 56 up hid"},
        {R"("shiftArrow","dir":"left")",
         "key 56 down hid|sleep 1500|P123|sleep 1500|key 56 up hid"},
        {R"("delete")", "P51"},
        {R"("enter")", "P36"},
        {R"("enterPad")", "P76"},
        {R"("escape")", "P53"},
        {R"("home")", "P115"},
        {R"("end")", "P119"},
        {R"("pageUp")", "P116"},
        {R"("pageDown")", "P121"},
        {R"("deleteForward")", "P117"},
        {R"("space")", "P49|log [KEY] press: Space"},
        {R"("copy")", "F8:0x100000|log [KEY] combo(FLAGS): \u2318+8"},
        {R"("paste")", "F9:0x100000|log [KEY] combo(FLAGS): \u2318+9"},
        {R"("cut")", "H55:7"},
        {R"("undo")", "H55:6"},
        {R"("redo")", "H55+56:6"},
        {R"("find")", "H55:3"},
        {R"("selectAll")", "H55:0"},
        {R"("refresh")", "H55:15"},
        {R"("save")", "H55:1"},
        {R"("newTab")", "H55:17"},
        {R"("closeTab")", "H55:13"},
        {R"("fullscreen")", "F3:0x140000"},
        {R"("focusURL")", "F37:0x100000"},
        {R"("toggleDock")", "F2:0x180000"},
        {R"("reopenTab")", "F17:0x120000"},
        {R"("emojiPicker")", "F49:0x140000"},
        {R"("fkey","n":12)", "P111|sleep 6000|log [KEY] press: F12"},
        {R"("fkey","n":1)", "P122|sleep 6000|log [KEY] press: F1"},
        {R"("fkey","n":13)", "log [KEY] fkey: invalid n=13"},
        {R"("fkey","n":-3)", "log [KEY] fkey: invalid n=-3"},
        {R"("macFKey","n":0)", "log [KEY] macFKey: n=0|log [KEY] macFKey: invalid n=0"},
        {R"("Copy")", ""},
    };
    for (const auto& [fields, timeline] : rows) {
        const std::string message = R"({"type":"sys","action":)" + fields + "}";
        SCOPED_TRACE(message);
        const std::string action = fields.substr(1, fields.find('"', 1) - 1);
        const int dir = fields.find("-1") != std::string::npos ? -1 : 0;
        Lines expected = expand(timeline);
        expected.insert(expected.begin(),
                        "log [SYS] parsed action=" + action + " dir=" + std::to_string(dir));
        EXPECT_EQ(run(message), expected);
    }
    EXPECT_EQ(run(R"({"type":"sys"})"), Lines{"log [SYS] parsed action= dir=0"});
    // The phone's text cannot start a log line of its own.
    EXPECT_EQ(run("{\"type\":\"sys\",\"action\":\"x\nSTAT move=1\"}"),
              Lines{"log [SYS] parsed action=x\\x0ASTAT move=1 dir=0"});
}

TEST_F(CommandsTest, TextPointerCommandsAndAcknowledgements) {
    for (const std::string_view text : {"hello", "{}", R"( {"type":"move"})", ""})
        EXPECT_EQ(run(text), (Lines{"key 0 down session text[" + std::to_string(text.size()) + "]",
                                    "key 0 up session text[" + std::to_string(text.size()) + "]"}))
            << text;
    EXPECT_EQ(run("bad \xC3("), Lines{});                   // invalid UTF-8 types nothing
    EXPECT_EQ(run(R"({"type":"key","key":"a"})"), Lines{}); // unknown types: dropped
    EXPECT_EQ(run(R"({"type": "move","dx":2})"), Lines{});
    EXPECT_EQ(run(R"({"type":"move","dx":2,"dy":-1})"), (Lines{"warp 6,-3", "mouse moved@6,-3 L"}));
    EXPECT_EQ(run(R"({"type":"move","dy":"4"})"), (Lines{"warp 6,9", "mouse moved@6,9 L"}));
    EXPECT_EQ(run(R"({"type":"scroll","dx":0,"dy":1})"), Lines{"scroll 40,0"});
    EXPECT_EQ(run(R"({"type":"click","button":"right","down":true})"),
              Lines{"mouse rightDown@6,9 R"});
    EXPECT_EQ(run(R"({"type":"click","button":"Right","down":"true"})"),
              Lines{"mouse leftDown@6,9 L click=1"});
    EXPECT_EQ(run(R"({"type":"click","down":1})"), Lines{"mouse leftUp@6,9 L click=1"});
    // The earlier rule wins when a message holds two type patterns; the right button is still
    // held from above, so the move is a drag.
    EXPECT_EQ(run(R"({"type":"sys","type":"move"})"),
              (Lines{"warp 6,9", "mouse rightDragged@6,9 R"}));

    for (const char* action : {"copy", "cut", "paste"})
        run(R"({"type":"sys","action":")" + std::string(action) + "\"}");
    std::vector<std::string> acks;
    std::vector<uint8_t> body;
    while (core::recvFrame(link.writer(), body, 10))
        acks.emplace_back(body.begin(), body.end());
    EXPECT_EQ(acks, (Lines{"\x10"
                           R"({"type":"ack","payload":{"action":"copy","ok":true}})",
                           "\x10"
                           R"({"type":"ack","payload":{"action":"paste","ok":true}})"}));
}

TEST(FieldReaders, FollowTheFirstOccurrenceOfTheKeyAndUtf8IsStrict) {
    EXPECT_DOUBLE_EQ(findNumberField(R"({"dx":1.5.2})", "\"dx\""), 1.5);
    EXPECT_DOUBLE_EQ(findNumberField(R"({"dx": "-2e1"})", "\"dx\""), -20.0);
    EXPECT_DOUBLE_EQ(findNumberField(R"({"dx":1e999})", "\"dx\""), 0.0);
    EXPECT_DOUBLE_EQ(findNumberField(R"({"dx":abc})", "\"dx\""), 0.0);
    EXPECT_EQ(findIntField(R"({"n":"12"})", "\"n\""), 12);
    EXPECT_EQ(findIntField(R"({"n":2147483648})", "\"n\""), 0);
    EXPECT_EQ(findIntField(R"({"n":-3.9})", "\"n\""), -3);
    EXPECT_EQ(findIntField(R"({"hint":"dir","x":-1})", "\"dir\""), -1); // also as a value
    EXPECT_EQ(findStringField(R"({"action":"co\"py"})", "\"action\""), "co\\");
    EXPECT_EQ(findStringField(R"({"dir":5,"next":"left"})", "\"dir\""), "next");
    EXPECT_EQ(findStringField(R"({"dir":"left)", "\"dir\""), "");
    EXPECT_FALSE(findButtonIsLeft(R"({"button":"right"})"));
    EXPECT_TRUE(findDownFlag(R"({"down": "true"})"));
    EXPECT_FALSE(findDownFlag(R"({"down":True})"));

    EXPECT_EQ(utf8ToUtf16("h\xC3\xA9llo \xE2\x9C\x93\xF0\x9F\x98\x80"),
              std::u16string(u"h\u00E9llo \u2713\xD83D\xDE00"));
    for (const char* bad :
         {"\xC3", "\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\xFF"})
        EXPECT_FALSE(utf8ToUtf16(bad)) << bad;
}

TEST(Pointer, GainsDragsAndClickCounting) {
    test::RecordingSink sink;
    PointerInjector pointer{sink, sink};
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

TEST(SystemActions, MacFunctionKeysAndTheAuxiliaryKeyService) {
    test::RecordingSink sink;
    Keyboard keyboard{sink, sink};
    SystemActions system{sink, sink, keyboard, [&] { sink.sleepMicros(-6); }};
    const auto fkey = [&](int n) {
        sink.take();
        system.pressMacFunctionKey(n);
        Lines lines = sink.take();
        EXPECT_EQ(lines.front(), "log [KEY] macFKey: n=" + std::to_string(n));
        return Lines(lines.begin() + 1, lines.end());
    };
    const auto aux = [](const char* name, int type) {
        char down[16], up[16];
        std::snprintf(down, sizeof down, "0x%08X", type << 16 | 0x0A00);
        std::snprintf(up, sizeof up, "0x%08X", type << 16 | 0x0B00);
        return Lines{std::string("log [SYS] ") + name + " AUX",
                     std::string("aux conn=42 data1=") + down, "sleep 1500",
                     std::string("aux conn=42 data1=") + up};
    };
    sink.hidOpens = {{false, 0, 0}, {true, -536870201, 0}}; // failures, retried by every key
    EXPECT_EQ(fkey(12),
              (Lines{"log [SYS] volumeUp AUX", "hid open", "log [SYS] IOHIDSystem not found"}));
    EXPECT_EQ(fkey(11)[2], "log [SYS] IOHIDSystem open failed: -536870201");
    Lines first = fkey(1);
    EXPECT_EQ(first[1], "hid open"); // third time lucky, and kept from then on
    first.erase(first.begin() + 1);
    EXPECT_EQ(first, aux("brightnessDown", 3));
    const std::pair<int, Lines> keys[] = {
        {2, aux("brightnessUp", 2)},
        {3, expand("log [SYS] missionControl HID (Ctrl+Up)|C126")},
        {4, expand("log [SYS] spotlight HID (Cmd+Space)|F49:0x100000")},
        {5, expand("log [SYS] dictation HID (Fn+D)|F2:0x800000")},
        {6, Lines{"sleep -6"}}, // the Focus toggle
        {7, aux("rewind", 20)},
        {8, aux("playPause", 16)},
        {9, aux("fastForward", 19)},
        {10, aux("mute", 7)},
        {11, aux("volumeDown", 1)},
        {12, aux("volumeUp", 0)},
        {13, Lines{"log [KEY] macFKey: invalid n=13"}},
    };
    for (const auto& [n, expected] : keys)
        EXPECT_EQ(fkey(n), expected) << n;
    sink.auxStatuses = {5, 0}; // a failed press is reported, and its release still sent
    EXPECT_FALSE(system.postAuxKey(AuxKeyType::Mute));
    const Lines failed = sink.take();
    EXPECT_EQ(failed.back(), "log [SYS] aux key failed: keyType=7 down=5 up=0");
    EXPECT_EQ(failed[failed.size() - 2], "aux conn=42 data1=0x00070B00");
}

} // namespace
} // namespace pointrelay::input
