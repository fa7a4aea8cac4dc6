// SPDX-License-Identifier: MIT
#include "core/frame.h"
#include "core/input_handler.h"
#include "input/focus_toggle.h"
#include "input/system_actions.h"
#include "input/text_commands.h"
#include "support/recording_sink.h"
#include "support/session_harness.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pointrelay::input {
namespace {

using Lines = std::vector<std::string>;

Lines press(int key) {
    return {"key " + std::to_string(key) + " down hid", "sleep 1500",
            "key " + std::to_string(key) + " up hid"};
}
Lines concat(std::initializer_list<Lines> parts) {
    Lines out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class TextCommandsTest : public ::testing::Test {
protected:
    TextCommandsTest() { ::socketpair(AF_UNIX, SOCK_STREAM, 0, m_fds); }
    ~TextCommandsTest() override {
        ::close(m_fds[0]);
        ::close(m_fds[1]);
    }
    Lines run(std::string_view message) {
        sink.take();
        commands.handleTextMessage(m_fds[0], message);
        return sink.take();
    }
    // Frames the command sent back, if any.
    std::vector<std::string> acks() {
        std::vector<std::string> out;
        std::vector<uint8_t> body;
        while (core::recvFrame(m_fds[1], body, 10))
            out.emplace_back(body.begin(), body.end());
        return out;
    }

    test::RecordingSink sink;
    PointerInjector pointer{sink, sink};
    Keyboard keyboard{sink, sink};
    SystemActions system{sink, sink, keyboard, [this] { sink.sleepMicros(-1); }};
    TextCommands commands{pointer, keyboard, system, sink};
    int m_fds[2];
};

TEST_F(TextCommandsTest, WhatIsNotACommandIsTyped) {
    for (const std::string_view text : {"hello", "{}", R"({"x":1})", R"( {"type":"move"})", ""}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(run(text), (Lines{"key 0 down session text[" + std::to_string(text.size()) + "]",
                                    "key 0 up session text[" + std::to_string(text.size()) + "]"}));
    }
    // Unknown types, and type patterns broken by a space, are dropped without a word.
    EXPECT_EQ(run(R"({"type":"key","key":"a"})"), Lines{});
    EXPECT_EQ(run(R"({"type": "move","dx":2})"), Lines{});
}

TEST_F(TextCommandsTest, PointerCommandsReadTheirFieldsLoosely) {
    sink.location = {0, 0};
    EXPECT_EQ(run(R"({"type":"move","dx":2,"dy":-1})"), (Lines{"warp 6,-3", "mouse moved@6,-3 L"}));
    EXPECT_EQ(run(R"({"type":"move","dy":"4"})"), (Lines{"warp 6,9", "mouse moved@6,9 L"}));
    EXPECT_EQ(run(R"({"type":"scroll","dx":0,"dy":1})"), Lines{"scroll 40,0"});
    EXPECT_EQ(run(R"({"type":"click","button":"right","down":true})"),
              Lines{"mouse rightDown@6,9 R"});
    EXPECT_EQ(run(R"({"type":"click","button":"Right","down":"true"})"),
              Lines{"mouse leftDown@6,9 L click=1"});
    EXPECT_EQ(run(R"({"type":"click","down":1})"), Lines{"mouse leftUp@6,9 L click=1"});
    // The earlier rule wins when a message holds two type patterns; the right button is
    // still held from above, so the move is a drag.
    EXPECT_EQ(run(R"({"type":"sys","type":"move"})"),
              (Lines{"warp 6,9", "mouse rightDragged@6,9 R"}));
}

TEST(FieldExtractors, FollowTheFirstOccurrenceOfTheKey) {
    EXPECT_DOUBLE_EQ(findNumberField(R"({"dx":1.5.2})", "\"dx\""), 1.5);
    EXPECT_DOUBLE_EQ(findNumberField(R"({"dx": "-2e1"})", "\"dx\""), -20.0);
    EXPECT_DOUBLE_EQ(findNumberField(R"({"dx":1e999})", "\"dx\""), 0.0);
    EXPECT_DOUBLE_EQ(findNumberField(R"({"dx":abc})", "\"dx\""), 0.0);
    EXPECT_DOUBLE_EQ(findNumberField(R"({"dx"})", "\"dx\""), 0.0);
    EXPECT_EQ(findIntField(R"({"n":"12"})", "\"n\""), 12);
    EXPECT_EQ(findIntField(R"({"n":2147483648})", "\"n\""), 0);
    EXPECT_EQ(findIntField(R"({"n":-3.9})", "\"n\""), -3);
    EXPECT_EQ(findIntField(R"({"n":+-1})", "\"n\""), 0);
    // A key is found also where it is a value: "dir" here reads the number after "x".
    EXPECT_EQ(findIntField(R"({"hint":"dir","x":-1})", "\"dir\""), -1);
    EXPECT_EQ(findStringField(R"({"action":"co\"py"})", "\"action\""), "co\\");
    EXPECT_EQ(findStringField(R"({"dir":5,"next":"left"})", "\"dir\""), "next");
    EXPECT_EQ(findStringField(R"({"dir":"left)", "\"dir\""), "");
    EXPECT_TRUE(findButtonIsLeft(R"({"x":1})"));
    EXPECT_FALSE(findButtonIsLeft(R"({"button":"right"})"));
    EXPECT_TRUE(findDownFlag(R"({"down": "true"})"));
    EXPECT_FALSE(findDownFlag(R"({"down":True})"));
    EXPECT_FALSE(findDownFlag(R"({"down":tru)"));
}

