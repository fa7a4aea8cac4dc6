// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <string_view>

namespace pointrelay::core {

/// \brief Writes one line to standard error: "STAT " lines as they are, every other line
/// behind the "[C++] " prefix. Thread-safe; lines never interleave.
void logLine(std::string_view message);

/// Where finished lines (prefix and newline included) go instead of standard error.
/// Tests install an observer to read the log in-process; an empty function restores stderr.
using LogObserver = std::function<void(std::string_view line)>;
void setLogObserver(LogObserver observer);

/// Client-supplied bytes made safe for one log line: control bytes (below 0x20 and 0x7F)
/// become "\xNN", so a peer cannot start a line of its own.
std::string escapeForLog(std::string_view text);

} // namespace pointrelay::core
