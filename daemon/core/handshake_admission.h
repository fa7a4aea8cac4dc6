// SPDX-License-Identifier: MIT
#pragma once

#include "frame.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>

namespace pointrelay::core {

/// Bounds the connections that wait for their HELLO, so silent peers can neither exhaust the
/// daemon nor lock a phone out. When a new connection would exceed a bound, the connection of
/// the same address (per-address bound) or of any address (total bound) that has waited
/// longest is shut down; its session then fails its handshake as any other would.
class HandshakeAdmission {
public:
    static constexpr size_t kDefaultPerAddress = 8;
    static constexpr size_t kDefaultTotal = 32;

    HandshakeAdmission(size_t perAddress = kDefaultPerAddress, size_t total = kDefaultTotal);

    /// Registers an accepted socket as waiting for its HELLO; returns its ticket.
    uint64_t admit(int fd, uint32_t peerAddress);

    /// Ends the wait of a ticket. Must be called before the socket is closed.
    void release(uint64_t ticket);

    /// Shuts every waiting socket down, so their sessions end now (used at shutdown).
    void shutdownAll();

    size_t pendingCount() const;

private:
    struct Entry {
        uint64_t ticket;
        int fd;
        uint32_t address;
    };
    using List = std::list<Entry>; // oldest first

    void evictLocked(List::iterator it);

    const size_t m_perAddress;
    const size_t m_total;
    mutable std::mutex m_mutex;
    List m_pending;
    std::unordered_map<uint64_t, List::iterator> m_byTicket;
    std::unordered_map<uint32_t, size_t> m_perAddressCount;
    uint64_t m_nextTicket = 1;
    Clock::time_point m_lastWarning{};
};

} // namespace pointrelay::core
