// SPDX-License-Identifier: MIT
#pragma once

#include "input/linux/injection_backend.h"
#include "input/linux/xkb_keymap.h"

#include <memory>
#include <optional>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_seat;
struct xkb_state;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;

namespace pointrelay::input {

/// sway and the other wlroots compositors: a virtual pointer (zwlr_virtual_pointer_v1) and a
/// virtual keyboard (zwp_virtual_keyboard_v1) of the seat, made once and kept for the life of
/// the daemon. The keyboard carries a keymap of our own: the US layout for named keys, and
/// for each text a keymap with one key per distinct character, so that every character
/// arrives exactly as it is, whatever the person's layout.
class WlrootsBackend final : public InjectionBackend {
public:
    /// \brief Connects to the compositor named by WAYLAND_DISPLAY; nothing when there is none
    /// or it lacks either virtual-device interface.
    static std::unique_ptr<WlrootsBackend> connect();
    ~WlrootsBackend() override;

    std::string_view name() const override { return "Wayland (wlroots virtual devices)"; }
    bool start() override;
    void motion(double dx, double dy) override;
    void button(MouseButton button, bool down) override;
    void wheel(int vertical, int horizontal) override;
    void key(Keysym keysym, bool down) override;
    void text(std::u32string_view text) override;
    void endOfBatch() override;
    int pollFd() const override;
    bool service() override;

    // Registry callbacks.
    void onGlobal(wl_registry* registry, uint32_t name, const char* interface, uint32_t version);

private:
    explicit WlrootsBackend(wl_display* display);
    bool upload(const XkbKeymap& keymap);
    void sendModifiers();
    void typeKeysyms(const std::vector<Keysym>& keysyms);
    bool flush();

    struct DisplayCloser {
        void operator()(wl_display* display) const;
    };
    std::unique_ptr<wl_display, DisplayCloser> m_display;
    wl_registry* m_registry = nullptr;
    wl_seat* m_seat = nullptr;
    zwlr_virtual_pointer_manager_v1* m_pointerManager = nullptr;
    zwp_virtual_keyboard_manager_v1* m_keyboardManager = nullptr;
    zwlr_virtual_pointer_v1* m_pointer = nullptr;
    zwp_virtual_keyboard_v1* m_keyboard = nullptr;

    std::optional<XkbKeymap> m_layout; ///< the keymap of named keys
    xkb_state* m_state = nullptr;      ///< its modifier state, as our key presses left it
    bool m_pointerFrame = false;       ///< pointer events since the last frame
};

} // namespace pointrelay::input
