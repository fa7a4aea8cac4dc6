// SPDX-License-Identifier: MIT
#pragma once

#include "options.h"

namespace pointrelay::core {

class InputHandler;
class ReplayGuard;

/// Installs the stop handler for SIGINT and SIGTERM (it only clears the running flag, and is
/// installed without SA_RESTART so waits are interrupted) and ignores SIGPIPE.
void installSignalHandlers();

/// \brief Detaches into the background (double fork, setsid, standard streams on /dev/null).
/// Returns false if a fork or setsid failed; the intermediate processes exit with status 0.
bool daemonize();

/// \brief Listens, advertises, reports statistics and serves sessions until the running flag
/// is cleared; returns the process exit status.
int runServer(const StartupOptions& options, InputHandler& input, ReplayGuard* replay);

} // namespace pointrelay::core
