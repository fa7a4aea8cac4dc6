// SPDX-License-Identifier: MIT
#pragma once

#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>

namespace pointrelay::test {

/// A numeric field of /proc/PID/status ("Threads"; "VmRSS" in KiB); nothing when the process
/// is gone or has no such field.
inline std::optional<long> procStatusField(pid_t pid, std::string_view field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':')
            return std::stol(line.substr(field.size() + 1));
    return std::nullopt;
}

/// Raises this process's open-file limit to its hard limit (children inherit it); returns
/// the limit now in force.
inline rlim_t raiseOpenFileLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

} // namespace pointrelay::test
