// SPDX-License-Identifier: MIT
#pragma once

#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pointrelay::test {

/// \brief Moves the calling thread, and every thread and process it starts from now on, into a
/// network namespace of its own with only the loopback interface, up. False (and nothing
/// changed) where the system does not allow it, e.g. without CAP_SYS_ADMIN.
///
/// Tests that open and close thousands of connections need this: every connection closed
/// first by its client stays in TIME_WAIT for a minute, holding its port against later binds
/// without SO_REUSEADDR by any test on the machine. A private namespace takes them with it.
inline bool enterPrivateLoopbackNetwork() {
    if (::unshare(CLONE_NEWNET) != 0)
        return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (fd >= 0)
        ::close(fd);
    return up;
}

} // namespace pointrelay::test
