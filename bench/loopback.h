// SPDX-License-Identifier: MIT
#pragma once

#include "core/frame.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace pointrelay::bench {

/// Both ends of one TCP connection over 127.0.0.1, Nagle off on both.
struct LoopbackConnection {
    int client = -1;
    int server = -1;
    sockaddr_in peer{}; ///< the client's address as the server sees it
};

inline LoopbackConnection connectOverLoopback() {
    LoopbackConnection c;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    c.client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(c.client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    length = sizeof c.peer;
    c.server = ::accept4(listener, reinterpret_cast<sockaddr*>(&c.peer), &length, SOCK_CLOEXEC);
    ::close(listener);
    const int one = 1;
    ::setsockopt(c.client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(c.server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return c;
}

/// Writes all of `bytes`; false when the connection failed.
inline bool sendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

/// Reads exactly `size` bytes; false when the connection ended first.
inline bool recvAll(int fd, uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

/// The wire bytes of one MOVE frame (header and body), as a phone writes it in one piece.
inline std::vector<uint8_t> moveFrame(int16_t dx = 3, int16_t dy = -2) {
    const auto ux = static_cast<uint16_t>(dx);
    const auto uy = static_cast<uint16_t>(dy);
    const uint8_t body[] = {0x11, static_cast<uint8_t>(ux >> 8), static_cast<uint8_t>(ux),
                            static_cast<uint8_t>(uy >> 8), static_cast<uint8_t>(uy)};
    std::vector<uint8_t> wire;
    core::appendFrame(wire, body);
    return wire;
}

inline uint64_t nowNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

} // namespace pointrelay::bench
