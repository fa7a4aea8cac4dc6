// SPDX-License-Identifier: MIT
#pragma once

#include "keyboard.h"
#include "pointer.h"
#include "system_actions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pointrelay::input {

// Field extractors. Commands are read by byte-exact searches, not parsed as JSON: each
// takes the first occurrence of the quoted key anywhere in the message, then the first
// colon after it.
double findNumberField(std::string_view message, std::string_view key);
int32_t findIntField(std::string_view message, std::string_view key);
std::string findStringField(std::string_view message, std::string_view key);
/// \brief The strings of the JSON list after `key` (["a", "b"]), at most `most` of them and
/// none with an escape; nothing for anything else.
std::optional<std::vector<std::string>> findStringList(std::string_view message,
                                                       std::string_view key, size_t most);
bool findButtonIsLeft(std::string_view message);
bool findDownFlag(std::string_view message);

/// The acknowledgement frame body (type byte 0x10 first) for a copy or paste.
std::string ackFrameBody(std::string_view action);

/// Classifies and runs one text message: a pointer command, a system command, or text to
/// type. Never fails; unknown commands are dropped.
class TextCommands {
public:
    static constexpr int64_t kFunctionKeyPauseMicros = 6000;
    /// A combo holds at most ctrl, alt, shift and super.
    static constexpr size_t kMaxComboModifiers = 4;

    TextCommands(PointerInjector& pointer, Keyboard& keyboard, SystemActions& system,
                 Timing& timing)
        : m_pointer(pointer), m_keyboard(keyboard), m_system(system), m_timing(timing) {}

    /// `fd` is the session socket, for the plain acknowledgement of copy and paste.
    void handleTextMessage(int fd, std::string_view message);

private:
    void runSystemCommand(int fd, std::string_view message);
    void pressCombo(std::string_view message);

    PointerInjector& m_pointer;
    Keyboard& m_keyboard;
    SystemActions& m_system;
    Timing& m_timing;
};

} // namespace pointrelay::input
