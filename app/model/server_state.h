// SPDX-License-Identifier: MIT
#pragma once

#include <QMap>
#include <QMetaType>
#include <QString>

namespace pointrelay::app {

/// How the daemon reaches the desktop, as its "Input: " lines say.
enum class InputRoute {
    unknown,       ///< no daemon has said yet
    wlroots,       ///< Wayland, virtual devices of a wlroots compositor
    kwin,          ///< Wayland, KWin's fake input
    libei,         ///< Wayland, libei (emulated input) through the compositor's EIS server
    gnome,         ///< Wayland, GNOME's remote desktop
    portal,        ///< Wayland, the desktop portal (asks the person)
    portalRefused, ///< the person or the desktop refused the portal's request
    x11,           ///< X11, XTest
    x11InWayland,  ///< XTest in a Wayland session: X applications only
    none,          ///< no window system: nothing is posted
};

/// The daemon's status as read from its output: a value, copied whenever it is published.
struct ServerState {
    bool running = false;
    qint64 connectedClients = 0; ///< never below 0
    double moveFPS = 0;
    double scrollFPS = 0;
    QString lastLog; ///< the last non-empty output line, trimmed
    /// What the running daemon was started with (0 and false when none runs), so that every
    /// view shows where it really listens.
    quint16 port = 0;
    bool advertised = false;
    InputRoute inputRoute = InputRoute::unknown;
    /// The route's desktop has gone (its compositor or X server ended): events are dropped
    /// until it is back, which the daemon notices by itself.
    bool desktopLost = false;
    /// The devices in control now, as the daemon names them (escaped), with their sessions.
    QMap<QString, int> inControl;
    /// How often the daemon read its keys again (another program may have changed the list).
    int keysReloads = 0;

    bool operator==(const ServerState&) const = default;
};

} // namespace pointrelay::app

Q_DECLARE_METATYPE(pointrelay::app::ServerState)
