// SPDX-License-Identifier: MIT
// Whole sessions in-process: the phone client on one end of a socket pair, a recording input
// layer behind the session. Dispatch, sealed text, handshake refusals and deadlines, missed
// PONGs, frames in slow pieces, a stop and a hang-up. (The daemon's own tests run many sessions
// at once, also under TSan, and see replayed and forged HELLOs.)
#include "core/counters.h"
#include "core/frame.h"
#include "core/input_handler.h"
#include "core/session.h"
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/hex.h"
#include "support/log_capture.h"
#include "support/socket_pair.h"

#include <arpa/inet.h>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace pointrelay::core {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

constexpr char kPsk[] = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kLeft = "[C++] Client disconnected (0 active)";

Bytes move(int16_t dx, int16_t dy) {
    return {0x11, uint8_t(dx >> 8), uint8_t(dx), uint8_t(dy >> 8), uint8_t(dy)};
}

// `n` frames of `body`, as one piece of the wire.
Bytes frames(int n, const Bytes& body) {
    Bytes wire;
    while (n-- > 0)
        appendFrame(wire, body);
    return wire;
}

// Every call a session makes into the input layer, as readable strings; each takes `delayMs`.
struct RecordingInput : InputHandler {
    void injectMove(double dx, double dy) override { add("move", dx, dy); }
    void injectScroll(double dx, double dy) override { add("scroll", dx, dy); }
    void injectButton(bool left, bool down) override {
        add(std::string("button ") + (left ? "left" : "right") + (down ? " down" : " up"));
    }
    void handleTextMessage(int, std::string_view s) override { add("text " + std::string(s)); }
    void add(const char* what, double x, double y) {
        add(what + (" " + std::to_string(int(x))) + " " + std::to_string(int(y)));
    }
    void add(std::string call) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        std::lock_guard lock(mutex);
        recorded.push_back(std::move(call));
    }
    Lines calls() {
        std::lock_guard lock(mutex);
        return recorded;
    }
    std::atomic<int> delayMs{0};
    std::mutex mutex;
    Lines recorded;
};

// One session run in-process on a socket pair, with the phone's end in `phone`.
struct Session {
    Session(const ServerConfig& config, const SessionContext& context) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        sockaddr_in peer{};
        ::inet_pton(AF_INET, "192.0.2.7", &peer.sin_addr);
        thread = std::thread([=] { runClientSession(fds[0], peer, config, context); });
        phone.adopt(fds[1]);
    }
    ~Session() { finish(); }
    void finish() { // hangs up and waits for the session to end
        phone.close();
        if (thread.joinable())
            thread.join();
    }
    bool sync() { return test::pingRoundTrip(phone); } // then every earlier frame was handled
    client::PhoneClient phone;
    std::thread thread;
};

// The log lines from line `skip` on (a session starts with two arrival lines).
Lines logAfter(size_t skip, const test::LogCapture& from) {
    const Lines lines = from.lines();
    return Lines(lines.begin() + std::min(skip, lines.size()), lines.end());
}

struct SessionTest : ::testing::Test {
    test::LogCapture log;
    RecordingInput input;
    ServerConfig config{.psk = kPsk};
    SessionContext context{.input = &input, .guards = {}};
};

