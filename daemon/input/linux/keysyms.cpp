// SPDX-License-Identifier: MIT
#include "keysyms.h"

#include <algorithm>
#include <iterator>
#include <utility>
#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

namespace pointrelay::input {
namespace {

// Virtual key code → keysym, by key position on a US ANSI keyboard. Keys that exist only on
// ISO (0x0A) or JIS (0x5D-0x5F, 0x66, 0x68) keyboards and Fn (0x3F) are left out.
constexpr std::pair<uint16_t, Keysym> kVirtualKeys[] = {
    // Letters, digits and punctuation of the main block.
    {0x00, XKB_KEY_a},
    {0x01, XKB_KEY_s},
    {0x02, XKB_KEY_d},
    {0x03, XKB_KEY_f},
    {0x04, XKB_KEY_h},
    {0x05, XKB_KEY_g},
    {0x06, XKB_KEY_z},
    {0x07, XKB_KEY_x},
    {0x08, XKB_KEY_c},
    {0x09, XKB_KEY_v},
    {0x0B, XKB_KEY_b},
    {0x0C, XKB_KEY_q},
    {0x0D, XKB_KEY_w},
    {0x0E, XKB_KEY_e},
    {0x0F, XKB_KEY_r},
    {0x10, XKB_KEY_y},
    {0x11, XKB_KEY_t},
    {0x12, XKB_KEY_1},
    {0x13, XKB_KEY_2},
    {0x14, XKB_KEY_3},
    {0x15, XKB_KEY_4},
    {0x16, XKB_KEY_6},
    {0x17, XKB_KEY_5},
    {0x18, XKB_KEY_equal},
    {0x19, XKB_KEY_9},
    {0x1A, XKB_KEY_7},
    {0x1B, XKB_KEY_minus},
    {0x1C, XKB_KEY_8},
    {0x1D, XKB_KEY_0},
    {0x1E, XKB_KEY_bracketright},
    {0x1F, XKB_KEY_o},
    {0x20, XKB_KEY_u},
    {0x21, XKB_KEY_bracketleft},
    {0x22, XKB_KEY_i},
    {0x23, XKB_KEY_p},
    {0x24, XKB_KEY_Return},
    {0x25, XKB_KEY_l},
    {0x26, XKB_KEY_j},
    {0x27, XKB_KEY_apostrophe},
    {0x28, XKB_KEY_k},
    {0x29, XKB_KEY_semicolon},
    {0x2A, XKB_KEY_backslash},
    {0x2B, XKB_KEY_comma},
    {0x2C, XKB_KEY_slash},
    {0x2D, XKB_KEY_n},
    {0x2E, XKB_KEY_m},
    {0x2F, XKB_KEY_period},
    {0x30, XKB_KEY_Tab},
    {0x31, XKB_KEY_space},
    {0x32, XKB_KEY_grave},
    {0x33, XKB_KEY_BackSpace}, // labelled "delete" on a Mac
    {0x35, XKB_KEY_Escape},
    // Modifiers: Command takes Control's part, so Command+C copies as Control+C does.
    {0x36, XKB_KEY_Control_R}, // right Command
    {0x37, XKB_KEY_Control_L}, // Command
    {0x38, XKB_KEY_Shift_L},
    {0x39, XKB_KEY_Caps_Lock},
    {0x3A, XKB_KEY_Alt_L}, // Option
    {0x3B, XKB_KEY_Control_L},
    {0x3C, XKB_KEY_Shift_R},
    {0x3D, XKB_KEY_Alt_R}, // right Option
    {0x3E, XKB_KEY_Control_R},
    // Keypad. A Mac keypad has no Num Lock: its keys always give digits, and Clear sits where
    // Num Lock would be.
    {0x41, XKB_KEY_KP_Decimal},
    {0x43, XKB_KEY_KP_Multiply},
    {0x45, XKB_KEY_KP_Add},
    {0x47, XKB_KEY_Clear},
    {0x4B, XKB_KEY_KP_Divide},
    {0x4C, XKB_KEY_KP_Enter},
    {0x4E, XKB_KEY_KP_Subtract},
    {0x51, XKB_KEY_KP_Equal},
    {0x52, XKB_KEY_KP_0},
    {0x53, XKB_KEY_KP_1},
    {0x54, XKB_KEY_KP_2},
    {0x55, XKB_KEY_KP_3},
    {0x56, XKB_KEY_KP_4},
    {0x57, XKB_KEY_KP_5},
    {0x58, XKB_KEY_KP_6},
    {0x59, XKB_KEY_KP_7},
    {0x5B, XKB_KEY_KP_8},
    {0x5C, XKB_KEY_KP_9},
    // Volume keys of old Apple keyboards.
    {0x48, XKB_KEY_XF86AudioRaiseVolume},
    {0x49, XKB_KEY_XF86AudioLowerVolume},
    {0x4A, XKB_KEY_XF86AudioMute},
    // Function keys.
    {0x7A, XKB_KEY_F1},
    {0x78, XKB_KEY_F2},
    {0x63, XKB_KEY_F3},
    {0x76, XKB_KEY_F4},
    {0x60, XKB_KEY_F5},
    {0x61, XKB_KEY_F6},
    {0x62, XKB_KEY_F7},
    {0x64, XKB_KEY_F8},
    {0x65, XKB_KEY_F9},
    {0x6D, XKB_KEY_F10},
    {0x67, XKB_KEY_F11},
    {0x6F, XKB_KEY_F12},
    {0x70, XKB_KEY_Super_L}, // no Mac key: the combos' Super
    {0x69, XKB_KEY_F13},
    {0x6B, XKB_KEY_F14},
    {0x71, XKB_KEY_F15},
    {0x6A, XKB_KEY_F16},
    {0x40, XKB_KEY_F17},
    {0x4F, XKB_KEY_F18},
    {0x50, XKB_KEY_F19},
    {0x5A, XKB_KEY_F20},
    // Navigation. Help is where a PC keyboard has Insert (and what Insert reports on a Mac).
    {0x6E, XKB_KEY_Menu},
    {0x72, XKB_KEY_Insert},
    {0x73, XKB_KEY_Home},
    {0x74, XKB_KEY_Prior},
    {0x75, XKB_KEY_Delete}, // forward delete
    {0x77, XKB_KEY_End},
    {0x79, XKB_KEY_Next},
    {0x7B, XKB_KEY_Left},
    {0x7C, XKB_KEY_Right},
    {0x7D, XKB_KEY_Down},
    {0x7E, XKB_KEY_Up},
};

} // namespace

Keysym keysymForVirtualKey(uint16_t virtualKey) {
    const auto* it = std::find_if(std::begin(kVirtualKeys), std::end(kVirtualKeys),
                                  [&](const auto& entry) { return entry.first == virtualKey; });
    return it == std::end(kVirtualKeys) ? XKB_KEY_NoSymbol : it->second;
}

std::vector<Keysym> modifiersForFlags(uint64_t eventFlags) {
    std::vector<Keysym> keysyms;
    if (eventFlags & (flags::kCommand | flags::kControl))
        keysyms.push_back(XKB_KEY_Control_L);
    if (eventFlags & flags::kOption)
        keysyms.push_back(XKB_KEY_Alt_L);
    if (eventFlags & flags::kShift)
        keysyms.push_back(XKB_KEY_Shift_L);
    return keysyms;
}

Keysym keysymForCodePoint(char32_t cp) {
    if (cp == U'\n' || cp == U'\r')
        return XKB_KEY_Return;
    if (cp == U'\t')
        return XKB_KEY_Tab;
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF)
        return XKB_KEY_NoSymbol;
    // Latin-1 keysyms equal their code points; every other character has the Unicode keysym
    // 0x01000000 + code point.
    return cp < 0x100 ? cp : 0x01000000 | cp;
}

