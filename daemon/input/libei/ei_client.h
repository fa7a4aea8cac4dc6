// SPDX-License-Identifier: MIT
#pragma once

#include "input/linux/keysyms.h"
#include "input/linux/xkb_keymap.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct ei;
struct ei_device;
struct ei_seat;

namespace pointrelay::input {

/// A libei sender on one connection to a compositor's EIS server, as a remote-desktop session
/// or the desktop portal hands it over (ConnectToEIS). It binds the seat's pointer, button,
/// scroll and keyboard capabilities and emulates on the devices the server resumes. Keys go
/// by evdev code where the seat's keymap places the keysym (with Shift for its second level).
///
/// Built only where libei exists (pkg-config libei-1.0); elsewhere `connect` says so.
class EiClient {
public:
    /// \brief Connects through a copy of \a fd (which stays the caller's, as a D-Bus reply
    /// holds it) and waits up to \a limit for a pointer and a keyboard to be ready. Null, with
    /// \a error saying why, when they do not come.
    static std::unique_ptr<EiClient> connect(int fd, std::chrono::milliseconds limit,
                                             std::string& error);
    /// Whether this daemon was built with libei at all.
    static bool available();
    ~EiClient();

    int fd() const;
    /// \brief Handles what the server sent. False once it has disconnected.
    bool dispatch();

    void motion(double dx, double dy);
    void button(uint32_t evdevCode, bool down);
    /// Wheel steps as wl_pointer counts them (positive: down, right), 120 units each.
    void wheel(int32_t vertical, int32_t horizontal);
    /// \brief False when the keysym is nowhere on the seat's keymap (nothing is sent).
    bool key(Keysym keysym, bool down);
    /// The seat's keymap, once the server has given one.
    const XkbKeymap* keymap() const { return m_keymap ? &*m_keymap : nullptr; }
    /// Sends what libei still holds and takes what the server sent meanwhile.
    void flush();

private:
    EiClient() = default;
    bool ready() const { return m_pointer && m_keyboard; }
    void onEvent(void* event);
    void release(ei_device* device);
    void keyCode(uint32_t evdevCode, bool down);

    ::ei* m_ei = nullptr;
    ei_seat* m_seat = nullptr;
    ei_device* m_pointer = nullptr; ///< motion, and buttons and scroll where it has them
    ei_device* m_keyboard = nullptr;
    ei_device* m_buttons = nullptr;
    ei_device* m_scroll = nullptr;
    std::optional<XkbKeymap> m_keymap;
    uint32_t m_sequence = 0;
    bool m_disconnected = false;
    bool m_pointerMoved = false, m_keyboardUsed = false;
};

} // namespace pointrelay::input
