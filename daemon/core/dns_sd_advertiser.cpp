// SPDX-License-Identifier: MIT
#include "dns_sd_advertiser.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <dns_sd.h>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace pointrelay::core {

DnsSdAdvertiser::DnsSdAdvertiser() = default;

DnsSdAdvertiser::~DnsSdAdvertiser() {
    stop();
}

int32_t DnsSdAdvertiser::start(uint16_t port) {
    // Avahi's compatibility layer warns on standard error at its first call unless told not
    // to; our standard error is the log, which must hold our lines only.
    ::setenv("AVAHI_COMPAT_NOWARN", "1", 1);

    DNSServiceRef ref = nullptr;
    const DNSServiceErrorType err =
        DNSServiceRegister(&ref, 0, 0, "Pointrelay Server", "_pointrelay._tcp", "local.", nullptr,
                           htons(port), 0, nullptr, nullptr, nullptr);
    if (err != kDNSServiceErr_NoError)
        return err;
    m_ref = ref;

    // DNSServiceProcessResult blocks until the service has something to say; a pipe lets
    // stop() end the wait before the reference is released under it.
    if (::pipe(m_wakePipe) != 0)
        return kDNSServiceErr_NoError; // advertised; there is just no result thread to run
    for (const int fd : m_wakePipe)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    const int serviceFd = DNSServiceRefSockFD(ref);
    const int wakeFd = m_wakePipe[0];
    try {
        m_resultThread = std::thread([ref, serviceFd, wakeFd] {
            pollfd fds[2] = {{wakeFd, POLLIN, 0}, {serviceFd, POLLIN, 0}};
            const nfds_t count = serviceFd >= 0 ? 2 : 1;
            int rc;
            do {
                rc = ::poll(fds, count, -1);
            } while (rc < 0 && errno == EINTR);
            if (rc > 0 && fds[0].revents == 0 && count == 2 && fds[1].revents != 0)
                DNSServiceProcessResult(ref); // the one answer; the registration stays
        });
    } catch (const std::system_error&) {
        // Without the result thread the registration still stands; nothing reads its answer.
    }
    return kDNSServiceErr_NoError;
}

void DnsSdAdvertiser::stop() {
    if (m_resultThread.joinable()) {
        const char wake = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wakePipe[1], &wake, 1);
        m_resultThread.join();
    }
    for (int& fd : m_wakePipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    if (m_ref) {
        DNSServiceRefDeallocate(static_cast<DNSServiceRef>(m_ref));
        m_ref = nullptr;
    }
}

} // namespace pointrelay::core
