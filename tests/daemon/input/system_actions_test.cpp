// SPDX-License-Identifier: MIT
#include "input/system_actions.h"
#include "support/recording_sink.h"

#include <gtest/gtest.h>

namespace pointrelay::input {
namespace {

using Lines = std::vector<std::string>;

class SystemActionsTest : public ::testing::Test {
protected:
    Lines fkey(int n) {
        sink.take();
        system.pressMacFunctionKey(n);
        return sink.take();
    }
    test::RecordingSink sink;
    Keyboard keyboard{sink, sink};
    SystemActions system{sink, sink, keyboard, [this] { sink.sleepMicros(-6); }};
};

Lines aux(const char* line, const char* down, const char* up, bool open = true) {
    Lines out{std::string("log ") + line};
    if (open)
        out.push_back("hid open");
    out.insert(out.end(), {std::string("aux conn=42 data1=") + down, "sleep 1500",
                           std::string("aux conn=42 data1=") + up});
    return out;
}

TEST_F(SystemActionsTest, EveryMacFunctionKey) {
    auto withHeader = [](int n, Lines rest) {
        rest.insert(rest.begin(), "log [KEY] macFKey: n=" + std::to_string(n));
        return rest;
    };
    EXPECT_EQ(fkey(1), withHeader(1, aux("[SYS] brightnessDown AUX", "0x00030A00", "0x00030B00")));
    // The connection is opened once and kept.
    EXPECT_EQ(fkey(2),
              withHeader(2, aux("[SYS] brightnessUp AUX", "0x00020A00", "0x00020B00", false)));
    EXPECT_EQ(fkey(3),
              withHeader(3, Lines{"log [SYS] missionControl HID (Ctrl+Up)", "key 59 down hid",
                                  "sleep 1500", "key 126 down hid", "sleep 1500", "key 126 up hid",
                                  "sleep 1500", "key 59 up hid",
                                  "log [KEY] combo(HID): Ctrl + key=126"}));
    EXPECT_EQ(fkey(4), withHeader(4, Lines{"log [SYS] spotlight HID (Cmd+Space)",
                                           "key 49 down session flags=0x100000", "sleep 8000",
                                           "key 49 up session flags=0x100000"}));
    EXPECT_EQ(fkey(5), withHeader(5, Lines{"log [SYS] dictation HID (Fn+D)",
                                           "key 2 down session flags=0x800000", "sleep 8000",
                                           "key 2 up session flags=0x800000"}));
    EXPECT_EQ(fkey(6), withHeader(6, Lines{"sleep -6"})); // the Focus toggle
    EXPECT_EQ(fkey(7), withHeader(7, aux("[SYS] rewind AUX", "0x00140A00", "0x00140B00", false)));
    EXPECT_EQ(fkey(8),
              withHeader(8, aux("[SYS] playPause AUX", "0x00100A00", "0x00100B00", false)));
    EXPECT_EQ(fkey(9),
              withHeader(9, aux("[SYS] fastForward AUX", "0x00130A00", "0x00130B00", false)));
    EXPECT_EQ(fkey(10), withHeader(10, aux("[SYS] mute AUX", "0x00070A00", "0x00070B00", false)));
    EXPECT_EQ(fkey(11),
              withHeader(11, aux("[SYS] volumeDown AUX", "0x00010A00", "0x00010B00", false)));
    EXPECT_EQ(fkey(12),
              withHeader(12, aux("[SYS] volumeUp AUX", "0x00000A00", "0x00000B00", false)));
    EXPECT_EQ(fkey(13), (Lines{"log [KEY] macFKey: n=13", "log [KEY] macFKey: invalid n=13"}));
}

TEST_F(SystemActionsTest, HidOpenFailuresAreLoggedAndRetriedByEveryKey) {
    sink.hidOpens = {{false, 0, 0}, {true, -536870201, 0}};
    EXPECT_EQ(fkey(12), (Lines{"log [KEY] macFKey: n=12", "log [SYS] volumeUp AUX", "hid open",
                               "log [SYS] IOHIDSystem not found"}));
    EXPECT_EQ(fkey(11), (Lines{"log [KEY] macFKey: n=11", "log [SYS] volumeDown AUX", "hid open",
                               "log [SYS] IOHIDSystem open failed: -536870201"}));
    EXPECT_EQ(fkey(10)[2], "hid open"); // third time lucky
    EXPECT_EQ(system.openHidSystem(), 42u);
}

TEST_F(SystemActionsTest, FailedPostsAreReportedAndTheReleaseStillSent) {
    sink.auxStatuses = {5, 0};
    EXPECT_FALSE(system.postAuxKey(AuxKeyType::Mute));
    const Lines lines = sink.take();
    EXPECT_EQ(lines.back(), "log [SYS] aux key failed: keyType=7 down=5 up=0");
    EXPECT_EQ(lines[lines.size() - 2], "aux conn=42 data1=0x00070B00");
    EXPECT_TRUE(system.postAuxKey(AuxKeyType::Mute));
}

TEST_F(SystemActionsTest, SwitchSpaceDirections) {
    system.switchSpace(0);
    system.switchSpace(-7);
    const Lines lines = sink.take();
    EXPECT_EQ(lines[0], "log [SYS] switchSpace HID dir=+1");
    EXPECT_EQ(lines[3], "key 124 down hid");
    EXPECT_EQ(lines[9], "log [SYS] switchSpace HID dir=-1");
    EXPECT_EQ(lines[12], "key 123 down hid");
}

} // namespace
} // namespace pointrelay::input
