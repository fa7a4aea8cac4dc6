// SPDX-License-Identifier: MIT
#include "random.h"

#include <algorithm>
#include <unistd.h>

namespace pointrelay::crypto {

bool fillRandom(std::span<uint8_t> out) {
    // getentropy serves at most 256 bytes per call.
    for (size_t off = 0; off < out.size(); off += 256) {
        const size_t n = std::min<size_t>(256, out.size() - off);
        if (getentropy(out.data() + off, n) != 0)
            return false;
    }
    return true;
}

} // namespace pointrelay::crypto
