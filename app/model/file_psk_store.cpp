// SPDX-License-Identifier: MIT
#include "file_psk_store.h"

#include "file_descriptor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pointrelay::app {

namespace {

constexpr mode_t kOwnerOnlyFile = 0600;
constexpr mode_t kOwnerOnlyFolder = 0700;

bool isSafeFileName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

/// Creates the folder owner-only, or makes an existing one of ours owner-only: the item's
/// name and its replacement's temporary file are nobody else's business.
bool ensurePrivateFolder(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), kOwnerOnlyFolder) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid()) {
        return false;
    }
    return (info.st_mode & 07777) == kOwnerOnlyFolder ||
           ::chmod(native.constData(), kOwnerOnlyFolder) == 0;
}

} // namespace

FilePskStore::FilePskStore(QString directory) : m_directory(std::move(directory)) {}

QString FilePskStore::defaultDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/pointrelay");
}

QString FilePskStore::itemPath(const QString& service, const QString& account) const {
    if (m_directory.isEmpty() || !isSafeFileName(service) || !isSafeFileName(account)) {
        return {};
    }
    return m_directory + QLatin1Char('/') + service + QLatin1Char('/') + account;
}

QString FilePskStore::name() const {
    return QCoreApplication::translate("FilePskStore", "ファイル (%1)")
        .arg(QDir::toNativeSeparators(m_directory));
}

QString FilePskStore::itemLocation(const QString& service, const QString& account) const {
    return QDir::toNativeSeparators(itemPath(service, account));
}

PskStore::ReadResult FilePskStore::read(const QString& service, const QString& account) {
    const QString path = itemPath(service, account);
    if (path.isEmpty()) {
        return {Status::failed, {}};
    }
    // No symbolic links: the item is a plain file of ours or it is not the item.
    const FileDescriptor file(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (file.get() < 0) {
        return {errno == ENOENT ? Status::notFound : Status::failed, {}};
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxItemBytes) {
        return {Status::failed, {}};
    }
    if ((info.st_mode & 077) != 0 && info.st_uid == ::geteuid()) {
        qCWarning(lcKeyStore) << "key file was readable by others; made it owner-only";
        ::fchmod(file.get(), kOwnerOnlyFile);
    }
    QByteArray data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return {Status::failed, {}};
        }
        if (n == 0) {
            break;
        }
        data.append(buffer, n);
        if (data.size() > kMaxItemBytes) {
            return {Status::failed, {}};
        }
    }
    return {Status::ok, data};
}

PskStore::Status FilePskStore::write(const QString& service, const QString& account,
                                     const QByteArray& data) {
    const QString path = itemPath(service, account);
    if (path.isEmpty() || data.size() > kMaxItemBytes) {
        return Status::failed;
    }
    const QString parent = QFileInfo(m_directory).absolutePath();
    if (!QDir().mkpath(parent) || !ensurePrivateFolder(m_directory) ||
        !ensurePrivateFolder(m_directory + QLatin1Char('/') + service)) {
        qCDebug(lcKeyStore) << "cannot prepare the key folder" << m_directory;
        return Status::failed;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qCDebug(lcKeyStore) << "cannot write the key file:" << file.errorString();
        return Status::failed;
    }
    // The temporary file is created with the umask's mode (or an existing item's mode); make it
    // owner-only before a byte of the key is in it. The rename keeps the mode.
    if (::fchmod(file.handle(), kOwnerOnlyFile) != 0 || file.write(data) != data.size() ||
        !file.commit()) {
        qCDebug(lcKeyStore) << "cannot write the key file:" << file.errorString();
        file.cancelWriting();
        return Status::failed;
    }
    return Status::ok;
}

PskStore::Status FilePskStore::remove(const QString& service, const QString& account) {
    const QString path = itemPath(service, account);
    if (path.isEmpty()) {
        return Status::failed;
    }
    if (::unlink(QFile::encodeName(path).constData()) == 0) {
        return Status::ok;
    }
    return errno == ENOENT ? Status::notFound : Status::failed;
}

} // namespace pointrelay::app
