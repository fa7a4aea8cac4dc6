// SPDX-License-Identifier: MIT
// Whole sessions in-process: the phone client on one end of a socket pair, a recording input
// layer behind the session. Dispatch, sealed text, handshake refusals and time limits, PINGs
// and idle peers, frames that straddle reads, a stop, a hang-up, and many sessions at once.
#include "core/counters.h"
#include "core/crypto/random.h"
#include "core/frame.h"
#include "core/input_handler.h"
#include "core/replay_guard.h"
#include "core/session.h"
#include "core/statistics.h"
#include "phone_client.h"
#include "support/hex.h"
#include "support/log_capture.h"

#include <arpa/inet.h>
#include <future>
#include <gtest/gtest.h>

namespace pointrelay {
namespace {

using namespace std::chrono_literals;
using core::AeadFraming;
using core::AeadVariant;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

constexpr char kPsk[] = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

Bytes move(int16_t dx, int16_t dy) {
    return {0x11, uint8_t(dx >> 8), uint8_t(dx), uint8_t(dy >> 8), uint8_t(dy)};
}

// Records every call a session makes into the input layer, as readable strings.
class RecordingInput : public core::InputHandler {
public:
    void injectMove(double dx, double dy) override { add("move", dx, dy); }
    void injectScroll(double dx, double dy) override { add("scroll", dx, dy); }
    void injectButton(bool left, bool down) override {
        add(std::string("button ") + (left ? "left" : "right") + (down ? " down" : " up"));
    }
    void handleTextMessage(int, std::string_view text) override {
        add("text " + std::string(text));
    }
    Lines calls() const {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::atomic<int> delayMs{0}; ///< each call takes this long

private:
    void add(const char* what, double x, double y) {
        add(std::string(what) + " " + std::to_string(int(x)) + " " + std::to_string(int(y)));
    }
    void add(std::string call) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
    }
    mutable std::mutex m_mutex;
    Lines m_calls;
};

// One session run in-process on a socket pair, with the phone's end in `phone`.
struct Session {
    Session(const core::ServerConfig& config, const core::SessionContext& context) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        sockaddr_in peer{};
        ::inet_pton(AF_INET, "192.0.2.7", &peer.sin_addr);
        thread = std::thread([=] { core::runClientSession(fds[0], peer, config, context); });
        phone.adopt(fds[1]);
    }
    ~Session() { finish(); }
    // Hangs up and waits for the session to end.
    void finish() {
        phone.close();
        if (thread.joinable())
            thread.join();
    }
    // Round-trips a PING, so every frame sent before it has been handled.
    bool sync() {
        Bytes body;
        bool sent = phone.sendPing();
        while (sent && phone.recvFrame(body, 3000))
            if (body == Bytes{0xFF})
                return true;
        return false;
    }
    client::PhoneClient phone;
    std::thread thread;
};

class SessionTest : public ::testing::Test {
protected:
    SessionTest() {
        config.psk = kPsk;
        context.input = &input;
    }
    // The log lines from line `skip` on (a session starts with two arrival lines).
    Lines logAfter(size_t skip, const test::LogCapture& from) const {
        const Lines lines = from.lines();
        return Lines(lines.begin() + std::min(skip, lines.size()), lines.end());
    }

