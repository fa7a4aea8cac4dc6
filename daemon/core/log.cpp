// SPDX-License-Identifier: MIT
#include "log.h"

#include <cerrno>
#include <mutex>
#include <string>
#include <unistd.h>

namespace pointrelay::core {
namespace {

std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}

LogObserver& observer() {
    static LogObserver instance;
    return instance;
}

void writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // standard error is gone; nothing sensible is left to do with the line
        data.remove_prefix(static_cast<size_t>(n));
    }
}

} // namespace

void logLine(std::string_view message) {
    std::string line;
    line.reserve(message.size() + 8);
    if (!message.starts_with("STAT "))
        line += "[C++] ";
    line += message;
    line += '\n';

    std::lock_guard lock(logMutex());
    if (observer())
        observer()(line);
    else
        writeAll(STDERR_FILENO, line); // one write per line: unbuffered, flushed at once
}

void setLogObserver(LogObserver newObserver) {
    std::lock_guard lock(logMutex());
    observer() = std::move(newObserver);
}

std::string escapeForLog(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace pointrelay::core