// Every system command: its keys, pauses and log lines, in order.
TEST_F(TextCommandsTest, SystemVocabulary) {
    auto sys = [](std::string fields) { return R"({"type":"sys",)" + fields + "}"; };
    auto parsed = [](std::string action, int dir = 0) {
        return "log [SYS] parsed action=" + action + " dir=" + std::to_string(dir);
    };
    auto hidCombo = [](std::initializer_list<int> mods, int key) {
        Lines out;
        for (int m : mods)
            out.insert(out.end(), {"key " + std::to_string(m) + " down hid", "sleep 1500"});
        out.insert(out.end(), {"key " + std::to_string(key) + " down hid", "sleep 1500",
                               "key " + std::to_string(key) + " up hid", "sleep 1500"});
        for (auto it = std::rbegin(mods); it != std::rend(mods); ++it)
            out.insert(out.end(), {"key " + std::to_string(*it) + " up hid", "sleep 1500"});
        out.push_back("log [KEY] combo(HID): mods=" + std::to_string(mods.size()) +
                      " key=" + std::to_string(key));
        return out;
    };
    auto flagsCombo = [](int key, const char* flags) {
        return Lines{"key " + std::to_string(key) + " down session flags=" + flags, "sleep 8000",
                     "key " + std::to_string(key) + " up session flags=" + flags};
    };
    auto controlCombo = [](int key) {
        return Lines{"key 59 down hid",
                     "sleep 1500",
                     "key " + std::to_string(key) + " down hid",
                     "sleep 1500",
                     "key " + std::to_string(key) + " up hid",
                     "sleep 1500",
                     "key 59 up hid",
                     "log [KEY] combo(HID): Ctrl + key=" + std::to_string(key)};
    };
    const std::vector<std::pair<std::string, Lines>> rows = {
        {sys(R"("action":"switchSpace","dir":-1)"),
         concat(
             {{parsed("switchSpace", -1), "log [SYS] switchSpace HID dir=-1"}, controlCombo(123)})},
        {sys(R"("action":"switchSpace")"),
         concat({{parsed("switchSpace"), "log [SYS] switchSpace HID dir=+1"}, controlCombo(124)})},
        {sys(R"("action":"missionControl")"),
         concat({{parsed("missionControl"), "log [SYS] missionControl HID (Ctrl+Up)"},
                 controlCombo(126)})},
        {sys(R"("action":"appExpose")"),
         concat({{parsed("appExpose"), "log [SYS] appExpose HID (Ctrl+Down)"}, controlCombo(125)})},
        {sys(R"("action":"arrow","dir":"up")"), concat({{parsed("arrow")}, press(126)})},
        {sys(R"("action":"arrow","dir":"down")"), concat({{parsed("arrow")}, press(125)})},
        {sys(R"("action":"arrow","dir":"left")"), concat({{parsed("arrow")}, press(123)})},
        {sys(R"("action":"arrow","dir":"right")"), concat({{parsed("arrow")}, press(124)})},
        {sys(R"("action":"arrow","dir":"back")"), Lines{parsed("arrow")}},
        {sys(R"("action":"shiftArrow")"),
         concat({{parsed("shiftArrow"), "key 56 down hid", "sleep 1500"},
                 press(126),
                 {"sleep 1500", "key 56 up hid"}})},
        {sys(R"("action":"shiftArrow","dir":"left")"),
         concat({{parsed("shiftArrow"), "key 56 down hid", "sleep 1500"},
                 press(123),
                 {"sleep 1500", "key 56 up hid"}})},
        {sys(R"("action":"delete")"), concat({{parsed("delete")}, press(51)})},
        {sys(R"("action":"enter")"), concat({{parsed("enter")}, press(36)})},
        {sys(R"("action":"enterPad")"), concat({{parsed("enterPad")}, press(76)})},
        {sys(R"("action":"escape")"), concat({{parsed("escape")}, press(53)})},
        {sys(R"("action":"home")"), concat({{parsed("home")}, press(115)})},
        {sys(R"("action":"end")"), concat({{parsed("end")}, press(119)})},
        {sys(R"("action":"pageUp")"), concat({{parsed("pageUp")}, press(116)})},
        {sys(R"("action":"pageDown")"), concat({{parsed("pageDown")}, press(121)})},
        {sys(R"("action":"deleteForward")"), concat({{parsed("deleteForward")}, press(117)})},
        {sys(R"("action":"space")"),
         concat({{parsed("space")}, press(49), {"log [KEY] press: Space"}})},
        {sys(R"("action":"copy")"),
         concat(
             {{parsed("copy")}, flagsCombo(8, "0x100000"), {"log [KEY] combo(FLAGS): \u2318+8"}})},
        {sys(R"("action":"paste")"),
         concat(
             {{parsed("paste")}, flagsCombo(9, "0x100000"), {"log [KEY] combo(FLAGS): \u2318+9"}})},
        {sys(R"("action":"cut")"), concat({{parsed("cut")}, hidCombo({55}, 7)})},
        {sys(R"("action":"undo")"), concat({{parsed("undo")}, hidCombo({55}, 6)})},
        {sys(R"("action":"redo")"), concat({{parsed("redo")}, hidCombo({55, 56}, 6)})},
        {sys(R"("action":"find")"), concat({{parsed("find")}, hidCombo({55}, 3)})},
        {sys(R"("action":"selectAll")"), concat({{parsed("selectAll")}, hidCombo({55}, 0)})},
        {sys(R"("action":"refresh")"), concat({{parsed("refresh")}, hidCombo({55}, 15)})},
        {sys(R"("action":"save")"), concat({{parsed("save")}, hidCombo({55}, 1)})},
        {sys(R"("action":"newTab")"), concat({{parsed("newTab")}, hidCombo({55}, 17)})},
        {sys(R"("action":"closeTab")"), concat({{parsed("closeTab")}, hidCombo({55}, 13)})},
        {sys(R"("action":"fullscreen")"),
         concat({{parsed("fullscreen")}, flagsCombo(3, "0x140000")})},
        {sys(R"("action":"focusURL")"), concat({{parsed("focusURL")}, flagsCombo(37, "0x100000")})},
        {sys(R"("action":"toggleDock")"),
         concat({{parsed("toggleDock")}, flagsCombo(2, "0x180000")})},
        {sys(R"("action":"reopenTab")"),
         concat({{parsed("reopenTab")}, flagsCombo(17, "0x120000")})},
        {sys(R"("action":"emojiPicker")"),
         concat({{parsed("emojiPicker")}, flagsCombo(49, "0x140000")})},
        {sys(R"("action":"fkey","n":12)"),
         concat({{parsed("fkey")}, press(111), {"sleep 6000", "log [KEY] press: F12"}})},
        {sys(R"("action":"fkey","n":1)"),
         concat({{parsed("fkey")}, press(122), {"sleep 6000", "log [KEY] press: F1"}})},
        {sys(R"("action":"fkey","n":13)"), Lines{parsed("fkey"), "log [KEY] fkey: invalid n=13"}},
        {sys(R"("action":"fkey","n":-3)"), Lines{parsed("fkey"), "log [KEY] fkey: invalid n=-3"}},
        {sys(R"("action":"macFKey","n":0)"),
         Lines{parsed("macFKey"), "log [KEY] macFKey: n=0", "log [KEY] macFKey: invalid n=0"}},
        {R"({"type":"sys"})", Lines{parsed("")}},
        {sys(R"("action":"Copy")"), Lines{parsed("Copy")}},
        // The phone's text cannot start a log line of its own.
        {sys("\"action\":\"x\\nClient connected (9 active)\""),
         Lines{"log [SYS] parsed action=x\\nClient connected (9 active) dir=0"}},
        {sys("\"action\":\"x\nSTAT move=1\""),
         Lines{"log [SYS] parsed action=x\\x0ASTAT move=1 dir=0"}},
    };
    for (const auto& [message, expected] : rows) {
        SCOPED_TRACE(message);
        EXPECT_EQ(run(message), expected);
    }
}

