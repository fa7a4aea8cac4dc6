// SPDX-License-Identifier: MIT
#include "text_commands.h"

#include "core/frame.h"
#include "core/log.h"
#include "key_names.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <span>

namespace pointrelay::input {

using core::logLine;

namespace {

// Position just after the colon that follows the first occurrence of `key`.
std::optional<size_t> valueStart(std::string_view message, std::string_view key) {
    const size_t at = message.find(key);
    if (at == std::string_view::npos)
        return std::nullopt;
    const size_t colon = message.find(':', at);
    if (colon == std::string_view::npos)
        return std::nullopt;
    return colon + 1;
}

// The run of `allowed` characters after the colon, past spaces and double quotes.
std::string valueRun(std::string_view message, std::string_view key, std::string_view allowed) {
    const auto start = valueStart(message, key);
    if (!start)
        return {};
    size_t i = *start;
    while (i < message.size() && (message[i] == ' ' || message[i] == '"'))
        ++i;
    size_t end = i;
    while (end < message.size() && allowed.find(message[end]) != std::string_view::npos)
        ++end;
    return std::string(message.substr(i, end - i));
}

bool contains(std::string_view message, std::string_view pattern) {
    return message.find(pattern) != std::string_view::npos;
}

} // namespace

double findNumberField(std::string_view message, std::string_view key) {
    const std::string run = valueRun(message, key, "0123456789+-.Ee");
    if (run.empty())
        return 0.0;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(run.c_str(), &end); // the longest valid prefix
    if (end == run.c_str() || errno == ERANGE)
        return 0.0;
    return value;
}

int32_t findIntField(std::string_view message, std::string_view key) {
    const std::string run = valueRun(message, key, "0123456789+-");
    if (run.empty())
        return 0;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(run.c_str(), &end, 10);
    if (end == run.c_str() || errno == ERANGE || value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max())
        return 0;
    return static_cast<int32_t>(value);
}

std::string findStringField(std::string_view message, std::string_view key) {
    const auto start = valueStart(message, key);
    if (!start)
        return {};
    const size_t open = message.find('"', *start);
    if (open == std::string_view::npos)
        return {};
    const size_t close = message.find('"', open + 1);
    if (close == std::string_view::npos)
        return {};
    return std::string(message.substr(open + 1, close - open - 1));
}

std::optional<std::vector<std::string>> findStringList(std::string_view message,
                                                       std::string_view key, size_t most) {
    const auto start = valueStart(message, key);
    size_t i = start ? message.find_first_not_of(' ', *start) : std::string_view::npos;
    if (i == std::string_view::npos || message[i] != '[')
        return std::nullopt;
    std::vector<std::string> list;
    for (++i; i < message.size(); ++i) {
        if (message[i] == ' ' || (message[i] == ',' && !list.empty()))
            continue;
        if (message[i] == ']')
            return list;
        const size_t close = message.find('"', i + 1);
        if (message[i] != '"' || close == std::string_view::npos || list.size() == most ||
            message.substr(i + 1, close - i - 1).find('\\') != std::string_view::npos)
            return std::nullopt;
        list.emplace_back(message.substr(i + 1, close - i - 1));
        i = close;
    }
    return std::nullopt;
}

bool findButtonIsLeft(std::string_view message) {
    return findStringField(message, "\"button\"") != "right";
}

bool findDownFlag(std::string_view message) {
    const auto start = valueStart(message, "\"down\"");
    if (!start)
        return false;
    size_t i = *start;
    while (i < message.size() && (message[i] == ' ' || message[i] == '"'))
        ++i;
    return message.substr(i, 4) == "true";
}

std::string ackFrameBody(std::string_view action) {
    std::string body(1, static_cast<char>(core::FrameType::Text));
    body += R"({"type":"ack","payload":{"action":")";
    body += action;
    body += R"(","ok":true}})";
    return body;
}

void TextCommands::handleTextMessage(int fd, std::string_view message) {
    if (message.size() < 6 || message.front() != '{' || !contains(message, "\"type\"")) {
        m_keyboard.typeText(message);
        return;
    }
    if (message.size() >= 13 && contains(message, R"("type":"move")")) {
        m_pointer.injectMove(findNumberField(message, "\"dx\""),
                             findNumberField(message, "\"dy\""));
    } else if (message.size() >= 15 && contains(message, R"("type":"scroll")")) {
        m_pointer.injectScroll(findNumberField(message, "\"dx\""),
                               findNumberField(message, "\"dy\""));
    } else if (message.size() >= 14 && contains(message, R"("type":"click")")) {
        m_pointer.injectButton(findButtonIsLeft(message), findDownFlag(message));
    } else if (contains(message, R"("type":"sys")")) {
        runSystemCommand(fd, message);
    }
    // Any other type is dropped without a word.
}

