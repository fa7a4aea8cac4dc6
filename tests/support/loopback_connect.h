// SPDX-License-Identifier: MIT
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace pointrelay::test {

/// \brief A TCP connection from `source` (any 127.x.y.z) to 127.0.0.1:`port`, Nagle off;
/// -1 on failure. The socket has SO_REUSEADDR: when it closes first, its port stays in
/// TIME_WAIT for a minute, and only then does that not keep a daemon started meanwhile (by
/// any test) from binding the port. Floods of thousands of connections need this.
inline int connectLoopback(uint16_t port, const std::string& source = "127.0.0.1") {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    sockaddr_in local{AF_INET, 0, {}, {}},
        remote{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace pointrelay::test