    test::LogCapture log;
    RecordingInput input;
    core::ServerConfig config;
    core::SessionContext context;
};

TEST_F(SessionTest, DispatchesEveryFrameTypeAndSkipsMalformedOnes) {
    const uint64_t moves = core::moveCount, scrolls = core::scrollCount;
    Session session(config, context);
    ASSERT_TRUE(session.phone.handshake(kPsk));
    for (const Bytes& frame :
         {move(5, -5), Bytes{0x11, 0x00, 0x05, 0xFF}, Bytes{0x11, 0x80, 0x00, 0x7F, 0xFF, 0xEE},
          Bytes{0x12, 0x00, 0x00, 0xFF, 0xFD}, Bytes{0x12, 0x00}, Bytes{0x13, 0x00, 0x01},
          Bytes{0x13, 0x02, 0x00}, Bytes{0x13, 0x01}, Bytes{0x02}, Bytes{0xAB, 1, 2},
          Bytes{0x10, 'h', 'i'}, Bytes{0xFF, 0x01}})
        ASSERT_TRUE(session.phone.sendFrame(frame));
    const std::string command = R"({"type":"sys","action":"copy"})";
    ASSERT_TRUE(session.phone.sendSealedText(command)); // text/cs, counter 0, no AAD
    ASSERT_TRUE(session.phone.sendSealedText("x"));     // counter 1; an 18-byte frame
    ASSERT_TRUE(session.sync());
    EXPECT_EQ(input.calls(),
              (Lines{"move 5 -5", "move -32768 32767", "scroll 0 -3", "button left down",
                     "button right up", "text hi", "text " + command, "text x"}));
    EXPECT_EQ(core::moveCount - moves, 2u);
    EXPECT_EQ(core::scrollCount - scrolls, 1u);
    session.finish();
    EXPECT_EQ(
        logAfter(2, log),
        (Lines{"[C++] Handshake: OK", "[C++] bad mouse move", "[C++] bad scroll",
               "[C++] CLICK: btn=0 down", "[C++] CLICK: btn=2 up", "[C++] bad click",
               "[C++] Unknown frame type: 0x02 (len=1)", "[C++] Unknown frame type: 0xAB (len=3)",
               "[C++] recvFrame fail (peer closed or timeout)",
               "[C++] Client disconnected (0 active)"}));
}

// Every variant opens under every framing; once the first frame has chosen one, a frame that
// does not open under it closes the session.
TEST_F(SessionTest, SealedFramesThatDoNotOpenClose) {
    const Bytes hi{'h', 'i'};
    const std::tuple<const char*, AeadVariant, uint32_t, uint8_t> cases[] = {
        {"other variant", AeadVariant::TextCs, 3, 0},
        {"flipped tag bit", AeadVariant::KeySc, 3, 1},
        {"reused counter", AeadVariant::KeySc, 2, 0},
        {"counter skipped", AeadVariant::KeySc, 5, 0}};
    for (const auto& [name, variant, counter, flip] : cases) {
        SCOPED_TRACE(name);
        test::LogCapture caseLog;
        RecordingInput caseInput;
        context.input = &caseInput;
        Session session(config, context);
        auto& phone = session.phone;
        ASSERT_TRUE(phone.handshake(kPsk));
        ASSERT_TRUE(phone.sendSealedText("a", AeadVariant::KeySc, AeadFraming::Offset2Aad10) &&
                    phone.sendSealedText("b", AeadVariant::KeySc, AeadFraming::Offset1NoAad) &&
                    phone.sendSealedText("c", AeadVariant::KeySc, AeadFraming::Offset1Aad10));
        ASSERT_TRUE(phone.sendFrame(Bytes(17, 0x90))); // too short: skipped
        ASSERT_TRUE(session.sync());
        EXPECT_EQ(caseInput.calls(), (Lines{"text a", "text b", "text c"}));
        Bytes bad =
            client::sealRecord(phone.keys(), variant, AeadFraming::Offset1NoAad, counter, hi);
        bad.back() ^= flip;
        ASSERT_TRUE(phone.sendFrame(bad));
        EXPECT_TRUE(phone.waitForClose(3000));
        session.finish();
        EXPECT_EQ(
            logAfter(3, caseLog),
            (Lines{"[C++] AEAD: bad frame size",
                   "[C++] WARN AEAD decrypt failed (all attempts) -> closing connection",
                   "[C++] Closed due to AEAD failure", "[C++] Client disconnected (0 active)"}));
    }
}

// A refused HELLO gets no reply, and its reason is logged. The 32 bytes the key text spells
// are not the key: the text itself is.
TEST_F(SessionTest, RefusedHellosLogTheirReasonAndGetNoReply) {
    const auto hello = [](std::string_view psk, size_t at = 0, uint8_t value = 0x01) {
        Bytes b = test::toBytes(core::buildHello(psk, core::HandshakeNonce{1, 2, 3}));
        b[at] = at == 0 ? value : b[at] ^ value;
        return b;
    };
    std::string decoded;
    for (size_t i = 0; i < 64; i += 2)
        decoded += static_cast<char>(std::stoi(std::string(kPsk + i, 2), nullptr, 16));
    Bytes shortHello = hello(kPsk), longHello = hello(kPsk);
    shortHello.pop_back();
    longHello.push_back(0);
    const std::pair<Bytes, std::string> cases[] = {
        {shortHello, "invalid HELLO size"},      {longHello, "invalid HELLO size"},
        {hello(kPsk, 0, 0x02), "wrong type"},    {hello(kPsk, 1), "bad magic"},
        {hello(kPsk, 5, 0x03), "bad version"},   {hello(decoded), "HMAC mismatch"},
        {hello(kPsk, 53, 0x80), "HMAC mismatch"}};
    for (const auto& [frame, reason] : cases) {
        SCOPED_TRACE(reason);
        test::LogCapture caseLog;
        Session session(config, context);
        Bytes wire; // one write: a wrong size is refused before its body is read
        core::appendFrame(wire, frame);
        ASSERT_TRUE(session.phone.sendRaw(wire));
        EXPECT_TRUE(session.phone.waitForClose(3000));
        session.finish();
        EXPECT_EQ(logAfter(2, caseLog),
                  (Lines{"[C++] Handshake: " + reason, "[C++] Disconnected (handshake fail)",
                         "[C++] Client disconnected (0 active)"}));
    }
    test::LogCapture rehelloLog; // a second HELLO after the handshake closes too
    Session rehello(config, context);
    ASSERT_TRUE(rehello.phone.handshake(kPsk));
    ASSERT_TRUE(rehello.phone.sendFrame(hello(kPsk, 0)));
    EXPECT_TRUE(rehello.phone.waitForClose(3000));
    EXPECT_TRUE(
        rehelloLog.waitFor("PROTO: HELLO received after handshake -> closing (client bug)."));
}

// A HELLO trickled one byte every 100 ms never stalls for the 600 ms handshake time, but takes
// 5 s: it is refused by the deadline. A bad header is refused at once, before any body byte.
TEST_F(SessionTest, HelloMustArriveWholeWithinTheHandshakeTime) {
    config.handshakeTimeoutMs = 600;
    {
        Session session(config, context);
        Bytes wire;
        core::appendFrame(wire, core::buildHello(kPsk, core::HandshakeNonce{}));
        for (size_t i = 0; i < wire.size() && session.phone.sendRaw(Bytes{wire[i]}); ++i)
            std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(session.phone.waitForClose(3000));
    }
    EXPECT_TRUE(log.waitFor("Handshake: failed to receive HELLO", 1s));
    for (const Bytes& header : {Bytes{0, 0, 0, 100}, Bytes{0, 0, 0, 0}}) {
        test::LogCapture caseLog;
        Session session(config, context);
        ASSERT_TRUE(session.phone.sendRaw(header));
        EXPECT_TRUE(
            caseLog.waitFor(header[3] ? "invalid HELLO size" : "failed to receive HELLO", 300ms));
    }
}

// A HELLO that fails its MAC cannot lock out the real nonce; a verified one is not taken twice.
TEST_F(SessionTest, ReplayedHelloIsRefusedButAForgedOneIsNotRemembered) {
    core::ReplayGuard replay(kPsk);
    context.guards.replay = &replay;
    core::HandshakeNonce fresh{};
    ASSERT_TRUE(crypto::fillRandom(fresh));
    const auto handshake = [&](std::string_view psk) {
        return Session(config, context).phone.handshake(psk, fresh);
    };
    EXPECT_FALSE(handshake("wrong key"));
    EXPECT_TRUE(handshake(kPsk));
    EXPECT_FALSE(handshake(kPsk));
    EXPECT_EQ(log.count("Handshake: replayed HELLO"), 1u);
}

// A client that stays silent is pinged, then closed: by the idle limit, or, with PINGs more
// frequent, by missed PONG deadlines. One that answers, or keeps sending, is left alone.
TEST_F(SessionTest, SilentClientsArePingedThenClosed) {
    config.pingMs = 1000;
    config.idleMs = 2500;
    config.grace = 100;
    {
        Session idle(config, context);
        ASSERT_TRUE(idle.phone.handshake(kPsk));
        Bytes body;
        ASSERT_TRUE(idle.phone.recvFrame(body, 2500));
        EXPECT_EQ(body, Bytes{0xFE});
        EXPECT_TRUE(idle.phone.waitForClose(5000));
    }
    EXPECT_TRUE(log.waitFor("Idle timeout -> closing", 1s));
    config.idleMs = 600000;
    config.grace = 2;
    Session silent(config, context), answering(config, context), moving(config, context);
    for (auto* session : {&silent, &answering, &moving})
        ASSERT_TRUE(session->phone.handshake(kPsk));
    std::atomic<bool> stop{false};
    std::thread answerer([&] {
        for (Bytes body; !stop;)
            if (answering.phone.recvFrame(body, 200) && body == Bytes{0xFE})
                answering.phone.sendPong();
    });
    std::thread mover([&] {
        for (; !stop; std::this_thread::sleep_for(700ms))
            moving.phone.sendMove(1, 1);
    });
    EXPECT_TRUE(silent.phone.waitForClose(12000));
    std::this_thread::sleep_for(2s);
    stop = true;
    answerer.join();
    mover.join();
    EXPECT_EQ(log.count("No PONGs -> closing"), 1u);
    EXPECT_TRUE(answering.sync() && moving.sync());
}

// Thousands of frames in one write, around a text of the largest size: frames straddle every
// read and are handled in order, and counted by the time the PONG comes back. Inside a frame
// each wait for the next piece lasts at most a second.
TEST_F(SessionTest, FramesStraddlingReadsAndSlowPieces) {
    const uint64_t moves = core::moveCount;
    Session session(config, context);
    ASSERT_TRUE(session.phone.handshake(kPsk));
    Bytes wire, text(core::kMaxFrameBody, 't');
    text[0] = 0x10;
    Lines expected;
    for (int i = 0; i < 12000; ++i) {
        if (i == 7000) {
            core::appendFrame(wire, text);
            expected.push_back("text " + std::string(core::kMaxFrameBody - 1, 't'));
        }
        core::appendFrame(wire, move(static_cast<int16_t>(i % 100), -1));
        expected.push_back("move " + std::to_string(i % 100) + " -1");
    }
    ASSERT_TRUE(session.phone.sendRaw(wire));
    ASSERT_TRUE(session.sync());
    EXPECT_EQ(input.calls(), expected);
    EXPECT_EQ(core::moveCount - moves, 12000u);

    for (const Bytes& piece : {Bytes{0, 0}, Bytes{0, 5, 0x11}, Bytes{0, 7, 0, 9}}) {
        ASSERT_TRUE(session.phone.sendRaw(piece));
        std::this_thread::sleep_for(piece.size() == 4 ? 0ms : 600ms);
    }
    ASSERT_TRUE(session.sync());
    EXPECT_EQ(input.calls().back(), "move 7 9");
    ASSERT_TRUE(session.phone.sendRaw(Bytes{0, 0, 0, 9, 0x10, 'a'})); // and then nothing
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(session.phone.waitForClose(3000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1600ms);
}

// Frames that had reached the daemon when it was told to stop are still handled and counted
// (an unfinished last frame is not), and the session then closes with its line.
TEST_F(SessionTest, StoppingHandlesTheFramesThatHadArrived) {
    struct Holding final : RecordingInput { // holds the session inside its first move
        void injectMove(double, double) override {
            if (++moves == 1) {
                entered.set_value();
                release.get_future().wait();
            }
        }
        std::atomic<int> moves{0};
        std::promise<void> entered, release;
    } holding;
    context.input = &holding;
    int stopPipe[2];
    ASSERT_EQ(::pipe(stopPipe), 0);
    context.stopFd = stopPipe[0];
    const uint64_t moves = core::moveCount;
    {
        Session session(config, context);
        ASSERT_TRUE(session.phone.handshake(kPsk));
        ASSERT_TRUE(session.phone.sendFrame(move(1, 1)));
        ASSERT_EQ(holding.entered.get_future().wait_for(2s), std::future_status::ready);
        Bytes wire;
        for (int i = 0; i < 4999; ++i)
            core::appendFrame(wire, move(2, 2));
        wire.insert(wire.end(), {0, 0, 0}); // the start of a header
        ASSERT_TRUE(session.phone.sendRaw(wire));
        core::runningFlag = false;
        ASSERT_EQ(::write(stopPipe[1], "x", 1), 1);
        holding.release.set_value();
        EXPECT_TRUE(session.phone.waitForClose(2000));
    }
    core::runningFlag = true;
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
    EXPECT_EQ(holding.moves, 5000);
    EXPECT_EQ(core::moveCount - moves, 5000u);
    EXPECT_EQ(log.lines().back(), "[C++] Client disconnected (0 active)");
    EXPECT_EQ(log.count("recvFrame fail"), 0u);
}

// A phone that hangs up with text still queued gets a short while for it; the rest is dropped
// with one line, not typed for a phone that is gone.
TEST_F(SessionTest, AHungUpPhonesQueuedTextIsDropped) {
    input.delayMs = 5;
    Session session(config, context);
    ASSERT_TRUE(session.phone.handshake(kPsk));
    Bytes wire;
    for (int i = 0; i < 1000; ++i)
        core::appendFrame(wire, Bytes{0x10, 'k'});
    ASSERT_TRUE(session.phone.sendRaw(wire));
    session.finish();
    const Lines lines = log.lines();
    int dropped = -1;
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::sscanf(lines[lines.size() - 2].c_str(),
                          "[C++] Phone hung up -> %d queued frames dropped", &dropped),
              1)
        << lines[lines.size() - 2];
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(input.calls().size() + dropped, 1000u);
    EXPECT_EQ(lines.back(), "[C++] Client disconnected (0 active)");
}

// Many phones at once, with the statistics reporter reading the counters meanwhile: every
// frame is counted and handed on once, and the log keeps one arrival and one departure line
// per session. (The hardened test run executes this under TSan.)
TEST_F(SessionTest, ConcurrentSessionsCountAndDeliverEveryFrame) {
    constexpr int kPhones = 12, kMoves = 150;
    const uint64_t moves = core::moveCount;
    core::StatisticsReporter statistics;
    ASSERT_TRUE(statistics.start(5ms));
    std::atomic<int> served{0};
    std::vector<std::thread> phones;
    for (int i = 0; i < kPhones; ++i) {
        phones.emplace_back([&] {
            Session session(config, context);
            if (!session.phone.handshake(kPsk))
                return;
            for (int k = 0; k < kMoves; ++k)
                session.phone.sendMove(1, -1);
            session.phone.sendSealedText("x");
            served += session.sync();
        });
    }
    for (auto& phone : phones)
        phone.join();
    statistics.stop();
    EXPECT_EQ(served, kPhones);
    EXPECT_EQ(core::moveCount - moves, uint64_t{kPhones * kMoves});
    const Lines calls = input.calls();
    EXPECT_EQ(std::ranges::count(calls, "move 1 -1"), kPhones * kMoves);
    EXPECT_EQ(std::ranges::count(calls, "text x"), kPhones);
    EXPECT_EQ(log.count("Client connected ("), size_t{kPhones});
    EXPECT_EQ(log.count("Client disconnected ("), size_t{kPhones});
    EXPECT_EQ(log.lines().front(), "[C++] Client connected: 192.0.2.7");
    EXPECT_GT(log.count("STAT move="), 0u);
}

} // namespace
} // namespace pointrelay
