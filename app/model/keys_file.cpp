// SPDX-License-Identifier: MIT
#include "keys_file.h"

#include "file_psk_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace pointrelay::app {

QString keysFilePath() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return (runtime.isEmpty() ? FilePskStore::defaultDirectory()
                              : runtime + QStringLiteral("/pointrelay")) +
           QStringLiteral("/devices");
}

bool writeKeysFile(const QString& path, const QByteArray& text) {
    // The daemon refuses a file that others could read; so does the folder around it.
    const QString folder = QFileInfo(path).absolutePath();
    const QByteArray native = QFile::encodeName(folder);
    struct stat info {};
    if (!QDir().mkpath(folder) || ::lstat(native.constData(), &info) != 0 ||
        info.st_uid != ::geteuid() || ::chmod(native.constData(), 0700) != 0)
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || ::fchmod(file.handle(), 0600) != 0 ||
        file.write(text) != text.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

int reloadKeysReaders(const QString& path) {
    // Linux's /proc; where there is none, nothing is found and the supervisor's own signal is
    // the only one.
    const QByteArray nul(1, '\0');
    const QByteArray wanted = nul + "--keys-file" + nul + QFile::encodeName(path) + nul;
    int told = 0;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : pids) {
        bool numeric = false;
        const pid_t pid = static_cast<pid_t>(entry.toInt(&numeric));
        struct stat info {};
        const QString folder = QStringLiteral("/proc/") + entry;
        if (!numeric || ::stat(QFile::encodeName(folder).constData(), &info) != 0 ||
            info.st_uid != ::geteuid())
            continue;
        QFile cmdline(folder + QStringLiteral("/cmdline"));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        if ((nul + cmdline.read(64 * 1024)).contains(wanted) && ::kill(pid, SIGHUP) == 0)
            ++told;
    }
    return told;
}

} // namespace pointrelay::app
