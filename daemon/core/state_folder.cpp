// SPDX-License-Identifier: MIT
#include "state_folder.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace pointrelay::core {

std::optional<std::filesystem::path> stateFolder() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        return std::filesystem::path(state) / "pointrelay";
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = ::getpwuid(::getuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || !*home)
        return std::nullopt;
    return std::filesystem::path(home) / ".local" / "state" / "pointrelay";
}

} // namespace pointrelay::core
