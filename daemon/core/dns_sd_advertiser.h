// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <thread>

namespace pointrelay::core {

/// Advertises the daemon as "Pointrelay Server" of type _pointrelay._tcp in "local." through
/// the dns_sd API, until stop() withdraws it.
class DnsSdAdvertiser {
public:
    DnsSdAdvertiser();
    ~DnsSdAdvertiser();
    DnsSdAdvertiser(const DnsSdAdvertiser&) = delete;
    DnsSdAdvertiser& operator=(const DnsSdAdvertiser&) = delete;

    /// \brief Registers the service on `port`; returns the DNS-SD error code (0 = success).
    /// On success the result thread runs until the service answers or stop() is called.
    int32_t start(uint16_t port);

    /// Wakes and joins the result thread, then releases the registration.
    void stop();

private:
    void* m_ref = nullptr; // DNSServiceRef, kept opaque so no caller needs dns_sd.h
    int m_wakePipe[2] = {-1, -1};
    std::thread m_resultThread;
};

} // namespace pointrelay::core
