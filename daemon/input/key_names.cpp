// SPDX-License-Identifier: MIT
#include "key_names.h"

#include "keyboard.h"

#include <algorithm>
#include <utility>

namespace pointrelay::input {
namespace {

template <size_t N>
std::optional<uint16_t> lookUp(const std::pair<std::string_view, uint16_t> (&table)[N],
                               std::string_view name) {
    const auto* it =
        std::find_if(std::begin(table), std::end(table), [&](auto& e) { return e.first == name; });
    return it == std::end(table) ? std::nullopt : std::optional(it->second);
}

// Virtual key codes of a US ANSI keyboard.
constexpr std::pair<std::string_view, uint16_t> kKeys[] = {
    {"a", 0x00},
    {"b", 0x0B},
    {"c", 0x08},
    {"d", 0x02},
    {"e", 0x0E},
    {"f", 0x03},
    {"g", 0x05},
    {"h", 0x04},
    {"i", 0x22},
    {"j", 0x26},
    {"k", 0x28},
    {"l", 0x25},
    {"m", 0x2E},
    {"n", 0x2D},
    {"o", 0x1F},
    {"p", 0x23},
    {"q", 0x0C},
    {"r", 0x0F},
    {"s", 0x01},
    {"t", 0x11},
    {"u", 0x20},
    {"v", 0x09},
    {"w", 0x0D},
    {"x", 0x07},
    {"y", 0x10},
    {"z", 0x06},
    {"0", 0x1D},
    {"1", 0x12},
    {"2", 0x13},
    {"3", 0x14},
    {"4", 0x15},
    {"5", 0x17},
    {"6", 0x16},
    {"7", 0x1A},
    {"8", 0x1C},
    {"9", 0x19},
    {"minus", 0x1B},
    {"equal", 0x18},
    {"bracketleft", 0x21},
    {"bracketright", 0x1E},
    {"backslash", 0x2A},
    {"semicolon", 0x29},
    {"apostrophe", 0x27},
    {"grave", 0x32},
    {"comma", 0x2B},
    {"period", 0x2F},
    {"slash", 0x2C},
    {"tab", keys::kTab},
    {"enter", keys::kReturn},
    {"space", keys::kSpace},
    {"backspace", keys::kDelete},
    {"escape", keys::kEscape},
    {"delete", keys::kForwardDelete},
    {"home", keys::kHome},
    {"end", keys::kEnd},
    {"pageup", keys::kPageUp},
    {"pagedown", keys::kPageDown},
    {"left", keys::kLeft},
    {"right", keys::kRight},
    {"up", keys::kUp},
    {"down", keys::kDown},
    {"f1", 122},
    {"f2", 120},
    {"f3", 99},
    {"f4", 118},
    {"f5", 96},
    {"f6", 97},
    {"f7", 98},
    {"f8", 100},
    {"f9", 101},
    {"f10", 109},
    {"f11", 103},
    {"f12", 111},
};

constexpr std::pair<std::string_view, uint16_t> kModifiers[] = {{"ctrl", keys::kControl},
                                                                {"alt", keys::kOption},
                                                                {"shift", keys::kShift},
                                                                {"super", keys::kSuper}};

} // namespace

std::optional<uint16_t> keyForName(std::string_view name) {
    return lookUp(kKeys, name);
}

std::optional<uint16_t> modifierForName(std::string_view name) {
    return lookUp(kModifiers, name);
}

} // namespace pointrelay::input
