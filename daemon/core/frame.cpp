// SPDX-License-Identifier: MIT
#include "frame.h"

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0 // SIGPIPE is ignored process-wide where the flag does not exist
#endif

namespace pointrelay::core {
namespace {

// Waits for readability; false on time-out or a failed wait.
bool waitReadable(int fd, int timeoutMs) {
    pollfd pfd{fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&pfd, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

// One recv into the rest of `out`; false when the peer closed or the read failed.
bool receiveSome(int fd, std::span<uint8_t> out, size_t& done) {
    const ssize_t n = ::recv(fd, out.data() + done, out.size() - done, 0);
    if (n <= 0)
        return false;
    done += static_cast<size_t>(n);
    return true;
}

bool sendAll(int fd, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void encodeHeader(uint32_t length, uint8_t header[kFrameHeaderSize]) {
    header[0] = static_cast<uint8_t>(length >> 24);
    header[1] = static_cast<uint8_t>(length >> 16);
    header[2] = static_cast<uint8_t>(length >> 8);
    header[3] = static_cast<uint8_t>(length);
}

} // namespace

bool readExact(int fd, std::span<uint8_t> out, int timeoutMs) {
    size_t done = 0;
    while (done < out.size()) {
        if (!waitReadable(fd, timeoutMs) || !receiveSome(fd, out, done))
            return false;
    }
    return true;
}

bool readExactUntil(int fd, std::span<uint8_t> out, Clock::time_point deadline) {
    size_t done = 0;
    while (done < out.size()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || !waitReadable(fd, static_cast<int>(left)) || !receiveSome(fd, out, done))
            return false;
    }
    return true;
}

bool recvFrame(int fd, std::vector<uint8_t>& body, int timeoutMs) {
    uint8_t header[kFrameHeaderSize];
    uint32_t length = 0;
    if (!readExact(fd, header, timeoutMs) || !decodeFrameHeader(header, length))
        return false;
    body.resize(length);
    return readExact(fd, body, timeoutMs);
}

bool sendFrame(int fd, std::span<const uint8_t> body) {
    uint8_t header[kFrameHeaderSize];
    encodeHeader(static_cast<uint32_t>(body.size()), header);
    return sendAll(fd, header, sizeof header) && sendAll(fd, body.data(), body.size());
}

void appendFrame(std::vector<uint8_t>& out, std::span<const uint8_t> body) {
    uint8_t header[kFrameHeaderSize];
    encodeHeader(static_cast<uint32_t>(body.size()), header);
    out.insert(out.end(), header, header + kFrameHeaderSize);
    out.insert(out.end(), body.begin(), body.end());
}

void setLingerOneSecond(int fd) {
    const linger value{1, 1};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

void applySessionSocketOptions(int fd, bool keepalive) {
    const int one = 1;
    setLingerOneSecond(fd);
    if (keepalive) {
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        const int idleSeconds = 60;
#if defined(TCP_KEEPALIVE) // Apple's name for the idle time before the first probe
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPALIVE, &idleSeconds, sizeof idleSeconds);
#else
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
#endif
    }
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const timeval sendTimeout{static_cast<time_t>(kSendTimeout.count()), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
}

} // namespace pointrelay::core
