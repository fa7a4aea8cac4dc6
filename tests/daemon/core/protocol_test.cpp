// SPDX-License-Identifier: MIT
// The wire and its guards: frames (length limits checked before a body is read, per-wait
// time-outs, the buffered reader that sessions use), the handshake
// and key schedule against the vectors the browser page is tested with too, record
// protection's variant and framing search, the memory of accepted HELLO nonces and the limits
// on connections that wait for their HELLO; then the command line, the log and statistics.
#include "core/counters.h"
#include "core/device_keys.h"
#include "core/frame.h"
#include "core/frame_reader.h"
#include "core/handshake.h"
#include "core/handshake_admission.h"
#include "core/log.h"
#include "core/options.h"
#include "core/record.h"
#include "core/replay_guard.h"
#include "core/statistics.h"
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/hex.h"
#include "support/log_capture.h"
#include "support/socket_pair.h"
#include "support/temp_dir.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <regex>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <thread>

namespace pointrelay::core {
namespace {

namespace fs = std::filesystem;
using namespace test;

// The header's length limits are shared with the frame reader and the handshake (tested there
// and in the session tests), as is its byte order (which the raw headers of the session tests
// and the browser page's frames pin down); here a time-out and a write to a closed peer.
TEST(Frames, TimeOutsAndAClosedPeer) {
    test::SocketPair link;
    Bytes body;
    ASSERT_TRUE(link.write({0, 0, 0, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9})); // one byte short
    EXPECT_FALSE(recvFrame(link.reader(), body, 200));
    // A body that comes in two reads: the last byte is sent once the rest has been taken.
    ASSERT_TRUE(link.write({0, 0, 0, 3, 1, 2}));
    std::thread rest([&] {
        int left = 1;
        EXPECT_TRUE(eventually([&] { return !::ioctl(link.reader(), FIONREAD, &left) && !left; }));
        link.write({3});
    });
    EXPECT_TRUE(recvFrame(link.reader(), body, 2000) && body == (Bytes{1, 2, 3}));
    rest.join();
    link.closeWriter();
    EXPECT_FALSE(sendFrame(link.reader(), Bytes{1})); // fails, does not kill the process
}

TEST(FrameReader, FramesCutAnywhereComeOutWholeAndInOrder) {
    test::SocketPair link;
    std::vector<Bytes> sent, received;
    Bytes wire;
    for (const size_t size : {1, 18, 4095, 4096, 65535, 300, 65535, 1, 9000}) {
        sent.emplace_back(size, uint8_t(sent.size() + 1));
        appendFrame(wire, sent.back());
    }
    std::thread writer([&] { // pieces from single bytes (inside headers) to more than a buffer
        static constexpr size_t kPieces[] = {1, 2, 3, 7, 4093, 13, 70001, 61, 509, 65539};
        for (size_t i = 0, at = 0, n; at < wire.size(); ++i, at += n) {
            n = std::min(kPieces[i % std::size(kPieces)], wire.size() - at);
            ASSERT_TRUE(link.write(Bytes(wire.begin() + at, wire.begin() + at + n)));
        }
    });
    FrameReader frames; // read as a session does: wait, one read, every complete frame
    std::span<const uint8_t> body;
    for (pollfd ready{link.reader(), POLLIN, 0};
         received.size() < sent.size() && ::poll(&ready, 1, 2000) > 0 && frames.fill(ready.fd) > 0;)
        while (frames.next(body) == FrameReader::Next::Frame)
            received.emplace_back(body.begin(), body.end());
    writer.join();
    EXPECT_EQ(std::pair(received, frames.midFrame()), std::pair(sent, false));
    EXPECT_EQ(frames.capacity(), FrameReader::kMaxCapacity); // it streamed: the largest buffer

    // A bad length is found before its body arrives, after the intact frame before it; a
    // closed peer leaves an unfinished frame unfinished.
    using enum FrameReader::Next;
    FrameReader bad, cut;
    ASSERT_TRUE(link.write({0, 0, 0, 1, 0x11, 0, 1, 0, 0}) && bad.fill(link.reader()) == 9);
    EXPECT_EQ((std::vector{bad.next(body), bad.next(body)}), (std::vector{Frame, BadLength}));
    ASSERT_TRUE(link.write({0, 0, 0, 5, 0x11, 0}) && cut.fill(link.reader()) == 6 &&
                cut.midFrame());
    link.closeWriter(); // little traffic, small buffer
    EXPECT_EQ((std::tuple{cut.fill(link.reader()), cut.next(body), cut.capacity()}),
              std::tuple(ssize_t{0}, Incomplete, FrameReader::kInitialCapacity));
}

// A string member of the shared vectors file (tests/web/vectors.json).
std::string vector(const std::string& name) {
    const std::string all(std::istreambuf_iterator<char>(std::ifstream(WEB_VECTORS).rdbuf()), {});
    std::smatch match;
    if (!std::regex_search(all, match, std::regex("\"" + name + "\": \"((?:[^\"\\\\]|\\\\.)*)\"")))
        ADD_FAILURE() << name;
    return std::regex_replace(match[1].str(), std::regex("\\\\(.)"), "$1");
}

TEST(Handshake, HelloWelcomeKeysAndSealedTextMatchTheSharedVectors) {
    const std::string psk = vector("psk");
    const auto client = test::hexArray<16>(vector("clientNonce"));
    const auto server = test::hexArray<16>(vector("serverNonce"));
    SessionKeys keys = deriveSessionKeys(psk, client, server);
    const auto named = [](auto... names) { return std::vector{hex(vector(names))...}; };
    EXPECT_EQ(
        (std::vector{toBytes(buildHello(psk, client)), toBytes(buildWelcome(psk, client, server)),
                     toBytes(keys.textCs), toBytes(keys.textSc), toBytes(keys.keyCs),
                     toBytes(keys.keySc), toBytes(keys.nonceBaseCs), toBytes(keys.nonceBaseSc)}),
        named("hello", "welcome", "textCs", "textSc", "keyCs", "keySc", "nonceBaseCs",
              "nonceBaseSc"));
    Bytes plain;
    const Bytes text = toBytes(vector("text"));
    for (const uint32_t counter : {0u, 1u}) {
        const Bytes sealed = hex(vector("counter" + std::to_string(counter)));
        EXPECT_EQ((std::tuple{client::sealRecord(keys, AeadVariant::TextCs,
                                                 AeadFraming::Offset1NoAad, counter, text),
                              openRecord(keys, sealed, plain), plain}),
                  std::tuple(sealed, RecordOpen::Opened, text));
    }
}

TEST(RecordProtection, TheFirstFrameChoosesTheVariantUnderAnyFraming) {
    const Bytes text{'o', 'k'};
    for (const AeadVariant variant : kAllVariants)
        for (const AeadFraming framing : kAllFramings) {
            SessionKeys keys = deriveSessionKeys("k", {1}, {2});
            Bytes plain;
            const Bytes sealed = client::sealRecord(keys, variant, framing, 0, text);
            EXPECT_EQ((std::tuple{openRecord(keys, sealed, plain), plain, keys.chosenVariant,
                                  keys.rxCounter}),
                      std::tuple(RecordOpen::Opened, text, variant, 1u));
            if (framing == AeadFraming::Offset2Aad10) { // tried only behind its marker byte,
                Bytes unmarked = client::sealRecord(keys, variant, framing, 1, text);
                unmarked[1] = 0x11; // and only with a byte of ciphertext after it
                for (const Bytes& body : {unmarked, Bytes(kMinAeadFrame, 0x10)})
                    EXPECT_EQ(
                        (std::tuple{openRecord(keys, body, plain), keys.rxCounter, plain.size()}),
                        std::tuple(RecordOpen::Failed, 1u, size_t{0}));
            }
        }
    EXPECT_EQ(toBytes(recordNonce({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 0x01020304)),
              (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4}));
}

using Args = std::vector<const char*>;

std::optional<StartupOptions> parse(Args args) {
    args.insert(args.begin(), "pointrelayd");
    return parseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, ValuesClampsAndUsageErrors) {
    // (The daemon tests run it in the foreground with the built-in key, mDNS its own test.)
    EXPECT_TRUE(parse({}).value().config.keepalive);
    // Each row: arguments, then the port, idle, ping, grace and statistics they give.
    const std::tuple<Args, int, int, int, int, int> rows[] = {
        {{}, 9000, 600000, 20000, 3, 0},
        {{"--port", "80"}, 9000, 600000, 20000, 3, 0},
        {{"--port", "1500", "--port", "65535"}, 65535, 600000, 20000, 3, 0},
        {{"--port", "9000abc", "--idle-ms", "0"}, 9000, 1000, 20000, 3, 0},
        {{"--port", "  +1500", "--ping-ms", "-5", "--grace", "0"}, 1500, 600000, 1000, 1, 0},
        {{"--stat-ms", "0", "--idle-ms", "2147483647"}, 9000, 2147483647, 20000, 3, 100}};
    for (const auto& [args, port, idle, ping, grace, stat] : rows) {
        const auto options = parse(args);
        ASSERT_TRUE(options) << ::testing::PrintToString(args);
        EXPECT_EQ(std::tuple(int(options->port), options->config.idleMs, options->config.pingMs,
                             options->config.grace, options->statMs),
                  std::tuple(port, idle, ping, grace, stat))
            << ::testing::PrintToString(args);
    }
    EXPECT_EQ(parse({"--port", "80", "--port", "0"})->refusedPorts,
              (std::vector<std::string>{"80", "0"}));
    const auto flags = parse({"--no-keepalive", "--daemon", "--no-mdns", "--psk", "abc"});
    EXPECT_EQ(std::tuple(flags->config.keepalive, flags->background, flags->mdns, flags->config.psk,
                         flags->pskArgIndices),
              std::tuple(false, true, false, "abc", std::vector<int>{5}));
    for (const Args& bad :
         {Args{"--psk"}, Args{"--port", "9001", "--stat-ms"}, Args{"--help"}, Args{"--port=9001"},
          Args{"extra"}, Args{"--port", "abc"}, Args{"--ping-ms", "-"},
          Args{"--grace", "2147483648"}, Args{"--stat-ms", "-2147483649"}})
        EXPECT_FALSE(parse(bad)) << bad.front();
    EXPECT_EQ(parseLeadingInt32("-2147483648"), -2147483647 - 1);
}

// (Every line but STAT's has the "[C++] " prefix: the session tests and the application's
// parser of the real daemon's lines see that.)
TEST(Log, EscapesAndStatistics) {
    test::LogCapture log;
    EXPECT_EQ(escapeForLog(std::string("a\nClient connected (9 active)\r\x7F\x00\xC3\xA9", 34)),
              "a\\x0AClient connected (9 active)\\x0D\\x7F\\x00\xC3\xA9");

    const uint64_t base = moveCount.load();
    StatisticsReporter reporter;
    ASSERT_TRUE(reporter.start(std::chrono::milliseconds(500)));
    moveCount += 10;
    ASSERT_TRUE(log.waitFor("rateMove=0.000000", std::chrono::seconds(3)));
    moveCount += 5;
    reporter.stop(); // wakes the sleep in progress, which writes the final totals
    const auto lines = log.lines();
    double rate = 0;
    unsigned long long total = 0;
    ASSERT_EQ(2, std::sscanf(lines.at(0).c_str(), "STAT move=%llu scroll=%*u rateMove=%lf", &total,
                             &rate));
    EXPECT_EQ(total, base + 10);
    EXPECT_NEAR(rate, 20.0, 2.0);
    EXPECT_TRUE(lines.back().starts_with("STAT move=" + std::to_string(base + 15) + " "));
}

HandshakeNonce nonce(uint32_t n) {
    return {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16)};
}

TEST(ReplayGuard, RemembersTheNewestNoncesOfAKeyAcrossRestartsAndRecoversBadFiles) {
    test::TempDir dir;
    const fs::path file = dir.path() / "pointrelay" / "replay-nonces";
    {
        ReplayGuard guard("key one", 8);
        ASSERT_TRUE(guard.attachFile(file));
        for (uint32_t i = 0; i < 100; ++i)
            ASSERT_TRUE(guard.admit(nonce(i)));
        // Only the newest 8 are kept: 99 is known, 0 long forgotten.
        EXPECT_EQ((std::tuple{guard.admit(nonce(99)), guard.size(), guard.admit(nonce(0))}),
                  std::tuple(false, size_t{8}, true));
    }
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_LE(fs::file_size(file), 40u + 2 * 8 * 16); // compacted, never unbounded
    const auto restarted = [&](std::string_view key, uint32_t n) {
        ReplayGuard guard(key, 8);
        EXPECT_TRUE(guard.attachFile(file));
        return guard.admit(nonce(n));
    };
    EXPECT_TRUE(!restarted("key one", 98) && restarted("key one", 50));
    // A full disk (a file size limit of 0): a new set cannot be written, the old one stays,
    // and the guard keeps to memory.
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit full{0, limit.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &full);
    ReplayGuard guard("key two", 8);
    EXPECT_FALSE(guard.attachFile(file));
    ::setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_TRUE(guard.admit(nonce(1)) && !guard.admit(nonce(1)) && !restarted("key one", 98));
    fs::create_directory(file.string() + ".new"); // nowhere to write a new set
    EXPECT_FALSE(ReplayGuard("key three", 8).attachFile(file));
    fs::remove(file.string() + ".new");
    std::ofstream(file, std::ios::app | std::ios::binary) << "torn"; // a crash mid-write
    // A new key starts a new set.
    EXPECT_TRUE(!restarted("key one", 97) && restarted("key two", 97));
    std::ofstream(file, std::ios::trunc) << "not ours";
    EXPECT_TRUE(restarted("key two", 97));
}

// A key of 16 characters is the shortest listed, a file of 64 KiB the largest read.
TEST(KeysFile, ShortestKeyAndLargestFile) {
    TempDir dir;
    const auto file = dir.path() / "devices";
    const auto write = [&](const std::string& text) {
        std::ofstream(file, std::ios::trunc) << text;
        std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                               std::filesystem::perms::owner_write);
    };
    const std::string key(16, 'k');
    write(std::string(15, 'k') + " A\n" + key + " B\r\n" + key + "\tC\n" + key + " again\n");
    const KeysFile keys = readKeysFile(file);
    EXPECT_EQ(keys.badLines, (std::vector<size_t>{1, 3}));
    ASSERT_EQ(keys.entries.size(), 1u);
    EXPECT_EQ(keys.entries[0].name, "B");
    const std::string largest = key + " " + std::string(KeysFile::kMaxKeysFileBytes - 18, 'n');
    write(largest + "\n");
    EXPECT_EQ(readKeysFile(file).problem, KeysFile::Problem::none);
    write(largest + "\n\n");
    EXPECT_EQ(readKeysFile(file).problem, KeysFile::Problem::tooLarge);
}

