// SPDX-License-Identifier: MIT
#pragma once

#include "server_config.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pointrelay::core {

/// Everything the command line decides: the per-session configuration plus the settings
/// that stay with the main thread.
struct StartupOptions {
    ServerConfig config;
    uint16_t port = 9000;
    bool mdns = true;
    bool background = false;
    int32_t statMs = 0; ///< 0: no statistics reporter
    /// --port values outside 1024..65535, as given: the port stays as it was, and the daemon
    /// says so.
    std::vector<std::string> refusedPorts;
    /// argv indices of every --psk value, so the caller can wipe them from process memory.
    std::vector<int> pskArgIndices;
    /// --keys-file: the paired devices' keys, one a line, read again on SIGHUP.
    std::string keysFile;

    /// Neither --psk nor --keys-file: sessions authenticate with the built-in key, which
    /// anyone can read.
    bool usesBuiltInKey() const { return pskArgIndices.empty() && keysFile.empty(); }
    /// A key of the user's own that a guess finds: the daemon refuses to serve with it.
    bool hasWeakKey() const { return !usesBuiltInKey() && config.psk.size() < kMinKeyLength; }

    /// The shortest --psk served; the keys the application makes have 64 characters.
    static constexpr size_t kMinKeyLength = 16;
};

/// \brief Reads the command line; nullopt on a usage error (the caller prints usageText).
std::optional<StartupOptions> parseCommandLine(int argc, const char* const* argv);

/// The usage text with the program's invocation name in place.
std::string usageText(std::string_view programName);

/// Reads the leading decimal integer of an option value the way the command line does:
/// leading white space and a sign are accepted, anything after the digits is ignored.
/// nullopt when there are no digits or the value does not fit in 32 bits.
std::optional<int32_t> parseLeadingInt32(std::string_view text);

} // namespace pointrelay::core
