// SPDX-License-Identifier: MIT
#include "descriptor_io.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace pointrelay::input {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool writeAll(int fd, const std::string& data, Clock::time_point deadline) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    for (size_t at = 0; at < data.size();) {
        const ssize_t n = ::write(fd, data.data() + at, data.size() - at);
        if (n > 0) {
            at += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd out{fd, POLLOUT, 0};
        if (::poll(&out, 1, remainingMs(deadline)) <= 0)
            return false;
    }
    return true;
}

std::optional<std::string> readAll(int fd, size_t maxBytes, Clock::time_point deadline) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string data;
    for (char chunk[16384];;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0)
            return data;
        if (n > 0) {
            data.append(chunk, static_cast<size_t>(n));
            if (data.size() > maxBytes)
                return std::nullopt;
            continue;
        }
        if (errno != EAGAIN && errno != EINTR)
            return std::nullopt;
        pollfd in{fd, POLLIN, 0};
        if (::poll(&in, 1, remainingMs(deadline)) <= 0)
            return std::nullopt;
    }
}

} // namespace pointrelay::input
