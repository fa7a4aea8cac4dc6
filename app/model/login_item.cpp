// SPDX-License-Identifier: MIT
#include "login_item.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace pointrelay::app {
namespace {

// Desktop entries quote arguments with double quotes and escape \ " ` $ inside them.
QString quotedExec(const QString& path) {
    QString escaped;
    for (const QChar c : path) {
        if (c == u'\\' || c == u'"' || c == u'`' || c == u'$')
            escaped += u'\\';
        escaped += c;
    }
    return u'"' + escaped + u'"';
}

} // namespace

LoginItem::LoginItem(QString autostartDir, QString executable)
    : m_dir(std::move(autostartDir)), m_executable(std::move(executable)) {
    if (m_dir.isEmpty())
        m_dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                QStringLiteral("/autostart");
    if (m_executable.isEmpty() && QCoreApplication::instance())
        m_executable = QCoreApplication::applicationFilePath();
}

QString LoginItem::entryPath() const {
    return QDir(m_dir).filePath(QStringLiteral("pointrelay-server.desktop"));
}

bool LoginItem::isInstalled() const {
    return QFile::exists(entryPath());
}

bool LoginItem::apply(bool enabled) const {
    if (!enabled)
        return !isInstalled() || QFile::remove(entryPath());
    if (!QDir().mkpath(m_dir) || m_executable.isEmpty())
        return false;
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Pointrelay Server\n"
                                         "Exec=%1 --background\n"
                                         "Icon=pointrelay-server\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(quotedExec(m_executable));
    file.write(entry.toUtf8());
    return file.commit();
}

} // namespace pointrelay::app
