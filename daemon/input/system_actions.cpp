// SPDX-License-Identifier: MIT
#include "system_actions.h"

#include "core/log.h"

#include <string>

namespace pointrelay::input {

using core::logLine;

void SystemActions::switchSpace(int32_t dir) {
    logLine(std::string("[SYS] switchSpace HID dir=") + (dir < 0 ? "-1" : "+1"));
    m_keyboard.pressControlCombo(dir < 0 ? keys::kLeft : keys::kRight);
}

void SystemActions::missionControl() {
    logLine("[SYS] missionControl HID (Ctrl+Up)");
    m_keyboard.pressControlCombo(keys::kUp);
}

void SystemActions::appExpose() {
    logLine("[SYS] appExpose HID (Ctrl+Down)");
    m_keyboard.pressControlCombo(keys::kDown);
}

void SystemActions::spotlight() {
    logLine("[SYS] spotlight HID (Cmd+Space)");
    m_keyboard.pressFlagsCombo(keys::kSpace, flags::kCommand);
}

void SystemActions::dictation() {
    logLine("[SYS] dictation HID (Fn+D)");
    m_keyboard.pressFlagsCombo(keys::kD, flags::kFn);
}

void SystemActions::pressMacFunctionKey(int32_t n) {
    logLine("[KEY] macFKey: n=" + std::to_string(n));
    auto aux = [this](const char* line, AuxKeyType type) {
        logLine(line);
        postAuxKey(type);
    };
    switch (n) {
    case 1:
        return aux("[SYS] brightnessDown AUX", AuxKeyType::BrightnessDown);
    case 2:
        return aux("[SYS] brightnessUp AUX", AuxKeyType::BrightnessUp);
    case 3:
        return missionControl();
    case 4:
        return spotlight();
    case 5:
        return dictation();
    case 6:
        return m_toggleFocus();
    case 7:
        return aux("[SYS] rewind AUX", AuxKeyType::Rewind);
    case 8:
        return aux("[SYS] playPause AUX", AuxKeyType::Play);
    case 9:
        return aux("[SYS] fastForward AUX", AuxKeyType::Fast);
    case 10:
        return aux("[SYS] mute AUX", AuxKeyType::Mute);
    case 11:
        return aux("[SYS] volumeDown AUX", AuxKeyType::SoundDown);
    case 12:
        return aux("[SYS] volumeUp AUX", AuxKeyType::SoundUp);
    default:
        logLine("[KEY] macFKey: invalid n=" + std::to_string(n));
    }
}

uint32_t SystemActions::openHidSystem() {
    std::lock_guard lock(m_hidMutex);
    if (m_hidConnection != 0)
        return m_hidConnection;
    const HidOpenResult opened = m_sink.openHidSystem();
    if (!opened.serviceFound) {
        logLine("[SYS] IOHIDSystem not found");
        return 0;
    }
    if (opened.status != 0) {
        logLine("[SYS] IOHIDSystem open failed: " + std::to_string(opened.status));
        return 0; // the next key tries again
    }
    m_hidConnection = opened.connection;
    return m_hidConnection;
}

bool SystemActions::postAuxKey(AuxKeyType type) {
    const uint32_t connection = openHidSystem();
    if (connection == 0)
        return false;
    const int32_t down = m_sink.postAuxKey(connection, type, true);
    m_timing.sleepMicros(Keyboard::kStepMicros);
    const int32_t up = m_sink.postAuxKey(connection, type, false); // released even if down failed
    if (down == 0 && up == 0)
        return true;
    logLine("[SYS] aux key failed: keyType=" + std::to_string(static_cast<int>(type)) +
            " down=" + std::to_string(down) + " up=" + std::to_string(up));
    return false;
}

} // namespace pointrelay::input
