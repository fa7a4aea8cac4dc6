// SPDX-License-Identifier: MIT
#include "daemon_output_parser.h"

#include <QStringList>
#include <algorithm>

namespace pointrelay::app {
namespace {

// The first space-separated word after `key`, as a number.
std::optional<double> rateAfter(const QString& line, QLatin1StringView key) {
    const qsizetype at = line.indexOf(key);
    if (at < 0)
        return std::nullopt;
    const QStringList pieces = line.mid(at + key.size()).split(u' ', Qt::SkipEmptyParts);
    bool ok = false;
    const double value = pieces.isEmpty() ? 0 : pieces.first().toDouble(&ok);
    return ok ? std::optional(value) : std::nullopt;
}

// The route a daemon's "Input: " line names (a later line may refine an earlier one).
std::optional<InputRoute> inputRouteOf(const QString& line) {
    static const std::pair<QLatin1StringView, InputRoute> kLines[] = {
        {QLatin1StringView("[C++] Input: Wayland (wlroots virtual devices)"), InputRoute::wlroots},
        {QLatin1StringView("[C++] Input: Wayland (KWin fake input)"), InputRoute::kwin},
        {QLatin1StringView("[C++] Input: Wayland (libei, "), InputRoute::libei},
        {QLatin1StringView("[C++] Input: Wayland (GNOME remote desktop)"), InputRoute::gnome},
        {QLatin1StringView("[C++] Input: Wayland (desktop portal)"), InputRoute::portal},
        {QLatin1StringView("[C++] Input: the desktop refused remote input"),
         InputRoute::portalRefused},
        {QLatin1StringView("[C++] Input: X11 (XTest)"), InputRoute::x11},
        {QLatin1StringView("[C++] Input: this is a Wayland session"), InputRoute::x11InWayland},
        {QLatin1StringView("[C++] Input: no window system reachable"), InputRoute::none},
    };
    for (const auto& [prefix, route] : kLines) {
        if (line.startsWith(prefix))
            return route;
    }
    return std::nullopt;
}

// NAME in a daemon line "[C++] <prefix>NAME)".
std::optional<QString> nameIn(const QString& line, QLatin1StringView prefix) {
    const QLatin1StringView origin("[C++] ");
    if (!line.startsWith(origin) || !line.mid(origin.size()).startsWith(prefix) ||
        !line.endsWith(u')'))
        return std::nullopt;
    return line.mid(origin.size() + prefix.size()).chopped(1);
}

// A daemon line without the "[C++] " that the daemon's own lines start with.
QString withoutOrigin(const QString& line) {
    return line.startsWith(QLatin1StringView("[C++] ")) ? line.mid(6) : line;
}

// Lines the person running the daemon should see as they come: how input reaches the desktop
// (or why it does not), refused options, failures to advertise or to serve, refused keys, and
// the system actions that need the person's attention.
bool isNotice(const QString& bare) {
    static const QLatin1StringView kPrefixes[] = {
        QLatin1StringView("Input: "),          QLatin1StringView("--"),
        QLatin1StringView("No --psk"),         QLatin1StringView("mDNS register failed"),
        QLatin1StringView("Handshake: HMAC"),  QLatin1StringView("Handshake: replayed"),
        QLatin1StringView("Too many pending"), QLatin1StringView("[SYS] focus"),
        QLatin1StringView("[KEY] macFKey"),    QLatin1StringView("Keys reloaded"),
        QLatin1StringView("Keys file"),        QLatin1StringView("Device removed")};
    return bare.contains(QLatin1StringView(" could not be started")) ||
           std::ranges::any_of(kPrefixes, [&](auto prefix) { return bare.startsWith(prefix); });
}

} // namespace

void DaemonOutputParser::reset() {
    m_lineBuffer.clear();
    m_afterCarriageReturn = false;
}

void DaemonOutputParser::feed(QByteArrayView chunk, ServerState& state) {
    // Lines are cut on the bytes "\r" and "\n", which never occur inside a UTF-8 sequence, and
    // each line is decoded once it is whole. A chunk may therefore end anywhere, also inside a
    // character or an invalid sequence, without changing what the line reads (decoding chunk
    // by chunk with a stateful decoder lost the character after an invalid sequence that a
    // chunk boundary had cut). Each byte is looked at once, however long a line grows.
    const char* const end = chunk.data() + chunk.size();
    const char* from = chunk.data();
    while (from != end) {
        const char* const lineBreak =
            std::find_if(from, end, [](char c) { return c == '\r' || c == '\n'; });
        if (lineBreak == end) {
            m_lineBuffer.append(from, end - from);
            m_afterCarriageReturn = false;
            return;
        }
        // "\r\n" and a lone "\r" both end a line: a "\n" right after a "\r", also at the start
        // of the next chunk, belongs to the line that the "\r" ended.
        if (*lineBreak == '\n' && lineBreak == from && m_afterCarriageReturn) {
            m_afterCarriageReturn = false;
        } else {
            m_lineBuffer.append(from, lineBreak - from);
            finishLine(state);
            m_afterCarriageReturn = *lineBreak == '\r';
        }
        from = lineBreak + 1;
    }
}

void DaemonOutputParser::finishLine(ServerState& state) {
    const QString line = QString::fromUtf8(m_lineBuffer).trimmed();
    m_lineBuffer.clear();
    if (!line.isEmpty())
        interpret(line, state);
}

void DaemonOutputParser::interpret(const QString& line, ServerState& state) {
    if (const QString bare = withoutOrigin(line); isNotice(bare))
        m_echo(bare);
    // The daemon writes two arrival lines per connection ("Client connected: ADDR", then
    // "Client connected (N active)"); only the second pairs with the one departure line, so
    // only it counts, or every phone would show as two until the next poll.
    if (line.contains(QLatin1StringView("Client connected ("), Qt::CaseInsensitive)) {
        ++state.connectedClients;
        m_publish(state);
    }
    if (line.contains(QLatin1StringView("Client disconnected"), Qt::CaseInsensitive)) {
        state.connectedClients = std::max<qint64>(0, state.connectedClients - 1);
        m_publish(state);
    }
    // A device's sessions (one per connection that passed its handshake), by its logged name.
    if (const auto name = nameIn(line, QLatin1StringView("Handshake: OK ("))) {
        ++state.inControl[*name];
        m_publish(state);
        if (m_seen)
            m_seen(*name);
    }
    if (const auto name = nameIn(line, QLatin1StringView("Session ended ("));
        name && state.inControl.contains(*name)) {
        if (--state.inControl[*name] < 1)
            state.inControl.remove(*name);
        m_publish(state);
    }
    if (line.startsWith(QLatin1StringView("[C++] Keys reloaded: "))) {
        ++state.keysReloads;
        m_publish(state);
    }
    if (line.startsWith(QLatin1StringView("[C++] Input: "))) {
        const bool lost =
            line.endsWith(QLatin1StringView(" has gone, events are dropped until it is back"));
        if ((lost || line.endsWith(QLatin1StringView(" is back"))) && lost != state.desktopLost) {
            state.desktopLost = lost;
            m_publish(state);
        }
    }
    if (const auto route = inputRouteOf(line); route && *route != state.inputRoute) {
        state.inputRoute = *route;
        m_publish(state);
    }
    if (line.startsWith(QLatin1StringView("STAT")) || line.startsWith(QLatin1StringView("Stat"))) {
        if (const auto rate = rateAfter(line, QLatin1StringView("rateMove="))) {
            state.moveFPS = *rate;
            m_publish(state);
        }
        if (const auto rate = rateAfter(line, QLatin1StringView("rateScroll="))) {
            state.scrollFPS = *rate;
            m_publish(state);
        }
    }
    state.lastLog = line;
    m_publish(state);
}

} // namespace pointrelay::app
