// SPDX-License-Identifier: MIT
#pragma once

#include "input/linux/keysyms.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

struct xkb_context;
struct xkb_keymap;

namespace pointrelay::input {

/// A compiled XKB keymap: its text as a compositor takes it (uploaded to a virtual keyboard)
/// and where each keysym sits on it. Keycodes are evdev codes (an XKB keycode is 8 more).
class XkbKeymap {
public:
    struct Position {
        uint32_t evdevCode = 0;
        uint32_t level = 0; ///< 0: no modifier, 1: Shift
    };

    /// \brief The US layout on evdev keycodes, as a pc105 keyboard has it.
    static std::optional<XkbKeymap> usLayout();
    /// \brief One key per keysym, evdev code 1 for the first and on, each with a single level:
    /// pressed without modifiers it gives exactly that keysym, whatever is held elsewhere.
    static std::optional<XkbKeymap> forKeysyms(std::span<const Keysym> keysyms);
    /// \brief A keymap as a compositor sent it (wl_keyboard.keymap).
    static std::optional<XkbKeymap> fromText(const std::string& text);

    /// The most keys `forKeysyms` gives: evdev codes 1 to 247 (XKB keycodes up to 255, which
    /// every client, XWayland's too, can represent).
    static constexpr size_t kMaxKeysyms = 247;

    /// Text ending in the NUL byte that the keymap request counts in its size.
    const std::string& text() const { return m_text; }
    /// \brief Where the keysym is at the first (no modifier) or second (Shift) level of the
    /// first layout, the lowest level and code first; nothing when it is not on the map.
    std::optional<Position> find(Keysym keysym) const;
    /// \brief Presses (or releases) \a keysym where the keymap puts it, Shift held around a
    /// keysym of the second level: \a key(evdevCode, down) for each key in order. False, and
    /// nothing pressed, when the keysym is not on the map.
    bool press(Keysym keysym, bool down, const std::function<void(uint32_t, bool)>& key) const;
    ::xkb_keymap* get() const { return m_keymap.get(); }

    struct Deleter {
        void operator()(::xkb_context* context) const;
        void operator()(::xkb_keymap* keymap) const;
    };

private:
    explicit XkbKeymap(::xkb_keymap* keymap);

    std::unique_ptr<::xkb_keymap, Deleter> m_keymap;
    std::string m_text;
    std::unordered_map<Keysym, Position> m_positions;
};

/// \brief Hands \a text over in order: as keys where \a keymap has them (Return and Tab always),
/// \a type(keysym) each, and the characters between them that it lacks as runs to paste,
/// \a paste(run) each. Characters with no keysym at all are left out. A route whose desktop
/// types only what its keymap holds (GNOME, KWin) pastes the rest.
void typeOrPaste(std::u32string_view text, const XkbKeymap* keymap,
                 const std::function<void(Keysym)>& type,
                 const std::function<void(const std::u32string&)>& paste);

} // namespace pointrelay::input
