// SPDX-License-Identifier: MIT
#include "keyboard.h"

#include "core/log.h"

#include <vector>

namespace pointrelay::input {

std::optional<std::u16string> utf8ToUtf16(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const auto b0 = static_cast<uint8_t>(bytes[i]);
        uint32_t cp;
        size_t length;
        if (b0 < 0x80) {
            cp = b0;
            length = 1;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            cp = b0 & 0x1F;
            length = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            cp = b0 & 0x0F;
            length = 3;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            cp = b0 & 0x07;
            length = 4;
        } else {
            return std::nullopt; // continuation byte, or a lead byte of an overlong form
        }
        if (i + length > bytes.size())
            return std::nullopt;
        for (size_t k = 1; k < length; ++k) {
            const auto b = static_cast<uint8_t>(bytes[i + k]);
            if ((b & 0xC0) != 0x80)
                return std::nullopt;
            cp = (cp << 6) | (b & 0x3F);
        }
        const bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
        if (overlong || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return std::nullopt;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += length;
    }
    return out;
}

void Keyboard::postKeyDown(uint16_t key) {
    m_sink.postKey({key, true, {}, {}, Tap::Hid});
}

void Keyboard::postKeyUp(uint16_t key) {
    m_sink.postKey({key, false, {}, {}, Tap::Hid});
}

void Keyboard::pressKey(uint16_t key) {
    postKeyDown(key);
    m_timing.sleepMicros(kStepMicros);
    postKeyUp(key);
}

void Keyboard::pressHidCombo(std::initializer_list<uint16_t> modifiers, uint16_t key) {
    pressHidCombo(std::vector<uint16_t>(modifiers), key);
}

void Keyboard::pressHidCombo(const std::vector<uint16_t>& held, uint16_t key) {
    for (const uint16_t modifier : held) {
        postKeyDown(modifier);
        m_timing.sleepMicros(kStepMicros);
    }
    postKeyDown(key);
    m_timing.sleepMicros(kStepMicros);
    postKeyUp(key);
    m_timing.sleepMicros(kStepMicros);
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        postKeyUp(*it);
        m_timing.sleepMicros(kStepMicros);
    }
    core::logLine("[KEY] combo(HID): mods=" + std::to_string(held.size()) +
                  " key=" + std::to_string(key));
}

void Keyboard::pressControlCombo(uint16_t key) {
    postKeyDown(keys::kControl);
    m_timing.sleepMicros(kStepMicros);
    postKeyDown(key);
    m_timing.sleepMicros(kStepMicros);
    postKeyUp(key);
    m_timing.sleepMicros(kStepMicros);
    postKeyUp(keys::kControl);
    core::logLine("[KEY] combo(HID): Ctrl + key=" + std::to_string(key));
}

void Keyboard::pressFlagsCombo(uint16_t key, uint64_t flags) {
    m_sink.postKey({key, true, flags, {}, Tap::Session});
    m_timing.sleepMicros(kFlagsHoldMicros);
    m_sink.postKey({key, false, flags, {}, Tap::Session});
}

void Keyboard::pressCommandCombo(uint16_t key) {
    pressFlagsCombo(key, flags::kCommand);
    core::logLine("[KEY] combo(FLAGS): \xE2\x8C\x98+" + std::to_string(key));
}

void Keyboard::typeText(std::string_view utf8) {
    auto text = utf8ToUtf16(utf8);
    if (!text)
        return;
    m_sink.postKey({0, true, {}, *text, Tap::Session});
    m_sink.postKey({0, false, {}, std::move(*text), Tap::Session});
}

} // namespace pointrelay::input
