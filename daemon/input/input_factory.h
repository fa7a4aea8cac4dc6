// SPDX-License-Identifier: MIT
#pragma once

#include "core/input_handler.h"

#include <memory>

namespace pointrelay::input {

/// The input layer over the window system this machine has, chosen once at start-up:
/// Quartz on Apple; X11 when DISPLAY names a display that opens; otherwise a sink that
/// posts nothing.
std::unique_ptr<core::InputHandler> createInputHandler();

} // namespace pointrelay::input
