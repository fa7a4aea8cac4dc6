// SPDX-License-Identifier: MIT
#include "terminal_alerts.h"

#include <QTextStream>
#include <cstdio>
#include <unistd.h>

namespace pointrelay::app {

void TerminalAlerts::critical(const QString& message, const QString& informative) {
    QTextStream(stderr) << "pointrelay: " << message << "\n  " << informative << "\n";
}

void TerminalAlerts::information(const QString& message, const QString& informative) {
    QTextStream(stderr) << "pointrelay: " << message << "\n  " << informative << "\n";
}

void TerminalAlerts::notify(const QString& title, const QString& message) {
    QTextStream(stderr) << "pointrelay: " << title << ": " << message << "\n";
}

std::optional<quint16> TerminalAlerts::askAlternativePort(quint16 port, const QString& holder,
                                                          const QList<quint16>& suggestions,
                                                          PortUse use) {
    QTextStream err(stderr);
    const char* option = use == PortUse::web ? "--web-port" : "--port";
    err << "pointrelay: " << (use == PortUse::web ? "the browser page's port " : "port ") << port
        << " is in use: " << holder << "\n";
    if (suggestions.isEmpty() || !::isatty(STDIN_FILENO)) {
        if (!suggestions.isEmpty()) {
            err << "  free ports:";
            for (const quint16 p : suggestions)
                err << ' ' << p;
            err << "\n  choose one with " << option << "\n";
        }
        return std::nullopt;
    }
    for (qsizetype i = 0; i < suggestions.size(); ++i)
        err << "  " << (i + 1) << ") port " << suggestions[i] << "\n";
    err << "  choose 1-" << suggestions.size() << " (anything else cancels): " << Qt::flush;
    QTextStream in(stdin);
    bool ok = false;
    const int choice = in.readLine().trimmed().toInt(&ok);
    if (!ok || choice < 1 || choice > suggestions.size())
        return std::nullopt;
    return suggestions[choice - 1];
}

} // namespace pointrelay::app
