// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pointrelay::input {

/// \brief The virtual key of a key name that a "combo" command gives: a to z, 0 to 9, f1 to
/// f12, tab, enter, space, backspace, escape, delete (forward), home, end, pageup, pagedown,
/// left, right, up, down, and minus, equal, bracketleft, bracketright, backslash, semicolon,
/// apostrophe, grave, comma, period, slash (the keys of a US layout). Nothing for other names.
std::optional<uint16_t> keyForName(std::string_view name);

/// \brief The modifier key of ctrl, alt, shift or super; nothing for other names.
std::optional<uint16_t> modifierForName(std::string_view name);

} // namespace pointrelay::input
