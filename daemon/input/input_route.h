// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace pointrelay::input {

/// The ways into a desktop, in the order a Wayland session tries them: those that ask the
/// person nothing before the portal, which may show a dialog.
enum class InputRoute { wlroots, kwin, libei, gnome, portal, x11, none };

/// \brief The name POINTRELAY_INPUT uses for a route ("wlroots", "kwin", ..., "null").
std::string_view routeName(InputRoute route);
/// \brief The route a POINTRELAY_INPUT value names; nothing for any other text.
std::optional<InputRoute> routeNamed(std::string_view name);

/// \brief The routes to try, in order, the first that opens being used. A route named by
/// POINTRELAY_INPUT (\a forced) is the only one tried. In a Wayland session (\a waylandDisplay
/// set and not empty) the Wayland routes come first and XTest, which reaches only X
/// applications there, last; elsewhere XTest alone. Null when nothing opens.
std::vector<InputRoute> routesToTry(const char* waylandDisplay, std::optional<InputRoute> forced);

} // namespace pointrelay::input
