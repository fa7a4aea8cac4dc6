// SPDX-License-Identifier: MIT
#include "daemon_output_parser.h"

#include <QStringList>

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

} // namespace

void DaemonOutputParser::reset() {
    m_lineBuffer.clear();
    m_pendingCarriageReturn = false;
    m_decoder.resetState();
}

void DaemonOutputParser::feed(QByteArrayView chunk, ServerState& state) {
    // A stateful decoder keeps a character split across two chunks for the next one, so no
    // chunk is lost because a pipe read ended inside a character.
    QString text = m_decoder.decode(chunk);
    // "\r\n" and a lone "\r" both end a line; a "\r" at the end of one chunk already ends its
    // line, and a "\n" starting the next chunk then belongs to it.
    if (m_pendingCarriageReturn && text.startsWith(u'\n'))
        text.remove(0, 1);
    m_pendingCarriageReturn = text.endsWith(u'\r');
    text.replace(QLatin1StringView("\r\n"), QLatin1StringView("\n"));
    text.replace(u'\r', u'\n');
    m_lineBuffer += text;

    qsizetype end;
    while ((end = m_lineBuffer.indexOf(u'\n')) >= 0) {
        const QString line = m_lineBuffer.left(end).trimmed();
        m_lineBuffer.remove(0, end + 1);
        if (!line.isEmpty())
            interpret(line, state);
    }
}

void DaemonOutputParser::interpret(const QString& line, ServerState& state) {
    if (line.contains(QLatin1StringView("[SYS] focus")) ||
        line.contains(QLatin1StringView("[KEY] macFKey")))
        m_echo(line);
    if (line.contains(QLatin1StringView("Client connected"), Qt::CaseInsensitive)) {
        ++state.connectedClients;
        m_publish(state);
    }
    if (line.contains(QLatin1StringView("Client disconnected"), Qt::CaseInsensitive)) {
        state.connectedClients = std::max<qint64>(0, state.connectedClients - 1);
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