Keysym keysymForTyping(char32_t cp) {
    if (cp == U'\n' || cp == U'\r')
        return XKB_KEY_Return;
    if (cp == U'\t')
        return XKB_KEY_Tab;
    return xkb_utf32_to_keysym(cp);
}

Keysym keysymForAuxKey(AuxKeyType type) {
    switch (type) {
    case AuxKeyType::SoundUp:
        return XKB_KEY_XF86AudioRaiseVolume;
    case AuxKeyType::SoundDown:
        return XKB_KEY_XF86AudioLowerVolume;
    case AuxKeyType::BrightnessUp:
        return XKB_KEY_XF86MonBrightnessUp;
    case AuxKeyType::BrightnessDown:
        return XKB_KEY_XF86MonBrightnessDown;
    case AuxKeyType::Mute:
        return XKB_KEY_XF86AudioMute;
    case AuxKeyType::Play:
        return XKB_KEY_XF86AudioPlay;
    case AuxKeyType::Fast:
        return XKB_KEY_XF86AudioNext;
    case AuxKeyType::Rewind:
        return XKB_KEY_XF86AudioPrev;
    }
    return XKB_KEY_NoSymbol;
}

std::vector<char32_t> decodeUtf16(std::u16string_view text) {
    std::vector<char32_t> codePoints;
    codePoints.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char32_t unit = text[i];
        if (unit < 0xD800 || unit >= 0xE000) {
            codePoints.push_back(unit);
        } else if (unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                   text[i + 1] < 0xE000) {
            codePoints.push_back(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } // else: a lone surrogate, skipped
    }
    return codePoints;
}

std::string encodeUtf8(std::u32string_view text) {
    std::string out;
    for (const char32_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace pointrelay::input
