// SPDX-License-Identifier: MIT
#include "options.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace pointrelay::core {

std::optional<int32_t> parseLeadingInt32(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const size_t firstDigit = i;
    int64_t value = 0;
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        value = value * 10 + (text[i] - '0');
        if (value > kLimit)
            return std::nullopt;
        ++i;
    }
    if (i == firstDigit)
        return std::nullopt;
    if (negative)
        value = -value;
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(value);
}

std::optional<StartupOptions> parseCommandLine(int argc, const char* const* argv) {
    StartupOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--no-keepalive") {
            options.config.keepalive = false;
            continue;
        }
        if (arg == "--daemon") {
            options.background = true;
            continue;
        }
        if (arg == "--no-mdns") {
            options.mdns = false;
            continue;
        }

        const bool takesValue = arg == "--port" || arg == "--psk" || arg == "--keys-file" ||
                                arg == "--idle-ms" || arg == "--ping-ms" || arg == "--grace" ||
                                arg == "--stat-ms";
        if (!takesValue || i + 1 >= argc)
            return std::nullopt;
        const std::string_view value = argv[++i];

        if (arg == "--psk") {
            options.config.psk = std::string(value);
            options.pskArgIndices.push_back(i);
            continue;
        }
        if (arg == "--keys-file") {
            options.keysFile = std::string(value);
            continue;
        }
        const auto number = parseLeadingInt32(value);
        if (!number)
            return std::nullopt;
        if (arg == "--port") {
            if (*number >= 1024 && *number <= 65535)
                options.port = static_cast<uint16_t>(*number);
            else
                options.refusedPorts.emplace_back(value);
        } else if (arg == "--idle-ms") {
            options.config.idleMs = std::max(*number, 1000);
        } else if (arg == "--ping-ms") {
            options.config.pingMs = std::max(*number, 1000);
        } else if (arg == "--grace") {
            options.config.grace = std::max(*number, 1);
        } else { // --stat-ms: present means on, with at least a 100 ms period
            options.statMs = std::max(*number, 100);
        }
    }
    // One key on the command line and a list of them would leave which one serves to chance.
    if (!options.keysFile.empty() && !options.pskArgIndices.empty())
        return std::nullopt;
    return options;
}

std::string usageText(std::string_view programName) {
    std::string text = "Usage: ";
    text += programName;
    text += " [--port N] [--psk HEX64 | --keys-file PATH] [--idle-ms M]\n"
            "           [--ping-ms M] [--grace S] [--no-keepalive] [--daemon]\n"
            "           [--no-mdns] [--stat-ms M]\n"
            "\n"
            "Options:\n"
            "  --port N         TCP port to listen on (default: 9000)\n"
            "  --psk HEX64      Pre-shared key (64 hex chars)\n"
            "  --keys-file PATH Paired devices, one \"KEY NAME\" a line (owner-only file,\n"
            "                   read again on SIGHUP)\n"
            "  --idle-ms M      Close idle client after M milliseconds (default: 600000)\n"
            "  --ping-ms M      Send PING every M milliseconds (default: 20000)\n"
            "  --grace S        Close client after S missed PONGs (default: 3)\n"
            "  --no-keepalive   Disable TCP keepalive on accepted sockets\n"
            "  --daemon         Run in the background\n"
            "  --no-mdns        Do not advertise _pointrelay._tcp via mDNS\n"
            "  --stat-ms M      Print stats every M milliseconds (0 = off)\n";
    return text;
}

} // namespace pointrelay::core
