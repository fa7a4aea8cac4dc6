// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>

namespace pointrelay::app {

/// Which host text the application shows for pairing. The raw values are what the settings
/// store keeps under "hostMode", so they must never be renumbered.
enum class HostAdvertiseMode : int {
    bonjourLocalName = 0, ///< the computer's DNS-SD local host name ("<name>.local")
    ipv4Address = 1,      ///< an IPv4 address of this computer
};

/// \brief The mode with this raw value, or nothing for any other value.
/// Takes a 64-bit value so that a stored integer outside the int range cannot wrap onto a case.
constexpr std::optional<HostAdvertiseMode> hostAdvertiseModeFromRaw(std::int64_t raw) {
    switch (raw) {
    case 0:
        return HostAdvertiseMode::bonjourLocalName;
    case 1:
        return HostAdvertiseMode::ipv4Address;
    default:
        return std::nullopt;
    }
}

constexpr int rawValue(HostAdvertiseMode mode) {
    return static_cast<int>(mode);
}

} // namespace pointrelay::app
