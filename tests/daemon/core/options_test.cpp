// SPDX-License-Identifier: MIT
#include "core/options.h"

#include <gtest/gtest.h>

namespace pointrelay::core {
namespace {

std::optional<StartupOptions> parse(std::vector<const char*> args) {
    args.insert(args.begin(), "pointrelayd");
    return parseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, DefaultsWithoutArguments) {
    const auto options = parse({});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->port, 9000);
    EXPECT_TRUE(options->mdns);
    EXPECT_FALSE(options->background);
    EXPECT_EQ(options->statMs, 0);
    EXPECT_EQ(options->config.psk, "set-a-real-psk-here-00");
    EXPECT_EQ(options->config.handshakeTimeoutMs, 5000);
    EXPECT_EQ(options->config.idleMs, 600000);
    EXPECT_EQ(options->config.pingMs, 20000);
    EXPECT_EQ(options->config.grace, 3);
    EXPECT_TRUE(options->config.keepalive);
}

TEST(CommandLine, ValuesAreClampedAndPortsOutOfRangeIgnored) {
    EXPECT_EQ(parse({"--port", "80"})->port, 9000);
    EXPECT_EQ(parse({"--port", "70000"})->port, 9000);
    EXPECT_EQ(parse({"--port", "1500", "--port", "80"})->port, 1500);
    EXPECT_EQ(parse({"--port", "1500", "--port", "65535"})->port, 65535);
    EXPECT_EQ(parse({"--port", "1024"})->port, 1024);
    EXPECT_EQ(parse({"--idle-ms", "0"})->config.idleMs, 1000);
    EXPECT_EQ(parse({"--ping-ms", "-5"})->config.pingMs, 1000);
    EXPECT_EQ(parse({"--grace", "0"})->config.grace, 1);
    EXPECT_EQ(parse({"--stat-ms", "0"})->statMs, 100);
    EXPECT_EQ(parse({"--stat-ms", "2500"})->statMs, 2500);

    const auto flags = parse({"--no-keepalive", "--daemon", "--no-mdns", "--psk", "abc"});
    ASSERT_TRUE(flags);
    EXPECT_FALSE(flags->config.keepalive);
    EXPECT_TRUE(flags->background);
    EXPECT_FALSE(flags->mdns);
    EXPECT_EQ(flags->config.psk, "abc");
    EXPECT_EQ(flags->pskArgIndices, std::vector<int>{5});
}

TEST(CommandLine, NumbersAreReadAsTheirLeadingInteger) {
    EXPECT_EQ(parse({"--port", "9000abc"})->port, 9000);
    EXPECT_EQ(parse({"--port", "  +1500"})->port, 1500);
    EXPECT_EQ(parse({"--idle-ms", "2147483647"})->config.idleMs, 2147483647);
    EXPECT_EQ(parseLeadingInt32("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(parseLeadingInt32("12.5"), 12);
    EXPECT_EQ(parseLeadingInt32("00042"), 42);
}

TEST(CommandLine, UsageErrors) {
    EXPECT_FALSE(parse({"--psk"}));
    EXPECT_FALSE(parse({"--port", "9001", "--stat-ms"}));
    EXPECT_FALSE(parse({"--help"}));
    EXPECT_FALSE(parse({"-h"}));
    EXPECT_FALSE(parse({"--PORT", "9001"}));
    EXPECT_FALSE(parse({"--port=9001"}));
    EXPECT_FALSE(parse({"extra"}));
    // Values with no leading integer, or that do not fit in 32 bits.
    EXPECT_FALSE(parse({"--port", "abc"}));
    EXPECT_FALSE(parse({"--idle-ms", ""}));
    EXPECT_FALSE(parse({"--ping-ms", "-"}));
    EXPECT_FALSE(parse({"--grace", "2147483648"}));
    EXPECT_FALSE(parse({"--stat-ms", "-2147483649"}));
    EXPECT_FALSE(parse({"--port", "99999999999999999999"}));
}

TEST(CommandLine, UsageTextByteForByte) {
    EXPECT_EQ(usageText("./pointrelayd"),
              "Usage: ./pointrelayd [--port N] [--psk HEX64] [--idle-ms M] [--ping-ms M]\n"
              "           [--grace S] [--no-keepalive] [--daemon]\n"
              "           [--no-mdns] [--stat-ms M]\n"
              "\n"
              "Options:\n"
              "  --port N         TCP port to listen on (default: 9000)\n"
              "  --psk HEX64      Pre-shared key (64 hex chars)\n"
              "  --idle-ms M      Close idle client after M milliseconds\n"
              "  --ping-ms M      Send PING every M milliseconds\n"
              "  --grace S        On shutdown, wait S seconds before exit\n"
              "  --no-keepalive   Disable TCP keepalive on accepted sockets\n"
              "  --daemon         Run in the background\n"
              "  --no-mdns        Do not advertise _pointrelay._tcp via mDNS\n"
              "  --stat-ms M      Print stats every M milliseconds (0 = off)\n");
}

} // namespace
} // namespace pointrelay::core
