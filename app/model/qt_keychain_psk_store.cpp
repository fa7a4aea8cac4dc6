// SPDX-License-Identifier: MIT
#include "qt_keychain_psk_store.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <memory>
#include <qt6keychain/keychain.h>

namespace pointrelay::app {

namespace {

PskStore::Status statusOf(QKeychain::Error error) {
    switch (error) {
    case QKeychain::NoError:
        return PskStore::Status::ok;
    case QKeychain::EntryNotFound:
        return PskStore::Status::notFound;
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
    // Without a session bus or a Secret Service on it, libsecret's D-Bus errors arrive as
    // OtherError, within milliseconds.
    case QKeychain::OtherError:
        return PskStore::Status::unavailable;
    case QKeychain::CouldNotDeleteEntry:
    case QKeychain::AccessDeniedByUser:
    case QKeychain::AccessDenied:
        break;
    }
    return PskStore::Status::failed;
}

/// Runs a job to its end in a local event loop. A job that outlives the time-out is released to
/// delete itself when it finishes, so its late answer lands safely; \a job is then empty.
template <typename Job>
PskStore::Status runJob(std::unique_ptr<Job>& job, std::chrono::milliseconds timeout) {
    if (!QCoreApplication::instance()) {
        qCWarning(lcKeyStore) << "the keychain needs the application object";
        return PskStore::Status::unavailable;
    }
    job->setAutoDelete(false);
    bool finished = false;
    QEventLoop loop;
    QObject::connect(job.get(), &QKeychain::Job::finished, &loop, [&finished, &loop] {
        finished = true;
        loop.quit();
    });
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    job->start();
    if (!finished) {
        // No user input meanwhile: a click must not re-enter the model during a key operation.
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!finished) {
        qCWarning(lcKeyStore) << "the keychain did not answer in time";
        job.release()->setAutoDelete(true);
        return PskStore::Status::failed;
    }
    const QKeychain::Error error = job->error();
    if (error != QKeychain::NoError && error != QKeychain::EntryNotFound) {
        qCDebug(lcKeyStore) << "keychain error" << error << job->errorString();
    }
    return statusOf(error);
}

} // namespace

QtKeychainPskStore::QtKeychainPskStore(std::chrono::milliseconds timeout) : m_timeout(timeout) {}

QString QtKeychainPskStore::name() const {
    return QCoreApplication::translate("QtKeychainPskStore", "キーチェーン");
}

PskStore::ReadResult QtKeychainPskStore::read(const QString& service, const QString& account) {
    auto job = std::make_unique<QKeychain::ReadPasswordJob>(service);
    job->setKey(account);
    const Status status = runJob(job, m_timeout);
    return {status, status == Status::ok ? job->binaryData() : QByteArray()};
}

PskStore::Status QtKeychainPskStore::write(const QString& service, const QString& account,
                                           const QByteArray& data) {
    if (data.contains('\0')) {
        return Status::failed; // a text item ends at the first NUL
    }
    auto job = std::make_unique<QKeychain::WritePasswordJob>(service);
    job->setKey(account);
    job->setTextData(QString::fromUtf8(data));
    return runJob(job, m_timeout);
}

PskStore::Status QtKeychainPskStore::remove(const QString& service, const QString& account) {
    const ReadResult existing = read(service, account);
    if (existing.status != Status::ok) {
        return existing.status;
    }
    auto job = std::make_unique<QKeychain::DeletePasswordJob>(service);
    job->setKey(account);
    return runJob(job, m_timeout);
}

} // namespace pointrelay::app
