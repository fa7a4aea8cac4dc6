// SPDX-License-Identifier: MIT
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pointrelay::test {

using Bytes = std::vector<uint8_t>;

/// Hex digits to bytes; blanks may group them, as in the RFCs.
inline Bytes hex(std::string_view text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += text[i] == ' ' ? 1 : 2)
        if (text[i] != ' ')
            out.push_back(uint8_t(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}

template <size_t N>
std::array<uint8_t, N> hexArray(std::string_view text) {
    std::array<uint8_t, N> out{};
    std::ranges::copy(hex(text), out.begin());
    return out;
}

template <typename Range>
Bytes toBytes(const Range& range) {
    return Bytes(std::begin(range), std::end(range));
}

} // namespace pointrelay::test
