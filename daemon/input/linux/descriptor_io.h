// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace pointrelay::input {

/// Milliseconds left until \a deadline, as poll(2) takes them (0 once it has passed).
int remainingMs(std::chrono::steady_clock::time_point deadline);

/// \brief Writes all of \a data to \a fd (made non-blocking), waiting for it to take more
/// until \a deadline. False when the reader went or the time ran out: a clipboard transfer to
/// an application that stopped reading must not hold the route.
bool writeAll(int fd, const std::string& data, std::chrono::steady_clock::time_point deadline);

/// \brief Reads \a fd (made non-blocking) to its end, waiting for more until \a deadline.
/// Nothing when it holds more than \a maxBytes, fails, or does not end in time: a clipboard
/// owner that sends without end must not hold the route either.
std::optional<std::string> readAll(int fd, size_t maxBytes,
                                   std::chrono::steady_clock::time_point deadline);

} // namespace pointrelay::input
