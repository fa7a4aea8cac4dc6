// SPDX-License-Identifier: MIT
#include "x11_keymap.h"

#include <X11/X.h>
#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <algorithm>
#include <iterator>
#include <utility>

namespace pointrelay::input {
namespace {

// Virtual key code → keysym, by key position on a US ANSI keyboard. Keys that exist only on
// ISO (0x0A) or JIS (0x5D-0x5F, 0x66, 0x68) keyboards and Fn (0x3F) are left out.
constexpr std::pair<uint16_t, X11Keysym> kVirtualKeys[] = {
    // Letters, digits and punctuation of the main block.
    {0x00, XK_a},
    {0x01, XK_s},
    {0x02, XK_d},
    {0x03, XK_f},
    {0x04, XK_h},
    {0x05, XK_g},
    {0x06, XK_z},
    {0x07, XK_x},
    {0x08, XK_c},
    {0x09, XK_v},
    {0x0B, XK_b},
    {0x0C, XK_q},
    {0x0D, XK_w},
    {0x0E, XK_e},
    {0x0F, XK_r},
    {0x10, XK_y},
    {0x11, XK_t},
    {0x12, XK_1},
    {0x13, XK_2},
    {0x14, XK_3},
    {0x15, XK_4},
    {0x16, XK_6},
    {0x17, XK_5},
    {0x18, XK_equal},
    {0x19, XK_9},
    {0x1A, XK_7},
    {0x1B, XK_minus},
    {0x1C, XK_8},
    {0x1D, XK_0},
    {0x1E, XK_bracketright},
    {0x1F, XK_o},
    {0x20, XK_u},
    {0x21, XK_bracketleft},
    {0x22, XK_i},
    {0x23, XK_p},
    {0x24, XK_Return},
    {0x25, XK_l},
    {0x26, XK_j},
    {0x27, XK_apostrophe},
    {0x28, XK_k},
    {0x29, XK_semicolon},
    {0x2A, XK_backslash},
    {0x2B, XK_comma},
    {0x2C, XK_slash},
    {0x2D, XK_n},
    {0x2E, XK_m},
    {0x2F, XK_period},
    {0x30, XK_Tab},
    {0x31, XK_space},
    {0x32, XK_grave},
    {0x33, XK_BackSpace}, // labelled "delete" on a Mac
    {0x35, XK_Escape},
    // Modifiers: Command takes Control's part, so Command+C copies as Control+C does.
    {0x36, XK_Control_R}, // right Command
    {0x37, XK_Control_L}, // Command
    {0x38, XK_Shift_L},
    {0x39, XK_Caps_Lock},
    {0x3A, XK_Alt_L}, // Option
    {0x3B, XK_Control_L},
    {0x3C, XK_Shift_R},
    {0x3D, XK_Alt_R}, // right Option
    {0x3E, XK_Control_R},
    // Keypad. A Mac keypad has no Num Lock: its keys always give digits, and Clear sits where
    // Num Lock would be.
    {0x41, XK_KP_Decimal},
    {0x43, XK_KP_Multiply},
    {0x45, XK_KP_Add},
    {0x47, XK_Clear},
    {0x4B, XK_KP_Divide},
    {0x4C, XK_KP_Enter},
    {0x4E, XK_KP_Subtract},
    {0x51, XK_KP_Equal},
    {0x52, XK_KP_0},
    {0x53, XK_KP_1},
    {0x54, XK_KP_2},
    {0x55, XK_KP_3},
    {0x56, XK_KP_4},
    {0x57, XK_KP_5},
    {0x58, XK_KP_6},
    {0x59, XK_KP_7},
    {0x5B, XK_KP_8},
    {0x5C, XK_KP_9},
    // Volume keys of old Apple keyboards.
    {0x48, XF86XK_AudioRaiseVolume},
    {0x49, XF86XK_AudioLowerVolume},
    {0x4A, XF86XK_AudioMute},
    // Function keys.
    {0x7A, XK_F1},
    {0x78, XK_F2},
    {0x63, XK_F3},
    {0x76, XK_F4},
    {0x60, XK_F5},
    {0x61, XK_F6},
    {0x62, XK_F7},
    {0x64, XK_F8},
    {0x65, XK_F9},
    {0x6D, XK_F10},
    {0x67, XK_F11},
    {0x6F, XK_F12},
    {0x69, XK_F13},
    {0x6B, XK_F14},
    {0x71, XK_F15},
    {0x6A, XK_F16},
    {0x40, XK_F17},
    {0x4F, XK_F18},
    {0x50, XK_F19},
    {0x5A, XK_F20},
    // Navigation. Help is where a PC keyboard has Insert (and what Insert reports on a Mac).
    {0x6E, XK_Menu},
    {0x72, XK_Insert},
    {0x73, XK_Home},
    {0x74, XK_Prior},
    {0x75, XK_Delete}, // forward delete
    {0x77, XK_End},
    {0x79, XK_Next},
    {0x7B, XK_Left},
    {0x7C, XK_Right},
    {0x7D, XK_Down},
    {0x7E, XK_Up},
};

} // namespace

X11Keysym x11KeysymForVirtualKey(uint16_t virtualKey) {
    const auto* it = std::find_if(std::begin(kVirtualKeys), std::end(kVirtualKeys),
                                  [&](const auto& entry) { return entry.first == virtualKey; });
    return it == std::end(kVirtualKeys) ? NoSymbol : it->second;
}

std::vector<X11Keysym> x11ModifiersForFlags(uint64_t eventFlags) {
    std::vector<X11Keysym> keysyms;
    if (eventFlags & (flags::kCommand | flags::kControl))
        keysyms.push_back(XK_Control_L);
    if (eventFlags & flags::kOption)
        keysyms.push_back(XK_Alt_L);
    if (eventFlags & flags::kShift)
        keysyms.push_back(XK_Shift_L);
    return keysyms;
}

X11Keysym x11KeysymForCodePoint(char32_t cp) {
    if (cp == U'\n' || cp == U'\r')
        return XK_Return;
    if (cp == U'\t')
        return XK_Tab;
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF)
        return NoSymbol;
    // Latin-1 keysyms equal their code points; every other character has the Unicode keysym
    // 0x01000000 + code point.
    return cp < 0x100 ? cp : 0x01000000 | cp;
}

X11Keysym x11KeysymForAuxKey(AuxKeyType type) {
    switch (type) {
    case AuxKeyType::SoundUp:
        return XF86XK_AudioRaiseVolume;
    case AuxKeyType::SoundDown:
        return XF86XK_AudioLowerVolume;
    case AuxKeyType::BrightnessUp:
        return XF86XK_MonBrightnessUp;
    case AuxKeyType::BrightnessDown:
        return XF86XK_MonBrightnessDown;
    case AuxKeyType::Mute:
        return XF86XK_AudioMute;
    case AuxKeyType::Play:
        return XF86XK_AudioPlay;
    case AuxKeyType::Fast:
        return XF86XK_AudioNext;
    case AuxKeyType::Rewind:
        return XF86XK_AudioPrev;
    }
    return NoSymbol;
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

} // namespace pointrelay::input
