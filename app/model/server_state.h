// SPDX-License-Identifier: MIT
#pragma once

#include <QMetaType>
#include <QString>

namespace pointrelay::app {

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

    bool operator==(const ServerState&) const = default;
};

} // namespace pointrelay::app

Q_DECLARE_METATYPE(pointrelay::app::ServerState)
