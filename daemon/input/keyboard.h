// SPDX-License-Identifier: MIT
#pragma once

#include "event_sink.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pointrelay::input {

/// Virtual key codes of a US ANSI keyboard that the commands use.
namespace keys {
inline constexpr uint16_t kA = 0, kS = 1, kD = 2, kF = 3, kZ = 6, kX = 7, kC = 8, kV = 9;
inline constexpr uint16_t kW = 13, kR = 15, kT = 17, kReturn = 36, kL = 37, kSpace = 49;
inline constexpr uint16_t kDelete = 51, kEscape = 53, kCommand = 55, kShift = 56, kControl = 59;
inline constexpr uint16_t kKeypadEnter = 76, kHome = 115, kPageUp = 116, kForwardDelete = 117;
inline constexpr uint16_t kEnd = 119, kPageDown = 121;
inline constexpr uint16_t kLeft = 123, kRight = 124, kDown = 125, kUp = 126;
inline constexpr uint16_t kTab = 48, kOption = 58;
/// Super (the Windows key): a code no Mac keyboard sends, which the Linux routes map to Super_L.
inline constexpr uint16_t kSuper = 0x70;
} // namespace keys

/// F1 to F12, indexed by n - 1.
inline constexpr std::array<uint16_t, 12> functionKeyCodes = {122, 120, 99,  118, 96,  97,
                                                              98,  100, 101, 109, 103, 111};

/// UTF-16 code units of valid UTF-8, or nullopt for anything that is not valid UTF-8
/// (overlong forms, surrogates, values above U+10FFFF, truncated sequences).
std::optional<std::u16string> utf8ToUtf16(std::string_view bytes);

/// Key presses and combinations in the two styles the commands use: HID style (every
/// modifier a key event of its own, at the HID tap, 1.5 ms apart) and flags style (one key
/// event pair carrying modifier flags, at the session tap, 8 ms apart).
class Keyboard {
public:
    static constexpr int64_t kStepMicros = 1500;
    static constexpr int64_t kFlagsHoldMicros = 8000;

    Keyboard(EventSink& sink, Timing& timing) : m_sink(sink), m_timing(timing) {}

    void postKeyDown(uint16_t key);
    void postKeyUp(uint16_t key);
    void pressKey(uint16_t key);
    void pressHidCombo(std::initializer_list<uint16_t> modifiers, uint16_t key);
    void pressHidCombo(const std::vector<uint16_t>& modifiers, uint16_t key);
    void pressControlCombo(uint16_t key);
    void pressFlagsCombo(uint16_t key, uint64_t flags);
    void pressCommandCombo(uint16_t key);
    /// Types UTF-8 text as one key event pair carrying the whole text; invalid UTF-8 is dropped.
    void typeText(std::string_view utf8);

private:
    EventSink& m_sink;
    Timing& m_timing;
};

} // namespace pointrelay::input
