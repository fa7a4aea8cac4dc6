// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace pointrelay::test {

/// Two connected stream sockets: the code under test reads `reader()`, the test writes
/// `writer()` (or the other way round).
struct SocketPair {
    SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds); }
    ~SocketPair() { ::close(m_fds[0]), closeWriter(); }
    int reader() const { return m_fds[0]; }
    int writer() const { return m_fds[1]; }
    bool write(const std::vector<uint8_t>& bytes) const {
        return ::send(m_fds[1], bytes.data(), bytes.size(), 0) == ssize_t(bytes.size());
    }
    void closeWriter() { ::close(std::exchange(m_fds[1], -1)); }

    int m_fds[2] = {-1, -1};
};

} // namespace pointrelay::test
