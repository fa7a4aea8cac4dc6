// SPDX-License-Identifier: MIT
#pragma once

#include "frame.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <sys/types.h>

namespace pointrelay::core {

/// Frames cut out of a connection's byte stream read in large pieces: one recv takes whatever
/// the socket holds, and the complete frames in it are handed out without further system
/// calls. A header is checked against the receive limits of recvFrame as soon as it is
/// complete, before any byte of its body counts. The caller waits for readability and keeps
/// the time-outs; the reader only owns the bytes.
class FrameReader {
public:
    /// An idle connection holds this much; the buffer grows when reads fill it.
    static constexpr size_t kInitialCapacity = 4 * 1024;
    /// The largest buffer: exactly the largest frame, header included.
    static constexpr size_t kMaxCapacity = kFrameHeaderSize + kMaxFrameBody;

    /// \brief One recv (with `flags`) of at most `limit` bytes into the free part of the
    /// buffer; returns what recv returned (0: the peer closed; below 0: see errno).
    ssize_t fill(int fd, int flags = 0, size_t limit = kMaxCapacity);

    enum class Next {
        Frame,      ///< `body` holds the next frame's body, valid until the next fill
        Incomplete, ///< the buffered bytes end inside a header or a body
        BadLength,  ///< a header announces a length outside 1 to 65535
    };
    Next next(std::span<const uint8_t>& body) { // inline: called once per frame
        const size_t available = m_end - m_begin;
        if (available < kFrameHeaderSize)
            return Next::Incomplete;
        uint32_t length = 0;
        if (!decodeFrameHeader(std::span<const uint8_t, kFrameHeaderSize>(m_buffer.get() + m_begin,
                                                                          kFrameHeaderSize),
                               length))
            return Next::BadLength;
        if (available < kFrameHeaderSize + length)
            return Next::Incomplete;
        body = std::span<const uint8_t>(m_buffer.get() + m_begin + kFrameHeaderSize, length);
        m_begin += kFrameHeaderSize + length;
        if (m_begin == m_end)
            m_begin = m_end = 0; // the buffer was used up: nothing to move before the next read
        return Next::Frame;
    }

    /// True while bytes of an unfinished frame wait for the rest.
    bool midFrame() const { return m_end > m_begin; }
    size_t capacity() const { return m_capacity; }

private:
    void makeRoom();

    std::unique_ptr<uint8_t[]> m_buffer;
    size_t m_capacity = 0;
    size_t m_begin = 0; ///< the first byte not handed out yet
    size_t m_end = 0;   ///< one past the last byte received
    bool m_lastFillFilled = false;
};

} // namespace pointrelay::core