TEST_F(TextCommandsTest, OnlyCopyAndPasteAreAcknowledged) {
    run(R"({"type":"sys","action":"copy"})");
    run(R"({"type":"sys","action":"cut"})");
    run(R"({"type":"sys","action":"paste"})");
    const std::string prefix(1, '\x10');
    EXPECT_EQ(acks(), (std::vector<std::string>{
                          prefix + R"({"type":"ack","payload":{"action":"copy","ok":true}})",
                          prefix + R"({"type":"ack","payload":{"action":"paste","ok":true}})"}));
}

// A sealed command is acknowledged in a plain frame, exactly as a plain one is.
TEST_F(TextCommandsTest, SealedCopyIsAcknowledgedInPlainText) {
    struct CommandsOnly final : core::InputHandler {
        explicit CommandsOnly(TextCommands& c) : commands(c) {}
        void injectMove(double, double) override {}
        void injectScroll(double, double) override {}
        void injectButton(bool, bool) override {}
        void handleTextMessage(int fd, std::string_view text) override {
            commands.handleTextMessage(fd, text);
        }
        TextCommands& commands;
    } input(commands);
    core::SessionContext context;
    context.input = &input;
    core::ServerConfig config;
    test::SessionHarness session(config, context);
    ASSERT_TRUE(session.phone.handshake(config.psk));
    ASSERT_TRUE(session.phone.sendSealedText(R"({"type":"sys","action":"copy"})"));
    std::vector<uint8_t> body;
    ASSERT_TRUE(session.phone.recvFrame(body, 2000));
    EXPECT_EQ(std::string(body.begin(), body.end()),
              "\x10"
              R"({"type":"ack","payload":{"action":"copy","ok":true}})");
}

TEST(Utf8, ConvertsToUtf16AndRefusesInvalidInput) {
    EXPECT_EQ(utf8ToUtf16("h\xC3\xA9llo \xE2\x9C\x93"), u"h\u00E9llo \u2713");
    EXPECT_EQ(utf8ToUtf16("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00"));
    EXPECT_EQ(utf8ToUtf16(""), u"");
    for (const char* bad : {"\xC3", "\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "a\xFF"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(utf8ToUtf16(bad));
    }
}

TEST_F(TextCommandsTest, TypedTextIsOneEventPairAndInvalidTextNothing) {
    run("h\xC3\xA9llo \xE2\x9C\x93");
    ASSERT_EQ(sink.keyEvents.size(), 2u);
    EXPECT_EQ(sink.keyEvents[0].text, u"h\u00E9llo \u2713");
    EXPECT_EQ(sink.keyEvents[0].keyCode, 0);
    EXPECT_FALSE(sink.keyEvents[1].down);
    EXPECT_EQ(run("bad \xC3("), Lines{});
}

} // namespace
} // namespace pointrelay::input
