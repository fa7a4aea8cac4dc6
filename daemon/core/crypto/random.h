// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <span>

namespace pointrelay::crypto {

/// \brief Fills `out` from the operating system's CSPRNG; false if it cannot be read.
bool fillRandom(std::span<uint8_t> out);

} // namespace pointrelay::crypto
