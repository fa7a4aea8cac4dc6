// SPDX-License-Identifier: MIT
#pragma once

#include "server_state.h"

#include <QByteArray>
#include <QString>
#include <functional>

namespace pointrelay::app {

/// Cuts the daemon's merged output into lines and reads the status from them: arrivals,
/// departures, the devices in control, the statistics rates and the last line. Chunks may end
/// anywhere, also inside a line or inside a multi-byte character.
class DaemonOutputParser {
public:
    /// Called after every change of the state, with the state as it is then.
    using Publish = std::function<void(const ServerState&)>;
    /// Receives the lines worth repeating on the application's own standard error: the input
    /// route and why others were skipped, and the daemon's warnings (without its "[C++] ").
    using Echo = std::function<void(const QString& line)>;

    /// Receives the name of each device that completes a handshake, as the daemon logs it.
    using Seen = std::function<void(const QString& name)>;

    DaemonOutputParser(Publish publish, Echo echo, Seen seen = {})
        : m_publish(std::move(publish)), m_echo(std::move(echo)), m_seen(std::move(seen)) {}

    void feed(QByteArrayView chunk, ServerState& state);
    /// Forgets an unfinished line (the daemon was stopped or restarted).
    void reset();

private:
    void finishLine(ServerState& state);
    void interpret(const QString& line, ServerState& state);

    Publish m_publish;
    Echo m_echo;
    Seen m_seen;
    QByteArray m_lineBuffer;            // the unfinished line, not yet decoded
    bool m_afterCarriageReturn = false; // the last byte seen ended a line with "\r"
};

} // namespace pointrelay::app
