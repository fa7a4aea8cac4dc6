// SPDX-License-Identifier: MIT
#include "input/pointer.h"
#include "support/recording_sink.h"

#include <cmath>
#include <gtest/gtest.h>

namespace pointrelay::input {
namespace {

using Lines = std::vector<std::string>;

class PointerTest : public ::testing::Test {
protected:
    test::RecordingSink sink;
    PointerInjector pointer{sink, sink};
};

TEST_F(PointerTest, MovesAreScaledAndRoundedHalfAwayFromZero) {
    sink.location = {100, 100};
    pointer.injectMove(1, -1);
    pointer.injectMove(0.5, 0.5);  // 1.5 rounds to 2
    pointer.injectMove(-0.5, 0.1); // -1.5 rounds to -2; 0.3 to 0
    pointer.injectMove(0.1, -0.1); // no movement, still a moved event
    EXPECT_EQ(sink.take(), (Lines{"warp 103,97", "mouse moved@103,97 L", "warp 105,99",
                                  "mouse moved@105,99 L", "warp 103,99", "mouse moved@103,99 L",
                                  "warp 103,99", "mouse moved@103,99 L"}));
    // Text commands may carry any number; nothing undefined happens with extremes.
    pointer.injectMove(std::nan(""), 1e300);
    EXPECT_EQ(sink.location.x, 103);
}

TEST_F(PointerTest, HeldButtonsTurnMovesIntoDrags) {
    pointer.injectButton(false, true);
    pointer.injectMove(1, 0);
    pointer.injectButton(true, true); // both held: the left button wins
    pointer.injectMove(1, 0);
    pointer.injectButton(true, false);
    pointer.injectButton(false, false);
    pointer.injectMove(1, 0);
    const Lines lines = sink.take();
    EXPECT_EQ(lines[2], "mouse rightDragged@3,0 R");
    EXPECT_EQ(lines[5], "mouse leftDragged@6,0 L");
    EXPECT_EQ(lines.back(), "mouse moved@9,0 L");
}

TEST_F(PointerTest, ClickCountingStopsAtTwoAndIgnoresTheRightButton) {
    auto press = [&](double at, double x) {
        sink.now = at;
        sink.location = {x, 0};
        pointer.injectButton(true, true);
        pointer.injectButton(true, false);
    };
    pointer.injectButton(true, false); // a release before any press
    press(10.0, 0);
    press(10.4, 3);                    // within 0.5 s and 4 points: double
    press(10.8, 3);                    // a third quick press is a double again, never 3
    press(11.4, 3);                    // 0.6 s later: new series
    press(11.5, 8);                    // 5 points away: new series
    pointer.injectButton(false, true); // the right button has no click state...
    pointer.injectButton(false, false);
    press(11.9, 8); // ...and leaves the series alone
    EXPECT_EQ(sink.take(),
              (Lines{"mouse leftUp@0,0 L click=1", "mouse leftDown@0,0 L click=1",
                     "mouse leftUp@0,0 L click=1", "mouse leftDown@3,0 L click=2",
                     "mouse leftUp@3,0 L click=2", "mouse leftDown@3,0 L click=2",
                     "mouse leftUp@3,0 L click=2", "mouse leftDown@3,0 L click=1",
                     "mouse leftUp@3,0 L click=1", "mouse leftDown@8,0 L click=1",
                     "mouse leftUp@8,0 L click=1", "mouse rightDown@8,0 R", "mouse rightUp@8,0 R",
                     "mouse leftDown@8,0 L click=2", "mouse leftUp@8,0 L click=2"}));
}

TEST_F(PointerTest, ScrollsCarryRoundedWheelsAndExactDeltas) {
    pointer.injectScroll(0, 1);
    pointer.injectScroll(0.01, 0);
    pointer.injectScroll(0, -0.0125); // -0.5 pixels rounds away from zero
    ASSERT_EQ(sink.scrolls.size(), 3u);
    EXPECT_EQ(sink.scrolls[0], (ScrollEvent{40, 0, true, 40.0, 0.0}));
    EXPECT_EQ(sink.scrolls[1].wheel1, 0);
    EXPECT_EQ(sink.scrolls[1].wheel2, 0);
    EXPECT_DOUBLE_EQ(sink.scrolls[1].fixedDelta2, 0.4);
    EXPECT_EQ(sink.scrolls[2].wheel1, -1);
}

TEST_F(PointerTest, AbsoluteClickLeavesButtonStateAlone) {
    pointer.clickAt(10.5, 20);
    pointer.injectMove(0, 0);
    EXPECT_EQ(sink.take(), (Lines{"mouse leftDown@10.5,20 L", "sleep 8000",
                                  "mouse leftUp@10.5,20 L", "warp 0,0", "mouse moved@0,0 L"}));
}

} // namespace
} // namespace pointrelay::input