void TextCommands::runSystemCommand(int fd, std::string_view message) {
    const std::string action = findStringField(message, "\"action\"");
    const int32_t dirNumber = findIntField(message, "\"dir\"");
    // The action is the phone's text: escaped so it cannot start a log line of its own.
    logLine("[SYS] parsed action=" + core::escapeForLog(action) +
            " dir=" + std::to_string(dirNumber));
    if (action.empty())
        return;

    auto sendAck = [fd](std::string_view name) {
        const std::string body = ackFrameBody(name);
        core::sendFrame(fd, std::span(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
    };
    auto pressArrow = [this, &message](std::optional<uint16_t> otherwise) {
        const std::string dir = findStringField(message, "\"dir\"");
        if (dir == "up")
            return m_keyboard.pressKey(keys::kUp);
        if (dir == "down")
            return m_keyboard.pressKey(keys::kDown);
        if (dir == "left")
            return m_keyboard.pressKey(keys::kLeft);
        if (dir == "right")
            return m_keyboard.pressKey(keys::kRight);
        if (otherwise)
            m_keyboard.pressKey(*otherwise);
    };
    auto simple = [this](uint16_t key) { m_keyboard.pressKey(key); };

    if (action == "switchSpace") {
        m_system.switchSpace(dirNumber < 0 ? -1 : 1);
    } else if (action == "missionControl") {
        m_system.missionControl();
    } else if (action == "appExpose") {
        m_system.appExpose();
    } else if (action == "arrow") {
        pressArrow(std::nullopt); // any other direction presses nothing
    } else if (action == "delete") {
        simple(keys::kDelete);
    } else if (action == "shiftArrow") {
        m_keyboard.postKeyDown(keys::kShift);
        m_timing.sleepMicros(Keyboard::kStepMicros);
        pressArrow(keys::kUp); // "up", a missing or any other dir selects upwards
        m_timing.sleepMicros(Keyboard::kStepMicros);
        m_keyboard.postKeyUp(keys::kShift);
    } else if (action == "enter") {
        simple(keys::kReturn);
    } else if (action == "tab") {
        simple(keys::kTab);
    } else if (action == "combo") {
        pressCombo(message);
    } else if (action == "enterPad") {
        simple(keys::kKeypadEnter);
    } else if (action == "escape") {
        simple(keys::kEscape);
    } else if (action == "home") {
        simple(keys::kHome);
    } else if (action == "end") {
        simple(keys::kEnd);
    } else if (action == "pageUp") {
        simple(keys::kPageUp);
    } else if (action == "pageDown") {
        simple(keys::kPageDown);
    } else if (action == "deleteForward") {
        simple(keys::kForwardDelete);
    } else if (action == "space") {
        simple(keys::kSpace);
        logLine("[KEY] press: Space");
    } else if (action == "copy") {
        m_keyboard.pressCommandCombo(keys::kC);
        sendAck("copy");
    } else if (action == "paste") {
        m_keyboard.pressCommandCombo(keys::kV);
        sendAck("paste");
    } else if (action == "cut") {
        m_keyboard.pressHidCombo({keys::kCommand}, keys::kX);
    } else if (action == "undo") {
        m_keyboard.pressHidCombo({keys::kCommand}, keys::kZ);
    } else if (action == "redo") {
        m_keyboard.pressHidCombo({keys::kCommand, keys::kShift}, keys::kZ);
    } else if (action == "find") {
        m_keyboard.pressHidCombo({keys::kCommand}, keys::kF);
    } else if (action == "selectAll") {
        m_keyboard.pressHidCombo({keys::kCommand}, keys::kA);
    } else if (action == "refresh") {
        m_keyboard.pressHidCombo({keys::kCommand}, keys::kR);
    } else if (action == "save") {
        m_keyboard.pressHidCombo({keys::kCommand}, keys::kS);
    } else if (action == "newTab") {
        m_keyboard.pressHidCombo({keys::kCommand}, keys::kT);
    } else if (action == "closeTab") {
        m_keyboard.pressHidCombo({keys::kCommand}, keys::kW);
    } else if (action == "fullscreen") {
        m_keyboard.pressFlagsCombo(keys::kF, flags::kCommand | flags::kControl);
    } else if (action == "focusURL") {
        m_keyboard.pressFlagsCombo(keys::kL, flags::kCommand);
    } else if (action == "toggleDock") {
        m_keyboard.pressFlagsCombo(keys::kD, flags::kCommand | flags::kOption);
    } else if (action == "reopenTab") {
        m_keyboard.pressFlagsCombo(keys::kT, flags::kCommand | flags::kShift);
    } else if (action == "emojiPicker") {
        m_keyboard.pressFlagsCombo(keys::kSpace, flags::kCommand | flags::kControl);
    } else if (action == "macFKey") {
        m_system.pressMacFunctionKey(findIntField(message, "\"n\""));
    } else if (action == "fkey") {
        const int32_t n = findIntField(message, "\"n\"");
        if (n >= 1 && n <= 12) {
            m_keyboard.pressKey(functionKeyCodes[static_cast<size_t>(n - 1)]);
            m_timing.sleepMicros(kFunctionKeyPauseMicros);
            logLine("[KEY] press: F" + std::to_string(n));
        } else {
            logLine("[KEY] fkey: invalid n=" + std::to_string(n));
        }
    }
}

// Modifiers by name, held in order around one key by name: {"mods":["ctrl","shift"],"key":"t"}.
void TextCommands::pressCombo(std::string_view message) {
    const auto names = findStringList(message, "\"mods\"", kMaxComboModifiers);
    const std::string keyName = findStringField(message, "\"key\"");
    const auto key = keyForName(keyName);
    std::vector<uint16_t> modifiers;
    for (const std::string& name : names.value_or(std::vector<std::string>{})) {
        if (const auto modifier = modifierForName(name)) {
            modifiers.push_back(*modifier);
        } else {
            logLine("[KEY] combo: unknown modifier " + core::escapeForLog(name));
            return;
        }
    }
    if (!names)
        logLine("[KEY] combo: mods is not a list of at most 4 names");
    else if (!key)
        logLine("[KEY] combo: unknown key " + core::escapeForLog(keyName));
    else
        m_keyboard.pressHidCombo(modifiers, *key);
}

} // namespace pointrelay::input
