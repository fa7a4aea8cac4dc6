// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstdint>

namespace pointrelay::core {

// Process-wide state shared by the accept loop, the sessions and the statistics reporter.
// Everything else in the daemon belongs to one thread.
inline std::atomic<int32_t> activeClients{0};
inline std::atomic<uint64_t> moveCount{0};   ///< binary MOVE frames applied since start
inline std::atomic<uint64_t> scrollCount{0}; ///< binary SCROLL frames applied since start
inline std::atomic<bool> runningFlag{true};  ///< cleared by SIGINT/SIGTERM

} // namespace pointrelay::core
