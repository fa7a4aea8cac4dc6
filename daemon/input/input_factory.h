// SPDX-License-Identifier: MIT
#pragma once

#include "core/input_handler.h"

#include <memory>

namespace pointrelay::input {

/// The input layer the daemon serves its sessions with.
std::unique_ptr<core::InputHandler> createInputHandler();

} // namespace pointrelay::input
