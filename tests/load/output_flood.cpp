// SPDX-License-Identifier: MIT
#include "output_flood.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace pointrelay::test {

std::string OutputFlood::text() {
    std::string out;
    out.reserve(11 << 20);
    const std::string longLine = "[C++] " + std::string(65536, 'x') + "\xC3\xA9\n";
    for (long long block = 0; block < kFinalClients; ++block) {
        char stat[128];
        std::snprintf(stat, sizeof stat,
                      "STAT move=%lld scroll=%lld rateMove=%.6f rateScroll=%.6f\n", block * 3,
                      block, block + 0.5, kFinalScrollRate);
        out += "[C++] Client connected: 127.0.0.1\n";
        out += "[C++] Client connected (1 active)\r\n";
        out += "[C++] Client connected: 127.0.0.1\n";
        out += "[C++] Client connected (2 active)\n";
        out += stat;
        out += "[C++] [SYS] parsed action=h\xC3\xA9llo \xE3\x81\x82\xF0\x9F\x96\xB1 dir=0\r";
        out += "\n   \n\r\n";
        out += "[C++] Client disconnected (0 active)\n";
        if (block % 400 == 0)
            out += longLine;
    }
    out += std::string(kLastLine) + "\n";
    return out;
}

int writeOutputFlood() {
    const std::string text = OutputFlood::text();
    // Prime-sized and tiny pieces, so that lines, "\r\n" pairs and characters are cut anywhere.
    static constexpr size_t kPieces[] = {1, 2, 3, 7, 13, 61, 509, 4093, 8191, 65521, 65537, 131071};
    size_t at = 0;
    unsigned seed = 12345;
    for (int piece = 0; at < text.size(); ++piece) {
        seed = seed * 1103515245u + 12345u;
        const size_t size = std::min(kPieces[(seed >> 16) % std::size(kPieces)], text.size() - at);
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + at, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 1;
        at += static_cast<size_t>(n);
        if (piece % 64 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::minutes(1)); // a daemon runs until it is stopped
    return 0;
}

} // namespace pointrelay::test
