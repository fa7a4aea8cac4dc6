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
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != ' ')
            out.push_back(
                static_cast<uint8_t>(std::stoi(std::string(text.substr(i++, 2)), nullptr, 16)));
    }
    return out;
}

template <size_t N>
std::array<uint8_t, N> hexArray(std::string_view text) {
    const Bytes bytes = hex(text);
    std::array<uint8_t, N> out{};
    std::copy_n(bytes.begin(), std::min(N, bytes.size()), out.begin());
    return out;
}

inline Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

template <typename Range>
Bytes toBytes(const Range& range) {
    return Bytes(std::begin(range), std::end(range));
}

} // namespace pointrelay::test
