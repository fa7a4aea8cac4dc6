// SPDX-License-Identifier: MIT
#pragma once

#include "input/event_sink.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Translation from the input layer's key vocabulary (virtual key codes of a US ANSI keyboard,
// modifier flags, auxiliary keys, UTF-16 text) to keysyms, the key names that X11 and every
// Wayland route (XKB) share. The one key table of the Linux adapters; kept free of Xlib
// headers, whose macros (None, Bool, Status, ...) would leak into every includer.
namespace pointrelay::input {

/// A keysym (Xlib's KeySym, xkbcommon's xkb_keysym_t); 0 is NoSymbol.
using Keysym = unsigned long;

/// The keysym a virtual key stands for, or 0 for keys without an equivalent (Fn, ISO and
/// JIS-only keys, unused codes). Command acts as Control, Option as Alt.
Keysym keysymForVirtualKey(uint16_t virtualKey);

/// The modifier keysyms implied by a flags-style key event, in press order, without
/// duplicates (Command and Control both give Control_L). Fn has no equivalent and is dropped.
std::vector<Keysym> modifiersForFlags(uint64_t flags);

/// The keysym that types one Unicode code point, or 0 when it cannot be typed (controls other
/// than tab and line breaks, surrogates, values beyond U+10FFFF).
Keysym keysymForCodePoint(char32_t codePoint);

/// The keysym a keyboard types a character with: Return for line breaks, Tab for tabs,
/// otherwise xkbcommon's keysym for it (the named keysyms layouts use, such as Cyrillic_a,
/// before the Unicode keysym).
Keysym keysymForTyping(char32_t codePoint);

/// The XF86 keysym of an auxiliary (media, volume, brightness) key, or 0 for unknown types.
Keysym keysymForAuxKey(AuxKeyType type);

/// UTF-16 decoded to code points: surrogate pairs join into one, lone surrogates are skipped.
std::vector<char32_t> decodeUtf16(std::u16string_view text);
/// Code points encoded as UTF-8 (what a clipboard offers as text).
std::string encodeUtf8(std::u32string_view text);

} // namespace pointrelay::input
