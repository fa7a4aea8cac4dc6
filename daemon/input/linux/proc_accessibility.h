// SPDX-License-Identifier: MIT
#pragma once

#include "input/accessibility.h"

#include <filesystem>
#include <memory>

namespace pointrelay::input {

/// The Focus toggle's questions on Linux: processes are found through /proc; there is no
/// accessibility tree to walk and no notification centre to post to, so the toggle always
/// takes its fallback path and reports a failed status.
std::unique_ptr<AccessibilityPort>
createProcAccessibility(std::filesystem::path procRoot = "/proc");

} // namespace pointrelay::input
