// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

namespace pointrelay::test {

/// What a daemon stand-in writes to flood its supervisor: over 10 MiB of log lines of every
/// kind the model reads (arrivals, departures, statistics, multi-byte text, long lines, every
/// line break), ending in a known state:
struct OutputFlood {
    static constexpr long long kFinalClients = 30000; ///< two arrivals and one departure per block
    static constexpr double kFinalMoveRate = 29999.5;
    static constexpr double kFinalScrollRate = 0.25;
    static constexpr std::string_view kLastLine = "[C++] flood done";

    static std::string text();
};

/// The switch that makes the test program act as the stand-in: it writes the flood to its
/// standard output in odd-sized pieces, then waits to be stopped (at most a minute).
inline constexpr char kWriteOutputFloodSwitch[] = "--write-output-flood";
int writeOutputFlood();

} // namespace pointrelay::test
