// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <optional>

namespace pointrelay::core {

/// The daemon's state folder: $XDG_STATE_HOME/pointrelay when that is an absolute path, else
/// ~/.local/state/pointrelay (the home from HOME, else the password database). Nothing when no
/// home can be found. The folder need not exist.
std::optional<std::filesystem::path> stateFolder();

} // namespace pointrelay::core
