// SPDX-License-Identifier: MIT
#include "random.h"

#include <cerrno>
#include <sys/random.h>

namespace pointrelay::crypto {

bool fillRandom(std::span<uint8_t> out) {
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace pointrelay::crypto
