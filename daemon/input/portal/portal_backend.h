// SPDX-License-Identifier: MIT
#pragma once

#include "input/libei/ei_client.h"
#include "input/linux/dbus.h"
#include "input/linux/injection_backend.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace pointrelay::input {

/// Any desktop with the desktop portal's RemoteDesktop interface: a session that the person
/// allows once (a consent dialog at start), pointer motion, buttons and wheel steps, and keys
/// and text by keysym. The portal has no clipboard, so characters that the desktop's keymap
/// lacks may not arrive. Where the portal keeps permissions (interface version 2 and later),
/// the restore token it hands out is kept in `restoreTokenPath()`, owner-only, so the next
/// start needs no new consent. A session the portal closes ends the route. Where the portal
/// offers an EIS connection (ConnectToEIS, version 2), events go through libei on it instead,
/// and a line says so: "Input: Wayland (libei, desktop portal)".
class PortalBackend final : public InjectionBackend {
public:
    /// \brief Connects to the session bus; nothing when no portal there offers RemoteDesktop.
    static std::unique_ptr<PortalBackend> connect();
    ~PortalBackend() override;

    std::string_view name() const override { return "Wayland (desktop portal)"; }
    bool start() override;
    void motion(double dx, double dy) override;
    void button(MouseButton button, bool down) override;
    void wheel(int vertical, int horizontal) override;
    void key(Keysym keysym, bool down) override;
    void text(std::u32string_view text) override;
    void endOfBatch() override;
    int pollFd() const override;
    std::optional<std::chrono::milliseconds> serviceTimeout() const override;
    bool service() override;
    void interrupt() override;

    /// `$XDG_STATE_HOME/pointrelay/portal-restore-token`, or under `~/.local/state`.
    static std::optional<std::filesystem::path> restoreTokenPath();

private:
    struct Response {
        uint32_t code = 2;
        BusDict results;
    };

    PortalBackend(BusPtr bus, uint32_t version);
    std::optional<Response> request(const char* member, const BusAppend& arguments, BusDict options,
                                    std::chrono::milliseconds timeout);
    void notify(const char* member, const BusAppend& arguments);
    void keysym(Keysym keysym, bool down);
    void connectEis();

    BusPtr m_bus;
    const uint32_t m_version;
    int m_interruptFd = -1;
    std::string m_session; ///< the session's object path once it exists
    BusSlotPtr m_closedSignal;
    bool m_closed = false;
    std::unique_ptr<EiClient> m_ei; ///< the session's EIS connection, where the portal offers one
    int m_epoll = -1;               ///< the bus and the EIS connection together
    bool m_unkeyedLogged = false;
};

} // namespace pointrelay::input
