// SPDX-License-Identifier: MIT
#pragma once

#include "core/session.h"
#include "phone_client.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <thread>

namespace pointrelay::test {

/// One session run in-process on a socket pair, with the phone's end in `phone`.
class SessionHarness {
public:
    SessionHarness(const core::ServerConfig& config, const core::SessionContext& context) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            return;
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        ::inet_pton(AF_INET, "192.0.2.7", &peer.sin_addr);
        m_thread = std::thread([fd = fds[0], peer, config, context] {
            core::runClientSession(fd, peer, config, context);
        });
        phone.adopt(fds[1]);
    }
    ~SessionHarness() { finish(); }

    /// Hangs up (if the session still runs) and waits for the session thread to end.
    void finish() {
        phone.close();
        if (m_thread.joinable())
            m_thread.join();
    }

    /// Round-trips a PING, so every frame sent before it has been handled.
    bool sync() {
        if (!phone.sendPing())
            return false;
        std::vector<uint8_t> body;
        while (phone.recvFrame(body, 3000)) {
            if (body.size() == 1 && body[0] == 0xFF)
                return true;
        }
        return false;
    }

    client::PhoneClient phone;

private:
    std::thread m_thread;
};

} // namespace pointrelay::test
