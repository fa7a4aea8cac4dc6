// SPDX-License-Identifier: MIT
#include "terminal_alerts.h"

#include <QTextStream>
#include <cstdio>
#include <unistd.h>

namespace pointrelay::app {

namespace {

// The message, then each line of what it says in detail, indented under it.
void print(const QString& message, QString informative) {
    QTextStream(stderr) << "pointrelay: " << message << "\n  "
                        << informative.replace(u'\n', QStringLiteral("\n  ")) << "\n";
}

} // namespace

void TerminalAlerts::critical(const QString& message, const QString& informative) {
    print(message, informative);
}

void TerminalAlerts::information(const QString& message, const QString& informative) {
    print(message, informative);
}

void TerminalAlerts::notify(const QString& title, const QString& message) {
    QTextStream(stderr) << "pointrelay: " << title << ": " << message << "\n";
}

std::optional<quint16> TerminalAlerts::askAlternativePort(quint16 port, const QString& holder,
                                                          const QList<quint16>& suggestions,
                                                          PortUse use) {
    QTextStream err(stderr);
    const char* option = use == PortUse::web ? "--web-port" : "--port";
    err << "pointrelay: "
        << (use == PortUse::web ? tr("ブラウザ用のポート %1 は使用中です: %2")
                                : tr("ポート %1 は使用中です: %2"))
               .arg(port)
               .arg(holder)
        << "\n";
    if (suggestions.isEmpty() || !::isatty(STDIN_FILENO)) {
        if (!suggestions.isEmpty()) {
            err << "  " << tr("空いているポート:");
            for (const quint16 p : suggestions)
                err << ' ' << p;
            err << "\n  " << tr("%1 で指定してください").arg(QLatin1StringView(option)) << "\n";
        }
        return std::nullopt;
    }
    for (qsizetype i = 0; i < suggestions.size(); ++i)
        err << "  " << (i + 1) << ") " << tr("ポート %1").arg(suggestions[i]) << "\n";
    err << "  " << tr("1〜%1 を選んでください（それ以外は取り消し）: ").arg(suggestions.size())
        << Qt::flush;
    QTextStream in(stdin);
    bool ok = false;
    const int choice = in.readLine().trimmed().toInt(&ok);
    if (!ok || choice < 1 || choice > suggestions.size())
        return std::nullopt;
    return suggestions[choice - 1];
}

} // namespace pointrelay::app
