// SPDX-License-Identifier: MIT
// The handshake and key schedule against the vectors the browser page is tested with too,
// record protection's variant and framing search, the command line, the log and statistics.
#include "core/counters.h"
#include "core/handshake.h"
#include "core/log.h"
#include "core/options.h"
#include "core/record.h"
#include "core/statistics.h"
#include "phone_client.h"
#include "support/hex.h"
#include "support/log_capture.h"

#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>

namespace pointrelay::core {
namespace {

using test::Bytes;
using test::hex;
using test::toBytes;

// A string member of the shared vectors file (tests/web/vectors.json).
std::string vector(const std::string& name) {
    std::ifstream file(WEB_VECTORS);
    std::stringstream text;
    text << file.rdbuf();
    std::smatch match;
    const std::string all = text.str();
    EXPECT_TRUE(
        std::regex_search(all, match, std::regex("\"" + name + "\": \"((?:[^\"\\\\]|\\\\.)*)\"")))
        << name;
    return std::regex_replace(match[1].str(), std::regex("\\\\(.)"), "$1");
}

template <size_t N>
std::array<uint8_t, N> fixed(const std::string& name) {
    return test::hexArray<N>(vector(name));
}

TEST(Handshake, HelloWelcomeKeysAndSealedTextMatchTheSharedVectors) {
    const std::string psk = vector("psk");
    const auto client = fixed<16>("clientNonce");
    const auto server = fixed<16>("serverNonce");
    const HelloFrame hello = buildHello(psk, client);
    EXPECT_EQ(toBytes(hello), hex(vector("hello")));
    EXPECT_EQ(toBytes(buildWelcome(psk, client, server)), hex(vector("welcome")));
    HandshakeNonce parsed{};
    EXPECT_EQ(checkHello(hello, psk, parsed), HelloCheck::Ok);
    EXPECT_EQ(parsed, client);
    EXPECT_EQ(checkHello(hello, psk.substr(1), parsed), HelloCheck::HmacMismatch);

    SessionKeys keys = deriveSessionKeys(psk, client, server);
    const std::pair<const RecordKey&, const char*> recordKeys[] = {{keys.textCs, "textCs"},
                                                                   {keys.textSc, "textSc"},
                                                                   {keys.keyCs, "keyCs"},
                                                                   {keys.keySc, "keySc"}};
    for (const auto& [key, name] : recordKeys)
        EXPECT_EQ(toBytes(key), hex(vector(name))) << name;
    EXPECT_EQ(toBytes(keys.nonceBaseCs), hex(vector("nonceBaseCs")));
    EXPECT_EQ(toBytes(keys.nonceBaseSc), hex(vector("nonceBaseSc")));
    const Bytes text = test::bytesOf(vector("text"));
    for (const uint32_t counter : {0u, 1u}) {
        const Bytes sealed = hex(vector("counter" + std::to_string(counter)));
        EXPECT_EQ(
            client::sealRecord(keys, AeadVariant::TextCs, AeadFraming::Offset1NoAad, counter, text),
            sealed);
        Bytes plain;
        EXPECT_EQ(openRecord(keys, sealed, plain), RecordOpen::Opened);
        EXPECT_EQ(plain, text);
    }
}

TEST(RecordProtection, TheFirstFrameChoosesTheVariantUnderAnyFraming) {
    const HandshakeNonce client{1}, server{2};
    const Bytes text{'o', 'k'};
    for (const AeadVariant variant : kAllVariants) {
        for (const AeadFraming framing :
             {AeadFraming::Offset1NoAad, AeadFraming::Offset1Aad10, AeadFraming::Offset2Aad10}) {
            SessionKeys keys = deriveSessionKeys("k", client, server);
            Bytes plain;
            const Bytes frame = client::sealRecord(keys, variant, framing, 0, text);
            ASSERT_EQ(openRecord(keys, frame, plain), RecordOpen::Opened);
            EXPECT_EQ(plain, text);
            EXPECT_EQ(keys.chosenVariant, variant);
            EXPECT_EQ(keys.rxCounter, 1u);
            if (framing == AeadFraming::Offset2Aad10) { // tried only behind its marker byte
                Bytes unmarked = client::sealRecord(keys, variant, framing, 1, text);
                unmarked[1] = 0x11;
                EXPECT_EQ(openRecord(keys, unmarked, plain), RecordOpen::Failed);
                EXPECT_EQ(keys.rxCounter, 1u);
            }
        }
    }
    SessionKeys keys = deriveSessionKeys("k", client, server);
    Bytes plain;
    EXPECT_EQ(openRecord(keys, Bytes(17, 0x90), plain), RecordOpen::TooShort);
    EXPECT_EQ(openRecord(keys, Bytes(18, 0x90), plain), RecordOpen::Failed);
    EXPECT_EQ(toBytes(recordNonce({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 0x01020304)),
              (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4}));
}

std::optional<StartupOptions> parse(std::vector<const char*> args) {
    args.insert(args.begin(), "pointrelayd");
    return parseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, ValuesClampsAndUsageErrors) {
    const auto defaults = parse({});
    ASSERT_TRUE(defaults);
    EXPECT_EQ(std::tuple(defaults->port, defaults->mdns, defaults->background, defaults->statMs,
                         defaults->config.psk, defaults->config.idleMs, defaults->config.pingMs,
                         defaults->config.grace, defaults->config.keepalive),
              std::tuple(9000, true, false, 0, std::string(kBuiltInPsk), 600000, 20000, 3, true));
    EXPECT_TRUE(defaults->usesBuiltInKey());
    // Each row: arguments, then the port, idle, ping, grace and statistics they give.
    const std::tuple<std::vector<const char*>, int, int, int, int, int> rows[] = {
        {{"--port", "80"}, 9000, 600000, 20000, 3, 0},
        {{"--port", "1500", "--port", "65535"}, 65535, 600000, 20000, 3, 0},
        {{"--port", "9000abc", "--idle-ms", "0"}, 9000, 1000, 20000, 3, 0},
        {{"--port", "  +1500", "--ping-ms", "-5", "--grace", "0"}, 1500, 600000, 1000, 1, 0},
        {{"--stat-ms", "0", "--idle-ms", "2147483647"}, 9000, 2147483647, 20000, 3, 100},
    };
    for (const auto& [args, port, idle, ping, grace, stat] : rows) {
        const auto options = parse(args);
        ASSERT_TRUE(options) << args.front();
        EXPECT_EQ(std::tuple(int(options->port), options->config.idleMs, options->config.pingMs,
                             options->config.grace, options->statMs),
                  std::tuple(port, idle, ping, grace, stat))
            << args.front() << " " << args.back();
    }
    const auto flags = parse({"--no-keepalive", "--daemon", "--no-mdns", "--psk", "abc"});
    EXPECT_TRUE(!flags->config.keepalive && flags->background && !flags->mdns);
    EXPECT_EQ(flags->config.psk, "abc");
    EXPECT_EQ(flags->pskArgIndices, std::vector<int>{5});
    for (const std::vector<const char*>& bad : {std::vector<const char*>{"--psk"},
                                                {"--port", "9001", "--stat-ms"},
                                                {"--help"},
                                                {"--port=9001"},
                                                {"extra"},
                                                {"--port", "abc"},
                                                {"--ping-ms", "-"},
                                                {"--grace", "2147483648"},
                                                {"--stat-ms", "-2147483649"}})
        EXPECT_FALSE(parse(bad)) << bad.front();
    EXPECT_EQ(parseLeadingInt32("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(usageText("./pointrelayd").substr(0, 84),
              "Usage: ./pointrelayd [--port N] [--psk HEX64] [--idle-ms M] [--ping-ms M]\n"
              "          ");
}

TEST(Log, LinesEscapesAndStatistics) {
    test::LogCapture log;
    logLine("STAT move=1");
    logLine("Server stopped");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"STAT move=1", "[C++] Server stopped"}));
    EXPECT_EQ(escapeForLog(std::string("a\nClient connected (9 active)\r\x7F\x00", 32)),
              "a\\x0AClient connected (9 active)\\x0D\\x7F\\x00");
    EXPECT_EQ(escapeForLog("\xC3\xA9"), "\xC3\xA9");
    EXPECT_EQ(formatStatLine(18446744073709551615ull, 10, 12.5, 1.0 / 3),
              "STAT move=18446744073709551615 scroll=10 rateMove=12.500000 rateScroll=0.333333");

    const uint64_t base = moveCount.load();
    StatisticsReporter reporter;
    ASSERT_TRUE(reporter.start(std::chrono::milliseconds(500)));
    moveCount += 10;
    ASSERT_TRUE(log.waitFor("rateMove=0.000000", std::chrono::seconds(3)));
    moveCount += 5;
    const auto start = std::chrono::steady_clock::now();
    reporter.stop(); // wakes the sleep in progress, which writes the final totals
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    const auto lines = log.lines();
    double rate = 0;
    unsigned long long total = 0;
    ASSERT_EQ(
        std::sscanf(lines.at(2).c_str(), "STAT move=%llu scroll=%*u rateMove=%lf", &total, &rate),
        2);
    EXPECT_EQ(total, base + 10);
    EXPECT_NEAR(rate, 20.0, 2.0);
    EXPECT_TRUE(lines.back().starts_with("STAT move=" + std::to_string(base + 15) + " "));
}

} // namespace
} // namespace pointrelay::core
