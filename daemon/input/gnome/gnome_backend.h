// SPDX-License-Identifier: MIT
#pragma once

#include "input/libei/ei_client.h"
#include "input/linux/dbus.h"
#include "input/linux/injection_backend.h"
#include "input/linux/xkb_keymap.h"

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct wl_display;
struct wl_keyboard;
struct wl_registry;
struct wl_seat;

namespace pointrelay::input {

/// GNOME (mutter) through its remote-desktop service on the session bus: one session, made at
/// start and made anew with the next event whenever mutter closes it. Keys go by keysym.
/// Text that the desktop's keymap can type (its first layout, with or without Shift) is typed;
/// every other character is put on the clipboard and pasted with Control+V, after which the
/// person's own clipboard content is offered again. The keymap is read as a Wayland client.
class GnomeBackend final : public InjectionBackend {
public:
    /// How the session's events reach mutter: its own D-Bus notifications, or libei on the
    /// session's EIS connection (mutter 46 and later).
    enum class Transport { dbus, libei };

    /// \brief Connects to the session bus; nothing when no one owns the remote-desktop
    /// service there. Over libei the session opens here, and nothing comes back (\a whyNot
    /// says why) when it offers no EIS connection.
    static std::unique_ptr<GnomeBackend> connect(Transport transport, std::string& whyNot);
    ~GnomeBackend() override;

    std::string_view name() const override {
        return m_transport == Transport::libei ? "Wayland (libei, GNOME remote desktop)"
                                               : "Wayland (GNOME remote desktop)";
    }
    bool start() override;
    void motion(double dx, double dy) override;
    void button(MouseButton button, bool down) override;
    void wheel(int vertical, int horizontal) override;
    void key(Keysym keysym, bool down) override;
    void text(std::u32string_view text) override;
    void endOfBatch() override;
    int pollFd() const override { return m_epoll; }
    std::optional<std::chrono::milliseconds> serviceTimeout() const override;
    bool service() override;

    // Wayland callbacks.
    void onGlobal(wl_registry* registry, uint32_t name, const char* interface, uint32_t version);
    void onCapabilities(uint32_t capabilities);
    void onKeymap(uint32_t format, int fd, uint32_t size);

private:
    using Clipboard = std::map<std::string, std::string>; ///< MIME type → content

    GnomeBackend(BusPtr bus, Transport transport);
    std::string connectEis();
    bool ensureSession();
    std::string openSession(); ///< what failed; empty once the session runs
    void onClosed(sd_bus_message* m);
    void onOwnerChanged(sd_bus_message* m);
    void onTransfer(sd_bus_message* m);
    void endSession();
    void dropBus();
    BusMethod sessionMethod(const char* member) const;
    void notify(const char* member, const BusAppend& append);
    void notifyKeysym(Keysym keysym, bool down);
    bool processBus();

    // Clipboard.
    bool paste(const std::u32string& text);
    bool setSelection(Clipboard offer);
    void serveTransfers();
    bool serve(const std::string& mimeType, uint32_t serial);
    Clipboard readClipboard();
    std::optional<std::string> readSelection(const std::string& mimeType,
                                             std::chrono::steady_clock::time_point deadline);

    // The desktop's keymap, as a Wayland client sees it.
    void connectWayland();
    void disconnectWayland();
    void dispatchWayland(int timeoutMs);
    const XkbKeymap* desktopKeymap();

    BusPtr m_bus;
    const Transport m_transport;
    std::unique_ptr<EiClient> m_ei; ///< the session's EIS connection, over libei
    int m_epoll = -1;               ///< the bus and the Wayland connection together
    std::string m_session;          ///< the session's object path; empty while there is none
    std::vector<BusSlotPtr> m_sessionSignals;
    bool m_sessionClosed = false; ///< mutter said so; the session goes once the bus is handled
    std::chrono::steady_clock::time_point m_retryAfter; ///< after a session that did not open
    bool m_failureLogged = false;

    struct Transfer {
        std::string mimeType;
        uint32_t serial;
    };
    std::deque<Transfer> m_transfers; ///< asked for, not yet served
    uint64_t m_transfersAsked = 0;
    Clipboard m_offer;                     ///< what our selection offers now
    std::vector<std::string> m_ownerTypes; ///< what the clipboard's owner offers
    bool m_sessionOwnsClipboard = false;
    bool m_clipboardLogged = false;
    bool m_unpastedLogged = false;
    std::chrono::steady_clock::time_point m_pasteSettles; ///< keys wait for the last paste

    wl_display* m_display = nullptr;
    wl_registry* m_registry = nullptr;
    wl_seat* m_seat = nullptr;
    wl_keyboard* m_keyboard = nullptr;
    std::optional<XkbKeymap> m_keymap;
};

} // namespace pointrelay::input
