// SPDX-License-Identifier: MIT
#include "frame_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace pointrelay::core {

void FrameReader::makeRoom() {
    // What is left is at most one unfinished frame: move it to the front.
    if (m_begin > 0) {
        std::memmove(m_buffer.get(), m_buffer.get() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    size_t wanted = std::max(m_capacity, kInitialCapacity);
    // A read that filled all the space says more is waiting: take larger pieces.
    if (m_lastFillFilled)
        wanted = std::min(wanted * 2, kMaxCapacity);
    // The frame being received must fit whole.
    uint32_t length = 0;
    if (m_end >= kFrameHeaderSize &&
        decodeFrameHeader(
            std::span<const uint8_t, kFrameHeaderSize>(m_buffer.get(), kFrameHeaderSize), length))
        wanted = std::max(wanted, kFrameHeaderSize + length);
    if (wanted > m_capacity) {
        // Not value-initialised: pages that no read reaches are never touched.
        std::unique_ptr<uint8_t[]> larger(new uint8_t[wanted]);
        if (m_end > 0)
            std::memcpy(larger.get(), m_buffer.get(), m_end);
        m_buffer = std::move(larger);
        m_capacity = wanted;
    }
}

ssize_t FrameReader::fill(int fd, int flags, size_t limit) {
    makeRoom();
    const size_t space = std::min(m_capacity - m_end, limit);
    if (space == 0) { // whole frames were left unread, or nothing may be read: not an EOF
        errno = ENOBUFS;
        return -1;
    }
    const ssize_t n = ::recv(fd, m_buffer.get() + m_end, space, flags);
    if (n > 0) {
        m_end += static_cast<size_t>(n);
        m_lastFillFilled = m_end == m_capacity;
    }
    return n;
}

} // namespace pointrelay::core