TEST(HandshakeAdmission, EvictsTheOldestOfTheSameAddressThenOverall) {
    test::LogCapture log;
    HandshakeAdmission admission(2, 4);
    // The daemon holds one end of each pair; an evicted one is shut, which the other end sees.
    test::SocketPair pairs[6];
    const auto evicted = [&](int i) {
        uint8_t b;
        return ::recv(pairs[i].writer(), &b, 1, MSG_DONTWAIT) == 0;
    };
    const uint64_t first = admission.admit(pairs[0].reader(), 1);
    admission.admit(pairs[1].reader(), 1);
    admission.admit(pairs[2].reader(), 1); // a third from address 1: its oldest goes
    EXPECT_TRUE(evicted(0) && !evicted(1));
    admission.release(first); // releasing an evicted ticket is harmless
    admission.admit(pairs[3].reader(), 2);
    admission.admit(pairs[4].reader(), 3);
    EXPECT_EQ(admission.pendingCount(), 4u);
    const uint64_t last = admission.admit(pairs[5].reader(), 4); // a fifth: the oldest goes
    EXPECT_TRUE(evicted(1) && !evicted(2));
    admission.release(last);
    EXPECT_EQ(admission.pendingCount(), 3u);
    EXPECT_EQ(log.count("Too many pending handshakes -> closing the oldest"), 1u); // once a second
    admission.shutdownAll();
    EXPECT_EQ((std::tuple{evicted(3), evicted(4), evicted(5), admission.pendingCount()}),
              std::tuple(true, true, false, size_t{0}));
}

} // namespace
} // namespace pointrelay::core
