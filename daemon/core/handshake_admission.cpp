// SPDX-License-Identifier: MIT
#include "handshake_admission.h"

#include "log.h"

#include <sys/socket.h>

namespace pointrelay::core {

HandshakeAdmission::HandshakeAdmission(size_t perAddress, size_t total)
    : m_perAddress(perAddress), m_total(total) {}

void HandshakeAdmission::evictLocked(List::iterator it) {
    // Shutting the socket down wakes the session's wait for the HELLO at once; the session
    // still owns the descriptor and closes it after releasing its ticket, so it cannot have
    // been reused while it is in this list.
    ::shutdown(it->fd, SHUT_RDWR);
    if (--m_perAddressCount[it->address] == 0)
        m_perAddressCount.erase(it->address);
    m_byTicket.erase(it->ticket);
    m_pending.erase(it);

    const auto now = Clock::now();
    if (now - m_lastWarning >= std::chrono::seconds(1)) {
        m_lastWarning = now;
        logLine("Too many pending handshakes -> closing the oldest");
    }
}

uint64_t HandshakeAdmission::admit(int fd, uint32_t peerAddress) {
    std::lock_guard lock(m_mutex);
    if (m_perAddressCount[peerAddress] >= m_perAddress) {
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if (it->address == peerAddress) {
                evictLocked(it);
                break;
            }
        }
    }
    if (m_pending.size() >= m_total)
        evictLocked(m_pending.begin());

    const uint64_t ticket = m_nextTicket++;
    m_pending.push_back({ticket, fd, peerAddress});
    m_byTicket.emplace(ticket, std::prev(m_pending.end()));
    ++m_perAddressCount[peerAddress];
    return ticket;
}

void HandshakeAdmission::release(uint64_t ticket) {
    std::lock_guard lock(m_mutex);
    const auto found = m_byTicket.find(ticket);
    if (found == m_byTicket.end())
        return; // already evicted
    const auto it = found->second;
    if (--m_perAddressCount[it->address] == 0)
        m_perAddressCount.erase(it->address);
    m_pending.erase(it);
    m_byTicket.erase(found);
}

void HandshakeAdmission::shutdownAll() {
    std::lock_guard lock(m_mutex);
    for (const Entry& entry : m_pending)
        ::shutdown(entry.fd, SHUT_RDWR);
    m_pending.clear();
    m_byTicket.clear();
    m_perAddressCount.clear();
}

size_t HandshakeAdmission::pendingCount() const {
    std::lock_guard lock(m_mutex);
    return m_pending.size();
}

} // namespace pointrelay::core
