// SPDX-License-Identifier: MIT
#include "xkb_keymap.h"

#include <cstdlib>
#include <utility>
#include <xkbcommon/xkbcommon.h>

namespace pointrelay::input {
namespace {

constexpr uint32_t kXkbToEvdev = 8;

// Neither the environment (XKB_DEFAULT_LAYOUT and kin) nor the user's include path may change
// a keymap of ours: its keys must be what the code says.
std::unique_ptr<xkb_context, XkbKeymap::Deleter> newContext(bool systemIncludes) {
    const int flags =
        XKB_CONTEXT_NO_ENVIRONMENT_NAMES | (systemIncludes ? 0 : XKB_CONTEXT_NO_DEFAULT_INCLUDES);
    return std::unique_ptr<xkb_context, XkbKeymap::Deleter>(
        xkb_context_new(static_cast<xkb_context_flags>(flags)));
}

// A keymap compiled from its text; null when it does not compile.
xkb_keymap* compile(const std::string& text, bool systemIncludes) {
    const auto context = newContext(systemIncludes);
    return context
               ? xkb_keymap_new_from_string(context.get(), text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                            XKB_KEYMAP_COMPILE_NO_FLAGS)
               : nullptr;
}

} // namespace

void XkbKeymap::Deleter::operator()(xkb_context* context) const {
    xkb_context_unref(context);
}

void XkbKeymap::Deleter::operator()(xkb_keymap* keymap) const {
    xkb_keymap_unref(keymap);
}

XkbKeymap::XkbKeymap(xkb_keymap* keymap) : m_keymap(keymap) {
    char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
    if (text) {
        m_text.assign(text);
        m_text.push_back('\0');
        std::free(text);
    }
    const xkb_keycode_t last = xkb_keymap_max_keycode(keymap);
    for (xkb_level_index_t level = 0; level < 2; ++level) {
        for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= last; ++code) {
            const xkb_keysym_t* syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(keymap, code, 0, level, &syms);
            if (code < kXkbToEvdev || count != 1)
                continue;
            m_positions.try_emplace(syms[0], Position{code - kXkbToEvdev, level});
        }
    }
}

std::optional<XkbKeymap> XkbKeymap::usLayout() {
    const auto context = newContext(true);
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    xkb_keymap* keymap =
        context ? xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS)
                : nullptr;
    if (!keymap)
        return std::nullopt;
    return XkbKeymap(keymap);
}

std::optional<XkbKeymap> XkbKeymap::forKeysyms(std::span<const Keysym> keysyms) {
    if (keysyms.empty() || keysyms.size() > kMaxKeysyms)
        return std::nullopt;
    // A keymap of one level per key and no modifiers at all, so nothing held on any keyboard
    // can turn a character into another (é into É under Caps Lock, say).
    std::string text = "xkb_keymap {\n"
                       "xkb_keycodes \"pointrelay\" { minimum = 8; maximum = 255;\n";
    for (size_t i = 0; i < keysyms.size(); ++i)
        text += "<T" + std::to_string(i) + "> = " + std::to_string(i + 1 + kXkbToEvdev) + ";\n";
    text += "};\n"
            "xkb_types \"pointrelay\" { type \"ONE_LEVEL\" { modifiers = none; "
            "level_name[Level1] = \"Any\"; }; };\n"
            "xkb_compatibility \"pointrelay\" { };\n"
            "xkb_symbols \"pointrelay\" {\n";
    for (size_t i = 0; i < keysyms.size(); ++i) {
        char name[64] = {};
        if (xkb_keysym_get_name(static_cast<xkb_keysym_t>(keysyms[i]), name, sizeof name) <= 0)
            return std::nullopt;
        text += "key <T" + std::to_string(i) + "> { [ " + name + " ] };\n";
    }
    text += "};\n};\n";
    xkb_keymap* keymap = compile(text, false);
    if (!keymap)
        return std::nullopt;
    return XkbKeymap(keymap);
}

std::optional<XkbKeymap> XkbKeymap::fromText(const std::string& text) {
    xkb_keymap* keymap = compile(text, true);
    if (!keymap)
        return std::nullopt;
    return XkbKeymap(keymap);
}

std::optional<XkbKeymap::Position> XkbKeymap::find(Keysym keysym) const {
    const auto it = m_positions.find(keysym);
    if (it == m_positions.end())
        return std::nullopt;
    return it->second;
}

bool XkbKeymap::press(Keysym keysym, bool down,
                      const std::function<void(uint32_t, bool)>& key) const {
    const auto at = find(keysym);
    if (!at)
        return false;
    const auto shift = at->level == 1 ? find(XKB_KEY_Shift_L) : std::nullopt;
    if (shift && down)
        key(shift->evdevCode, true);
    key(at->evdevCode, down);
    if (shift && !down)
        key(shift->evdevCode, false);
    return true;
}

void typeOrPaste(std::u32string_view text, const XkbKeymap* keymap,
                 const std::function<void(Keysym)>& type,
                 const std::function<void(const std::u32string&)>& paste) {
    std::u32string pending;
    for (const char32_t codePoint : text) {
        const Keysym keysym = keysymForTyping(codePoint);
        if (keysym == XKB_KEY_NoSymbol)
            continue;
        if (keysym != XKB_KEY_Return && keysym != XKB_KEY_Tab &&
            !(keymap && keymap->find(keysym))) {
            pending.push_back(codePoint);
            continue;
        }
        if (!pending.empty())
            paste(std::exchange(pending, {}));
        type(keysym);
    }
    if (!pending.empty())
        paste(pending);
}

} // namespace pointrelay::input
