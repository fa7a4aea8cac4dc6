// SPDX-License-Identifier: MIT
#include "socket_lister.h"

#include "lsof_socket_lister.h"
#include "proc_socket_lister.h"

#include <unistd.h>

namespace pointrelay::app {

std::shared_ptr<const SocketLister> SocketLister::system() {
#if defined(Q_OS_LINUX)
    // /proc answers without a child process per question; lsof is the fallback for a system
    // where /proc is not mounted (or hidden from us).
    if (::access("/proc/net/tcp", R_OK) == 0) {
        return std::make_shared<ProcSocketLister>();
    }
#endif
    return std::make_shared<LsofSocketLister>(LsofSocketLister::systemLsofPath(),
                                              LsofSocketLister::systemPsPath());
}

} // namespace pointrelay::app
