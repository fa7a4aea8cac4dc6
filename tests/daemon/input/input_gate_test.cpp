// SPDX-License-Identifier: MIT
// The bound on sessions inside the input layer: beyond it events are dropped and counted,
// releases never are, and the count reaches the log.
#include "input/input_gate.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

namespace pointrelay::input {
namespace {

TEST(InputGate, DropsBeyondItsCapacityButNeverARelease) {
    test::LogCapture log;
    InputGate gate(2);
    EXPECT_TRUE(gate.enter(false));
    EXPECT_TRUE(gate.enter(false));
    EXPECT_FALSE(gate.enter(false)); // full: dropped, reported at once
    EXPECT_TRUE(gate.enter(true));   // a release goes in regardless
    EXPECT_FALSE(gate.enter(false)); // within the second: counted, not yet reported
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "[C++] Input: the desktop is not keeping up, 1 events dropped"}));
    gate.leave();
    gate.leave();
    EXPECT_TRUE(gate.enter(false)); // room again
    gate.leave();
    gate.leave();
    { // a pass leaves when its scope ends
        GatePass pass(gate, false);
        EXPECT_TRUE(pass);
    }
    GatePass first(gate, false), second(gate, false), third(gate, false);
    EXPECT_TRUE(first && second);
    EXPECT_FALSE(third);
}

} // namespace
} // namespace pointrelay::input