// Inside a frame each wait for the next piece lasts at most a second: slow pieces make a
// frame, and a frame left unfinished closes the session once a second passes without more.
TEST_F(SessionTest, DispatchesEveryFrameTypeSkipsMalformedOnesAndClosesOnAStalledFrame) {
    const uint64_t moves = moveCount, scrolls = scrollCount;
    Session session(config, context);
    ASSERT_TRUE(session.phone.handshake(kPsk));
    for (const Bytes& piece : {Bytes{0, 0}, Bytes{0, 5, 0x11}, Bytes{0, 7, 0, 9}}) {
        ASSERT_TRUE(session.phone.sendRaw(piece));
        std::this_thread::sleep_for(600ms);
    }
    for (const Bytes& frame :
         {move(5, -5), Bytes{0x11, 0x00, 0x05, 0xFF}, Bytes{0x11, 0x80, 0x00, 0x7F, 0xFF, 0xEE},
          Bytes{0x12, 0x00, 0x00, 0xFF, 0xFD}, Bytes{0x12, 0x00}, Bytes{0x13, 0x00, 0x01},
          Bytes{0x13, 0x02, 0x00}, Bytes{0x13, 0x01}, Bytes{0x02}, Bytes{0xAB, 1, 2},
          Bytes{0x10, 'h', 'i'}, Bytes{0xFF, 0x01}})
        ASSERT_TRUE(session.phone.sendFrame(frame));
    const std::string command = R"({"type":"sys","action":"copy"})";
    // text/cs, no AAD: counter 0, then counter 1 in an 18-byte frame
    ASSERT_TRUE(session.phone.sendSealedText(command) && session.phone.sendSealedText("x") &&
                session.sync());
    EXPECT_EQ(input.calls(), (Lines{"move 7 9", "move 5 -5", "move -32768 32767", "scroll 0 -3",
                                    "button left down", "button right up", "text hi",
                                    "text " + command, "text x"}));
    EXPECT_EQ(std::pair(moveCount - moves, scrollCount - scrolls), std::pair(3ul, 1ul));
    ASSERT_TRUE(session.phone.sendRaw(Bytes{0, 0, 0, 9, 0x10, 'a'})); // and then nothing
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(session.phone.waitForClose(3000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
    session.finish();
    EXPECT_EQ(
        logAfter(2, log),
        (Lines{"[C++] Handshake: OK", "[C++] bad mouse move", "[C++] bad scroll",
               "[C++] CLICK: btn=0 down", "[C++] CLICK: btn=2 up", "[C++] bad click",
               "[C++] Unknown frame type: 0x02 (len=1)", "[C++] Unknown frame type: 0xAB (len=3)",
               "[C++] recvFrame fail (peer closed or timeout)", kLeft}));
}

// Every variant opens under every framing; once the first frame has chosen one, a frame that
// does not open under it closes the session.
TEST_F(SessionTest, SealedFramesThatDoNotOpenClose) {
    // (A flipped bit keeps a frame shut: the crypto tests show it, and any frame that does not
    // open takes the same way out.)
    const std::tuple<const char*, AeadVariant, uint32_t> cases[] = {
        {"other variant", AeadVariant::TextCs, 2},
        {"reused counter", AeadVariant::KeySc, 1},
        {"counter skipped", AeadVariant::KeySc, 4}};
    for (const auto& [name, variant, counter] : cases) {
        SCOPED_TRACE(name);
        test::LogCapture caseLog;
        input.recorded.clear(); // the session of the case before has ended
        Session session(config, context);
        auto& phone = session.phone;
        ASSERT_TRUE(phone.handshake(kPsk) &&
                    phone.sendSealedText("a", AeadVariant::KeySc, AeadFraming::Offset2Aad10) &&
                    phone.sendSealedText("b", AeadVariant::KeySc, AeadFraming::Offset1Aad10) &&
                    phone.sendFrame(Bytes(17, 0x90)) && session.sync()); // too short: skipped
        EXPECT_EQ(input.calls(), (Lines{"text a", "text b"}));
        const Bytes bad = client::sealRecord(phone.keys(), variant, AeadFraming::Offset1NoAad,
                                             counter, Bytes{'h', 'i'});
        ASSERT_TRUE(phone.sendFrame(bad) && phone.waitForClose(3000));
        session.finish();
        EXPECT_EQ(logAfter(3, caseLog),
                  (Lines{"[C++] AEAD: bad frame size",
                         "[C++] WARN AEAD decrypt failed (all attempts) -> closing connection",
                         "[C++] Closed due to AEAD failure", kLeft}));
    }
}

// A refused HELLO gets no reply, and its reason is logged. (That the key is the text itself,
// not the 32 bytes it spells, the shared vectors show.) A bad header is refused before any body
// byte; a HELLO trickled in slower than the handshake time is refused by its deadline, though no
// single wait lasts that long; a second HELLO after the handshake closes the session.
TEST_F(SessionTest, RefusedHellosLogTheirReasonAndGetNoReply) {
    config.handshakeTimeoutMs = 600;
    const auto hello = [](std::string_view psk, size_t at = 0, uint8_t value = 0x01) {
        Bytes b = test::toBytes(buildHello(psk, HandshakeNonce{1, 2, 3}));
        b[at] = at == 0 ? value : b[at] ^ value;
        return b;
    };
    const std::tuple<Bytes, std::string, bool> cases[] = {
        // bytes (in one write: a wrong size is refused at once), reason, one byte per 100 ms
        {frames(1, Bytes(kHelloSize - 1, 0x01)), "invalid HELLO size", false},
        {Bytes{0, 0, 0, 100}, "invalid HELLO size", false},
        {Bytes{0, 0, 0, 0}, "failed to receive HELLO", false},
        {frames(1, hello(kPsk)), "failed to receive HELLO", true},
        {frames(1, hello(kPsk, 0, 0x02)), "wrong type", false},
        {frames(1, hello(kPsk, 1)), "bad magic", false},
        {frames(1, hello(kPsk, 5, 0x03)), "bad version", false},
        {frames(1, hello(kPsk, 53, 0x80)), "HMAC mismatch", false}};
    for (const auto& [wire, reason, trickled] : cases) {
        SCOPED_TRACE(reason);
        test::LogCapture caseLog;
        Session session(config, context);
        for (size_t i = 0; trickled && i < wire.size() && session.phone.sendRaw(Bytes{wire[i]});
             ++i)
            std::this_thread::sleep_for(100ms);
        ASSERT_TRUE(trickled || session.phone.sendRaw(wire));
        EXPECT_TRUE(caseLog.waitFor("Handshake: " + reason, trickled ? 1s : 300ms) &&
                    session.phone.waitForClose(3000));
        session.finish();
        EXPECT_EQ(logAfter(2, caseLog), (Lines{"[C++] Handshake: " + reason,
                                               "[C++] Disconnected (handshake fail)", kLeft}));
    }
    test::LogCapture after; // the one above ended with its case
    Session rehello(config, context);
    ASSERT_TRUE(rehello.phone.handshake(kPsk) && rehello.phone.sendFrame(hello(kPsk)));
    EXPECT_TRUE(rehello.phone.waitForClose(3000));
    EXPECT_TRUE(after.waitFor("PROTO: HELLO received after handshake -> closing (client bug)."));
}

// With PINGs every second, a silent phone is closed after its missed PONG deadlines; one that
// answers, or keeps sending, is left alone. (The daemon's test covers the idle limit.)
TEST_F(SessionTest, SilentPhonesAreClosedAfterMissedPongs) {
    config = {.psk = kPsk, .pingMs = 1000, .grace = 2};
    Session silent(config, context), answering(config, context), moving(config, context);
    for (auto* session : {&silent, &answering, &moving})
        ASSERT_TRUE(session->phone.handshake(kPsk));
    { // the two phones kept alive until 2 s after the silent one's close
        std::jthread answerer([&](std::stop_token stop) {
            for (Bytes body; !stop.stop_requested();)
                if (answering.phone.recvFrame(body, 200) && body == Bytes{0xFE})
                    answering.phone.sendPong();
        });
        std::jthread mover([&](std::stop_token stop) {
            for (; !stop.stop_requested(); std::this_thread::sleep_for(700ms))
                moving.phone.sendMove(1, 1);
        });
        EXPECT_TRUE(silent.phone.waitForClose(12000));
        std::this_thread::sleep_for(2s);
    }
    EXPECT_TRUE(log.count("No PONGs -> closing") == 1 && answering.sync() && moving.sync());
}

// Frames that had reached the daemon when it was told to stop are still handled and counted
// (an unfinished last frame is not), and the session then closes with its line.
TEST_F(SessionTest, StoppingHandlesTheFramesThatHadArrived) {
    struct Holding final : RecordingInput { // holds the session inside its first move
        void injectMove(double, double) override {
            if (++moves == 1)
                entered.set_value(), release.get_future().wait();
        }
        std::atomic<int> moves{0};
        std::promise<void> entered, release;
    } holding;
    context.input = &holding;
    test::SocketPair stop; // the server's stop event: readable once it is set
    context.stopFd = stop.reader();
    const uint64_t moves = moveCount;
    {
        Session session(config, context);
        ASSERT_TRUE(session.phone.handshake(kPsk) && session.phone.sendFrame(move(1, 1)));
        ASSERT_EQ(holding.entered.get_future().wait_for(2s), std::future_status::ready);
        Bytes wire = frames(4999, move(2, 2));
        wire.insert(wire.end(), {0, 0, 0}); // the start of a header
        ASSERT_TRUE(session.phone.sendRaw(wire));
        runningFlag = false;
        ASSERT_TRUE(stop.write({'x'}));
        holding.release.set_value();
        EXPECT_TRUE(session.phone.waitForClose(2000));
    }
    runningFlag = true;
    EXPECT_EQ(std::pair(holding.moves.load(), moveCount - moves), std::pair(5000, 5000ul));
    EXPECT_EQ(std::pair(log.lines().back(), log.count("recvFrame fail")), std::pair(kLeft, 0ul));
}

// A phone that hangs up with text still queued gets a short while for it; the rest is dropped
// with one line, not typed for a phone that is gone.
TEST_F(SessionTest, AHungUpPhonesQueuedTextIsDropped) {
    input.delayMs = 5;
    Session session(config, context);
    ASSERT_TRUE(session.phone.handshake(kPsk) && session.phone.sendRaw(frames(1000, {0x10, 'k'})));
    session.finish();
    const Lines lines = log.lines();
    int dropped = -1;
    EXPECT_EQ(1, std::sscanf(lines.at(lines.size() - 2).c_str(),
                             "[C++] Phone hung up -> %d queued frames dropped", &dropped));
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(std::pair(input.calls().size() + dropped, lines.back()), std::pair(1000ul, kLeft));
}

} // namespace
} // namespace pointrelay::core
