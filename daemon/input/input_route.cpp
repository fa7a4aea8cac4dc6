// SPDX-License-Identifier: MIT
#include "input_route.h"

#include <array>
#include <utility>

namespace pointrelay::input {
namespace {

constexpr std::array<std::pair<InputRoute, std::string_view>, 7> kNames = {{
    {InputRoute::wlroots, "wlroots"},
    {InputRoute::kwin, "kwin"},
    {InputRoute::libei, "libei"},
    {InputRoute::gnome, "gnome"},
    {InputRoute::portal, "portal"},
    {InputRoute::x11, "x11"},
    {InputRoute::none, "null"},
}};

} // namespace

std::string_view routeName(InputRoute route) {
    for (const auto& [known, name] : kNames) {
        if (known == route)
            return name;
    }
    return "?";
}

std::optional<InputRoute> routeNamed(std::string_view name) {
    for (const auto& [route, known] : kNames) {
        if (known == name)
            return route;
    }
    return std::nullopt;
}

std::vector<InputRoute> routesToTry(const char* waylandDisplay, std::optional<InputRoute> forced) {
    if (forced)
        return {*forced};
    if (waylandDisplay && *waylandDisplay)
        return {InputRoute::wlroots, InputRoute::kwin,   InputRoute::libei,
                InputRoute::gnome,   InputRoute::portal, InputRoute::x11};
    return {InputRoute::x11};
}

} // namespace pointrelay::input
