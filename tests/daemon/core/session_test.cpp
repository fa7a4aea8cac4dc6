// SPDX-License-Identifier: MIT
#include "core/counters.h"
#include "core/crypto/random.h"
#include "core/frame.h"
#include "core/replay_guard.h"
#include "core/statistics.h"
#include "support/log_capture.h"
#include "support/recording_input.h"
#include "support/session_harness.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace pointrelay {
namespace {

using core::AeadFraming;
using core::AeadVariant;
using test::SessionHarness;
using Bytes = std::vector<uint8_t>;

constexpr char kPsk[] = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

class SessionTest : public ::testing::Test {
protected:
    SessionTest() {
        config.psk = kPsk;
        context.input = &input;
    }

    // Lines logged since the session's "Client connected" lines, which every test shares.
    std::vector<std::string> sessionLines() {
        auto lines = log.lines();
        lines.erase(lines.begin(), lines.begin() + std::min<size_t>(2, lines.size()));
        return lines;
    }

    test::LogCapture log;
    test::RecordingInput input;
    core::ServerConfig config;
    core::SessionContext context;
};

TEST_F(SessionTest, DispatchesEveryFrameTypeAndSkipsMalformedOnes) {
    const uint64_t moves = core::moveCount.load();
    const uint64_t scrolls = core::scrollCount.load();
    SessionHarness session(config, context);
    ASSERT_TRUE(session.phone.handshake(kPsk));

    auto& phone = session.phone;
    phone.sendFrame(Bytes{0x11, 0x00, 0x05, 0xFF, 0xFB});
    phone.sendFrame(Bytes{0x11, 0x00, 0x05, 0xFF});
    phone.sendFrame(Bytes{0x11, 0x80, 0x00, 0x7F, 0xFF, 0xEE}); // extreme values, extra byte
    phone.sendFrame(Bytes{0x12, 0x00, 0x00, 0xFF, 0xFD});
    phone.sendFrame(Bytes{0x12, 0x00});
    phone.sendFrame(Bytes{0x13, 0x00, 0x01});
    phone.sendFrame(Bytes{0x13, 0x02, 0x00});
    phone.sendFrame(Bytes{0x13, 0x01});
    phone.sendFrame(Bytes{0x02});
    phone.sendFrame(Bytes{0xAB, 1, 2});
    phone.sendText("hello");
    phone.sendFrame(Bytes{0xFF, 0x01}); // a PONG with extra bytes is still a PONG
    ASSERT_TRUE(session.sync());

    EXPECT_EQ(input.calls(),
              (std::vector<std::string>{"move 5 -5", "move -32768 32767", "scroll 0 -3",
                                        "button left down", "button right up", "text hello"}));
    EXPECT_EQ(core::moveCount.load() - moves, 2u);
    EXPECT_EQ(core::scrollCount.load() - scrolls, 1u);
    EXPECT_EQ(sessionLines(), (std::vector<std::string>{
                                  "[C++] Handshake: OK", "[C++] bad mouse move", "[C++] bad scroll",
                                  "[C++] CLICK: btn=0 down", "[C++] CLICK: btn=2 up",
                                  "[C++] bad click", "[C++] Unknown frame type: 0x02 (len=1)",
                                  "[C++] Unknown frame type: 0xAB (len=3)"}));

    session.finish();
    EXPECT_EQ(log.lines().back(), "[C++] Client disconnected (0 active)");
    EXPECT_EQ(log.count("recvFrame fail (peer closed or timeout)"), 1u);
}

TEST_F(SessionTest, SealedTextReachesTheSameHandlerAsPlainText) {
    SessionHarness session(config, context);
    ASSERT_TRUE(session.phone.handshake(kPsk));
    const std::string command = R"({"type":"sys","action":"copy"})";
    ASSERT_TRUE(session.phone.sendText(command));
    ASSERT_TRUE(session.phone.sendSealedText(command)); // text/cs, counter 0, no AAD
    ASSERT_TRUE(session.phone.sendSealedText("x"));     // counter 1; an 18-byte frame
    ASSERT_TRUE(session.sync());
    EXPECT_EQ(input.calls(),
              (std::vector<std::string>{"text " + command, "text " + command, "text x"}));
}

TEST_F(SessionTest, VariantChosenByTheFirstFrameIsKeptUnderEveryFraming) {
    SessionHarness session(config, context);
    ASSERT_TRUE(session.phone.handshake(kPsk));
    auto& phone = session.phone;
    ASSERT_TRUE(phone.sendSealedText("a", AeadVariant::KeySc, AeadFraming::Offset2Aad10));
    ASSERT_TRUE(phone.sendSealedText("b", AeadVariant::KeySc, AeadFraming::Offset1NoAad));
    ASSERT_TRUE(phone.sendSealedText("c", AeadVariant::KeySc, AeadFraming::Offset1Aad10));
    ASSERT_TRUE(session.sync());
    EXPECT_EQ(input.calls(), (std::vector<std::string>{"text a", "text b", "text c"}));

    // Another variant is no longer tried once one was chosen.
    ASSERT_TRUE(phone.sendSealedText("d", AeadVariant::TextCs, AeadFraming::Offset1NoAad));
    EXPECT_TRUE(phone.waitForClose(3000));
    session.finish();
    EXPECT_EQ(log.count("WARN AEAD decrypt failed (all attempts) -> closing connection"), 1u);
}

TEST_F(SessionTest, AeadFailuresCloseAndShortFramesAreSkipped) {
    struct Case {
        const char* name;
        std::function<Bytes(const core::SessionKeys&)> frame;
    };
    const Bytes text{'h', 'i'};
    const std::vector<Case> cases = {
        {"flipped tag bit",
         [&](const core::SessionKeys& k) {
             Bytes b =
                 client::sealRecord(k, AeadVariant::TextCs, AeadFraming::Offset1NoAad, 0, text);
             b.back() ^= 0x01;
             return b;
         }},
        {"reused counter",
         [&](const core::SessionKeys& k) {
             // The session already opened record 0 below; 0 again must not open.
             return client::sealRecord(k, AeadVariant::TextCs, AeadFraming::Offset1NoAad, 0, text);
         }},
        {"counter skipped ahead",
         [&](const core::SessionKeys& k) {
             return client::sealRecord(k, AeadVariant::TextCs, AeadFraming::Offset1NoAad, 5, text);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture caseLog;
        SessionHarness session(config, context);
        ASSERT_TRUE(session.phone.handshake(kPsk));
        ASSERT_TRUE(session.phone.sendFrame(Bytes(17, 0x90))); // too short: skipped
        ASSERT_TRUE(session.phone.sendSealedText("first"));    // record 0
        ASSERT_TRUE(session.sync());
        ASSERT_TRUE(session.phone.sendFrame(c.frame(session.phone.keys())));
        EXPECT_TRUE(session.phone.waitForClose(3000));
        session.finish();
        auto lines = caseLog.lines();
        ASSERT_GE(lines.size(), 4u);
        lines.erase(lines.begin(), lines.end() - 4);
        EXPECT_EQ(lines,
                  (std::vector<std::string>{
                      "[C++] AEAD: bad frame size",
                      "[C++] WARN AEAD decrypt failed (all attempts) -> closing connection",
                      "[C++] Closed due to AEAD failure", "[C++] Client disconnected (0 active)"}));
    }
}

TEST_F(SessionTest, SecondHelloClosesWithOneDisconnectLine) {
    SessionHarness session(config, context);
    ASSERT_TRUE(session.phone.handshake(kPsk));
    ASSERT_TRUE(session.phone.sendFrame(core::buildHello(kPsk, core::HandshakeNonce{})));
    EXPECT_TRUE(session.phone.waitForClose(3000));
    session.finish();
    EXPECT_EQ(sessionLines(),
              (std::vector<std::string>{
                  "[C++] Handshake: OK",
                  "[C++] PROTO: HELLO received after handshake -> closing (client bug).",
                  "[C++] Closed due to re-HELLO", "[C++] Client disconnected (0 active)"}));
}

// Each refused HELLO logs its own reason, sends nothing back and ends the session in order.
TEST_F(SessionTest, RefusedHellosLogTheirReason) {
    auto hello = [](std::string_view psk) {
        const auto h = core::buildHello(psk, core::HandshakeNonce{1, 2, 3});
        return Bytes(h.begin(), h.end());
    };
    auto mutated = [&](size_t at, uint8_t value) {
        Bytes b = hello(kPsk);
        b[at] = value;
        return b;
    };
    Bytes badMagicAndVersion = mutated(1, 'X');
    badMagicAndVersion[5] = 2;
    Bytes longHello = hello(kPsk);
    longHello.push_back(0);
    // The 32 bytes the key text spells are not the key: the text itself is.
    std::string decoded;
    for (size_t i = 0; i < 64; i += 2)
        decoded += static_cast<char>(std::stoi(std::string(kPsk + i, 2), nullptr, 16));

    Bytes shortHello = hello(kPsk);
    shortHello.pop_back();
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {shortHello, "Handshake: invalid HELLO size"},
        {longHello, "Handshake: invalid HELLO size"},
        {mutated(0, 0x02), "Handshake: wrong type"},
        {badMagicAndVersion, "Handshake: bad magic"},
        {mutated(5, 2), "Handshake: bad version"},
        {hello(decoded), "Handshake: HMAC mismatch"},
        {mutated(53, hello(kPsk)[53] ^ 0x80), "Handshake: HMAC mismatch"},
    };
    for (const auto& [frame, reason] : cases) {
        SCOPED_TRACE(reason);
        test::LogCapture caseLog;
        SessionHarness session(config, context);
        // In one write: a header announcing the wrong size is refused before its body is read,
        // so a body written after it may find the connection closed already.
        Bytes wire;
        core::appendFrame(wire, frame);
        ASSERT_TRUE(session.phone.sendRaw(wire));
        EXPECT_TRUE(session.phone.waitForClose(3000)); // closed without any reply
        session.finish();
        auto lines = caseLog.lines();
        lines.erase(lines.begin(), lines.begin() + 2);
        EXPECT_EQ(lines, (std::vector<std::string>{"[C++] " + reason,
                                                   "[C++] Disconnected (handshake fail)",
                                                   "[C++] Client disconnected (0 active)"}));
    }
}

TEST_F(SessionTest, HelloMustArriveWholeWithinTheHandshakeTime) {
    config.handshakeTimeoutMs = 600;
    {
        // A HELLO trickled one byte every 100 ms never stalls for 600 ms, but takes 5 s.
        SessionHarness session(config, context);
        const auto hello = core::buildHello(kPsk, core::HandshakeNonce{});
        Bytes wire{0, 0, 0, 54};
        wire.insert(wire.end(), hello.begin(), hello.end());
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < wire.size() && session.phone.sendRaw(Bytes{wire[i]}); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_TRUE(session.phone.waitForClose(3000));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    }
    EXPECT_TRUE(log.waitFor("Handshake: failed to receive HELLO", std::chrono::seconds(1)));
    {
        // A header announcing a wrong size is refused at once, before any body byte.
        test::LogCapture caseLog;
        SessionHarness session(config, context);
        ASSERT_TRUE(session.phone.sendRaw(Bytes{0, 0, 0, 100}));
        EXPECT_TRUE(
            caseLog.waitFor("Handshake: invalid HELLO size", std::chrono::milliseconds(300)));
    }
    for (const Bytes& header : {Bytes{0, 0, 0, 0}, Bytes{0, 1, 0, 0}}) {
        test::LogCapture caseLog;
        SessionHarness session(config, context);
        ASSERT_TRUE(session.phone.sendRaw(header));
        EXPECT_TRUE(
            caseLog.waitFor("Handshake: failed to receive HELLO", std::chrono::milliseconds(300)));
    }
}

TEST_F(SessionTest, ReplayedHelloIsRefusedWithoutReply) {
    core::ReplayGuard replay(kPsk);
    context.guards.replay = &replay;
    const core::HandshakeNonce nonce{9, 9, 9};
    {
        SessionHarness session(config, context);
        ASSERT_TRUE(session.phone.handshake(kPsk, nonce));
    }
    {
        SessionHarness session(config, context);
        EXPECT_FALSE(session.phone.handshake(kPsk, nonce));
    }
    EXPECT_EQ(log.count("Handshake: replayed HELLO"), 1u);
    // A HELLO that fails its MAC is not remembered, so it cannot lock out the real nonce.
    core::HandshakeNonce fresh{};
    ASSERT_TRUE(crypto::fillRandom(fresh));
    {
        SessionHarness session(config, context);
        EXPECT_FALSE(session.phone.handshake("wrong key", fresh));
    }
    SessionHarness session(config, context);
    EXPECT_TRUE(session.phone.handshake(kPsk, fresh));
}

TEST_F(SessionTest, IdleClientIsPingedThenClosed) {
    config.pingMs = 1000;
    config.idleMs = 2500;
    config.grace = 100; // keep the missed-PONG rule out of the way
    SessionHarness session(config, context);
    ASSERT_TRUE(session.phone.handshake(kPsk));
    std::vector<uint8_t> body;
    ASSERT_TRUE(session.phone.recvFrame(body, 2500));
    EXPECT_EQ(body, Bytes{0xFE});
    EXPECT_TRUE(session.phone.waitForClose(5000));
    session.finish();
    EXPECT_EQ(log.count("Idle timeout -> closing"), 1u);
}

// A silent client that never answers PINGs is detected; one that answers, or one that keeps
// sending frames without answering, is left alone.
TEST_F(SessionTest, MissedPongsCloseOnlyTheSilentClient) {
    config.pingMs = 1000;
    config.grace = 2;
    SessionHarness silent(config, context);
    SessionHarness answering(config, context);
    SessionHarness moving(config, context);
    ASSERT_TRUE(silent.phone.handshake(kPsk));
    ASSERT_TRUE(answering.phone.handshake(kPsk));
    ASSERT_TRUE(moving.phone.handshake(kPsk));

    std::atomic<bool> stop{false};
    std::thread answerer([&] {
        std::vector<uint8_t> body;
        while (!stop && answering.phone.recvFrame(body, 200) == true) {
            if (body == Bytes{0xFE})
                answering.phone.sendPong();
        }
        while (!stop) { // recvFrame timed out between PINGs: keep listening
            if (answering.phone.recvFrame(body, 200) && body == Bytes{0xFE})
                answering.phone.sendPong();
        }
    });
    std::thread mover([&] {
        while (!stop) {
            moving.phone.sendMove(1, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
        }
    });

    EXPECT_TRUE(silent.phone.waitForClose(12000));
    EXPECT_TRUE(log.waitFor("No PONGs -> closing", std::chrono::seconds(1)));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop = true;
    answerer.join();
    mover.join();
    EXPECT_EQ(log.count("No PONGs -> closing"), 1u);
    EXPECT_TRUE(answering.sync());
    EXPECT_TRUE(moving.sync());
}

TEST_F(SessionTest, ActiveCountsFollowArrivalsAndDepartures) {
    auto first = std::make_unique<SessionHarness>(config, context);
    ASSERT_TRUE(first->phone.handshake(kPsk));
    SessionHarness second(config, context);
    EXPECT_FALSE(second.phone.handshake("not the key"));
    second.finish();
    first.reset();
    std::vector<std::string> counts;
    for (const auto& line : log.lines())
        if (line.find(" active)") != std::string::npos)
            counts.push_back(line);
    EXPECT_EQ(counts, (std::vector<std::string>{"[C++] Client connected (1 active)",
                                                "[C++] Client connected (2 active)",
                                                "[C++] Client disconnected (1 active)",
                                                "[C++] Client disconnected (0 active)"}));
    EXPECT_EQ(log.lines().front(), "[C++] Client connected: 192.0.2.7");
}

// Many phones at once, with the statistics reporter reading the counters meanwhile: every
// frame is counted and handed on once, and the log keeps one arrival and one departure line
// per session. (The hardened test run executes this under TSan.)
TEST_F(SessionTest, ConcurrentSessionsCountAndDeliverEveryFrame) {
    constexpr int kPhones = 12;
    constexpr int kMoves = 150;
    constexpr int kScrolls = 40;
    const uint64_t moves = core::moveCount.load();
    const uint64_t scrolls = core::scrollCount.load();
    core::StatisticsReporter statistics;
    ASSERT_TRUE(statistics.start(std::chrono::milliseconds(5)));

    std::atomic<int> served{0};
    std::vector<std::thread> phones;
    for (int i = 0; i < kPhones; ++i) {
        phones.emplace_back([&] {
            SessionHarness session(config, context);
            if (!session.phone.handshake(kPsk))
                return;
            for (int k = 0; k < kMoves; ++k)
                session.phone.sendMove(1, -1);
            for (int k = 0; k < kScrolls; ++k)
                session.phone.sendScroll(0, 2);
            session.phone.sendSealedText(R"({"type":"sys","action":"copy"})");
            if (session.sync())
                ++served;
        });
    }
    for (auto& phone : phones)
        phone.join();
    statistics.stop();

    EXPECT_EQ(served.load(), kPhones);
    EXPECT_EQ(core::moveCount.load() - moves, uint64_t{kPhones * kMoves});
    EXPECT_EQ(core::scrollCount.load() - scrolls, uint64_t{kPhones * kScrolls});
    const auto calls = input.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "move 1 -1"), kPhones * kMoves);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "scroll 0 2"), kPhones * kScrolls);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), R"(text {"type":"sys","action":"copy"})"),
              kPhones);
    EXPECT_EQ(log.count("Client connected ("), size_t{kPhones});
    EXPECT_EQ(log.count("Client disconnected ("), size_t{kPhones});
    EXPECT_GT(log.count("STAT move="), 0u);
}

} // namespace
} // namespace pointrelay
