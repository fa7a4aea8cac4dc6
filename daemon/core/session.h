// SPDX-License-Identifier: MIT
#pragma once

#include "handshake.h"
#include "server_config.h"

#include <netinet/in.h>

namespace pointrelay::core {

class InputHandler;

/// What a session shares with the rest of the daemon besides the process-wide counters.
struct SessionContext {
    InputHandler* input = nullptr;
    HandshakeGuards guards;
    int stopFd = -1; ///< becomes readable when the daemon stops; -1 when there is none
};

/// \brief The body of one client's thread: announce, handshake, serve frames, close. Owns and
/// closes `fd`; logs exactly one "Client disconnected (" line after its "Client connected (".
void runClientSession(int fd, const sockaddr_in& peer, ServerConfig config,
                      const SessionContext& context);

} // namespace pointrelay::core
