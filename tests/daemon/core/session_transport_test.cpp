// SPDX-License-Identifier: MIT
// How a session takes frames off its connection: many per read, the frame transport's
// per-wait time-out inside a frame, and the frames that had arrived when the daemon stopped.
#include "core/counters.h"
#include "core/frame.h"
#include "core/input_handler.h"
#include "support/log_capture.h"
#include "support/recording_input.h"
#include "support/session_harness.h"

#include <future>
#include <gtest/gtest.h>
#include <unistd.h>

namespace pointrelay {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using test::SessionHarness;

constexpr char kPsk[] = "1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d";

Bytes moveBody(int16_t dx, int16_t dy) {
    const auto x = static_cast<uint16_t>(dx), y = static_cast<uint16_t>(dy);
    return {0x11, static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x),
            static_cast<uint8_t>(y >> 8), static_cast<uint8_t>(y)};
}

class SessionTransportTest : public ::testing::Test {
protected:
    SessionTransportTest() {
        config.psk = kPsk;
        context.input = &input;
    }

    test::LogCapture log;
    test::RecordingInput input;
    core::ServerConfig config;
    core::SessionContext context;
};

TEST_F(SessionTransportTest, FramesWrittenTogetherAreHandledInOrder) {
    const uint64_t moves = core::moveCount.load();
    SessionHarness session(config, context);
    ASSERT_TRUE(session.phone.handshake(kPsk));

    // One write: thousands of moves around a text of the largest size and a click, so that
    // frames straddle every read.
    Bytes wire;
    std::vector<std::string> expected;
    const std::string longText(core::kMaxFrameBody - 1, 't');
    for (int i = 0; i < 12000; ++i) {
        if (i == 7000) {
            Bytes text(longText.size() + 1, 't');
            text[0] = 0x10;
            core::appendFrame(wire, text);
            expected.push_back("text " + longText);
        }
        if (i == 9000) {
            core::appendFrame(wire, Bytes{0x13, 0x00, 0x01});
            expected.push_back("button left down");
        }
        core::appendFrame(wire, moveBody(static_cast<int16_t>(i % 100), -1));
        expected.push_back("move " + std::to_string(i % 100) + " -1");
    }
    std::thread writer([&] { EXPECT_TRUE(session.phone.sendRaw(wire)); });
    writer.join();
    ASSERT_TRUE(session.sync());
    EXPECT_EQ(input.calls(), expected);
    EXPECT_EQ(core::moveCount.load() - moves, 12000u); // counted by the time of the PONG
}

// Inside a frame each wait for its next piece lasts at most a second; the whole frame may
// take longer.
TEST_F(SessionTransportTest, UnfinishedFrameWaitsASecondForEachPiece) {
    SessionHarness session(config, context);
    ASSERT_TRUE(session.phone.handshake(kPsk));
    auto& phone = session.phone;
    ASSERT_TRUE(phone.sendRaw(Bytes{0, 0}));
    std::this_thread::sleep_for(600ms);
    ASSERT_TRUE(phone.sendRaw(Bytes{0, 5, 0x11}));
    std::this_thread::sleep_for(600ms);
    ASSERT_TRUE(phone.sendRaw(Bytes{0, 7, 0, 9}));
    ASSERT_TRUE(session.sync());
    EXPECT_EQ(input.calls(), std::vector<std::string>{"move 7 9"});

    ASSERT_TRUE(phone.sendRaw(Bytes{0, 0, 0, 9, 0x10, 'a'})); // and then nothing
    const auto start = Clock::now();
    EXPECT_TRUE(phone.waitForClose(3000));
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 1600ms);
    session.finish();
    EXPECT_EQ(log.count("recvFrame fail (peer closed or timeout)"), 1u);
    EXPECT_EQ(log.count("Client disconnected (0 active)"), 1u);
}

// Holds the session inside its first move until released.
class HoldingInput final : public core::InputHandler {
public:
    void injectMove(double, double) override {
        if (++moves == 1) {
            entered.set_value();
            release.get_future().wait();
        }
    }
    void injectScroll(double, double) override {}
    void injectButton(bool, bool) override {}
    void handleTextMessage(int, std::string_view) override {}

    std::atomic<int> moves{0};
    std::promise<void> entered;
    std::promise<void> release;
};

// Frames that had reached the daemon when it was told to stop are still handled and counted
// (an unfinished last frame is not), and the session then closes with its line.
TEST_F(SessionTransportTest, StoppingHandlesTheFramesThatHadArrived) {
    HoldingInput holding;
    context.input = &holding;
    int stopPipe[2];
    ASSERT_EQ(::pipe(stopPipe), 0);
    context.stopFd = stopPipe[0];
    const uint64_t moves = core::moveCount.load();
    {
        SessionHarness session(config, context);
        ASSERT_TRUE(session.phone.handshake(kPsk));
        ASSERT_TRUE(session.phone.sendFrame(moveBody(1, 1)));
        ASSERT_EQ(holding.entered.get_future().wait_for(2s), std::future_status::ready);

        Bytes wire;
        for (int i = 0; i < 4999; ++i)
            core::appendFrame(wire, moveBody(2, 2));
        wire.insert(wire.end(), {0, 0, 0}); // the start of a header
        ASSERT_TRUE(session.phone.sendRaw(wire));
        core::runningFlag = false;
        ASSERT_EQ(::write(stopPipe[1], "x", 1), 1);
        holding.release.set_value();

        EXPECT_TRUE(session.phone.waitForClose(2000));
        session.finish();
    }
    core::runningFlag = true;
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
    EXPECT_EQ(holding.moves, 5000);
    EXPECT_EQ(core::moveCount.load() - moves, 5000u);
    EXPECT_EQ(log.lines().back(), "[C++] Client disconnected (0 active)");
    EXPECT_EQ(log.count("recvFrame fail"), 0u);
}

} // namespace
} // namespace pointrelay
