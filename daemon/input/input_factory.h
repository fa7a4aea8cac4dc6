// SPDX-License-Identifier: MIT
#pragma once

#include "core/input_handler.h"

#include <memory>

namespace pointrelay::input {

/// The input layer over the window system this machine has, chosen once at start-up and
/// logged: Quartz on Apple; in a Wayland session the first of the wlroots virtual devices,
/// GNOME's remote desktop and the desktop portal that opens, then XTest (which reaches X
/// applications only there); elsewhere XTest when DISPLAY names a display that opens;
/// otherwise a sink that posts nothing. POINTRELAY_INPUT (x11, wlroots, gnome, portal, null)
/// names the one route to try.
std::unique_ptr<core::InputHandler> createInputHandler();

} // namespace pointrelay::input
