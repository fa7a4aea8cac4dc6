// SPDX-License-Identifier: MIT
#include "core/counters.h"
#include "core/log.h"
#include "core/statistics.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace pointrelay::core {
namespace {

TEST(LogLine, PrefixesEverythingButStatLines) {
    test::LogCapture log;
    logLine("STAT move=1");
    logLine("STATS");
    logLine("Server stopped");
    logLine("");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"STAT move=1", "[C++] STATS",
                                                     "[C++] Server stopped", "[C++] "}));
}

TEST(LogLine, ConcurrentWritersNeverMixLinesOnStandardError) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const int savedStderr = ::dup(STDERR_FILENO);
    ::dup2(pipeFds[1], STDERR_FILENO);
    ::close(pipeFds[1]);

    std::string captured;
    std::thread drain([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
            captured.append(buffer, static_cast<size_t>(n));
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([w] {
            const std::string payload(200, static_cast<char>('a' + w));
            for (int i = 0; i < 300; ++i)
                logLine(payload);
        });
    }
    for (auto& t : writers)
        t.join();
    ::dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);
    drain.join();
    ::close(pipeFds[0]);

    std::istringstream lines(captured);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_EQ(line.size(), 206u);
        ASSERT_EQ(line.substr(0, 6), "[C++] ");
        ASSERT_EQ(line.find_first_not_of(line[6], 6), std::string::npos) << line;
    }
    EXPECT_EQ(count, 1200);
}

TEST(LogLine, EscapesControlBytesOfClientText) {
    EXPECT_EQ(escapeForLog("copy"), "copy");
    EXPECT_EQ(escapeForLog("a\nClient connected (9 active)"), "a\\x0AClient connected (9 active)");
    EXPECT_EQ(escapeForLog(std::string("\r\x1F\x7F\x00", 4)), "\\x0D\\x1F\\x7F\\x00");
    EXPECT_EQ(escapeForLog("\xC3\xA9"), "\xC3\xA9"); // UTF-8 passes unchanged
}

TEST(Statistics, LineFormat) {
    EXPECT_EQ(formatStatLine(0, 0, 0, 0),
              "STAT move=0 scroll=0 rateMove=0.000000 rateScroll=0.000000");
    EXPECT_EQ(formatStatLine(18446744073709551615ull, 10, 12.5, 1.0 / 3),
              "STAT move=18446744073709551615 scroll=10 rateMove=12.500000 rateScroll=0.333333");
}

TEST(Statistics, ReportsTotalsAndRatesOverTheLastPeriod) {
    test::LogCapture log;
    const uint64_t base = moveCount.load();
    StatisticsReporter reporter;
    ASSERT_TRUE(reporter.start(std::chrono::milliseconds(500)));
    moveCount += 10;
    ASSERT_TRUE(log.waitFor("STAT ", std::chrono::seconds(2)));
    ASSERT_TRUE(log.waitFor("rateMove=0.000000", std::chrono::seconds(2)));
    moveCount += 5;
    const auto start = std::chrono::steady_clock::now();
    reporter.stop(); // wakes the sleep in progress, which writes the final totals
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_TRUE(log.lines().back().starts_with("STAT move=" + std::to_string(base + 15) + " "))
        << log.lines().back();

    const auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    unsigned long long total = 0;
    double rate = 0, scrollRate = 0;
    unsigned long long scrolls = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(),
                          "STAT move=%llu scroll=%llu rateMove=%lf rateScroll=%lf", &total,
                          &scrolls, &rate, &scrollRate),
              4);
    EXPECT_EQ(total, base + 10);
    EXPECT_NEAR(rate, 10 / 0.5, 2.0);
    EXPECT_EQ(lines[1], formatStatLine(base + 10, scrolls, 0, 0));
}

} // namespace
} // namespace pointrelay::core
