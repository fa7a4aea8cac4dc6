// SPDX-License-Identifier: MIT
#pragma once

#include "core/input_handler.h"

#include <memory>

namespace pointrelay::input {

/// The input layer over the window system this machine has, chosen once at start-up: Quartz
/// on Apple; in a Wayland session the first that opens of the wlroots virtual devices, KWin's
/// fake input, libei through GNOME's remote desktop, GNOME's remote desktop over D-Bus and the
/// desktop portal, then XTest (which reaches X applications only there); elsewhere XTest when
/// DISPLAY names a display that opens; otherwise a sink that posts nothing. One line names the
/// route taken and one line each says why a route before it was skipped. POINTRELAY_INPUT (wlroots,
/// kwin, libei, gnome, portal, x11, null) names the one route to try. The route taken comes back by
/// itself after its desktop restarts.
std::unique_ptr<core::InputHandler> createInputHandler();

} // namespace pointrelay::input
