// SPDX-License-Identifier: MIT
#pragma once

#include "options.h"

namespace pointrelay::core {

class DeviceKeys;
class InputHandler;
class ReplayGuard;

/// Installs the stop handler for SIGINT and SIGTERM (it only clears the running flag, and is
/// installed without SA_RESTART so waits are interrupted), the reload handler for SIGHUP, and
/// ignores SIGPIPE.
void installSignalHandlers();

/// \brief Detaches into the background (double fork, setsid, standard streams on /dev/null).
/// Returns false if a fork or setsid failed; the intermediate processes exit with status 0.
bool daemonize();

/// \brief Listens, advertises, reports statistics and serves sessions until the running flag
/// is cleared; returns the process exit status. With `devices`, sessions authenticate with
/// the paired devices' keys, read again from the options' keys file on SIGHUP; otherwise with
/// the config's key and `replay`.
int runServer(const StartupOptions& options, InputHandler& input, ReplayGuard* replay,
              DeviceKeys* devices = nullptr);

} // namespace pointrelay::core
