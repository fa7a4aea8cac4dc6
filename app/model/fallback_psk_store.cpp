// SPDX-License-Identifier: MIT
#include "fallback_psk_store.h"

#include "file_psk_store.h"
#include "keychain_psk.h"
#include "qt_keychain_psk_store.h"

namespace pointrelay::app {

FallbackPskStore::FallbackPskStore(std::shared_ptr<PskStore> preferred,
                                   std::shared_ptr<PskStore> fallback, QString probeService,
                                   QString probeAccount)
    : m_preferred(std::move(preferred)), m_fallback(std::move(fallback)),
      m_probeService(std::move(probeService)), m_probeAccount(std::move(probeAccount)) {}

std::shared_ptr<FallbackPskStore> FallbackPskStore::system() {
    static const auto instance = std::make_shared<FallbackPskStore>(
        std::make_shared<QtKeychainPskStore>(), std::make_shared<FilePskStore>(),
        QString::fromLatin1(KeychainPSK::kApplicationService),
        QString::fromLatin1(KeychainPSK::kApplicationAccount));
    return instance;
}

PskStore& FallbackPskStore::chosen() const {
    // One person has one key: a key in either store is the key. One in the file (made where no
    // keychain answered, over SSH say) moves into a keychain that answers without one; a
    // keychain that does not answer, or answers only with errors (locked), leaves the file's
    // key in use.
    std::call_once(m_probed, [this] {
        const Status probe = m_preferred->read(m_probeService, m_probeAccount).status;
        const ReadResult file = probe == Status::ok
                                    ? ReadResult{Status::notFound, {}}
                                    : m_fallback->read(m_probeService, m_probeAccount);
        const bool fileKey = file.status == Status::ok && !file.data.isEmpty();
        m_chosen = m_preferred.get();
        if (probe == Status::unavailable || (probe == Status::failed && fileKey)) {
            m_chosen = m_fallback.get();
        } else if (probe == Status::notFound && fileKey) {
            if (m_preferred->write(m_probeService, m_probeAccount, file.data) == Status::ok) {
                m_fallback->remove(m_probeService, m_probeAccount);
                qCInfo(lcKeyStore).noquote()
                    << "key moved from" << m_fallback->name() << "to" << m_preferred->name();
            } else {
                m_chosen = m_fallback.get();
            }
        }
        qCInfo(lcKeyStore).noquote() << "key store:" << m_chosen->name();
    });
    return *m_chosen;
}

bool FallbackPskStore::usesFallback() {
    return &chosen() == m_fallback.get();
}

QString FallbackPskStore::name() const {
    return chosen().name();
}

QString FallbackPskStore::itemLocation(const QString& service, const QString& account) const {
    return chosen().itemLocation(service, account);
}

PskStore::ReadResult FallbackPskStore::read(const QString& service, const QString& account) {
    return chosen().read(service, account);
}

PskStore::Status FallbackPskStore::write(const QString& service, const QString& account,
                                         const QByteArray& data) {
    return chosen().write(service, account, data);
}

PskStore::Status FallbackPskStore::remove(const QString& service, const QString& account) {
    return chosen().remove(service, account);
}

} // namespace pointrelay::app
