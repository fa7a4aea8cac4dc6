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
    std::call_once(m_probed, [this] {
        const Status probe = m_preferred->read(m_probeService, m_probeAccount).status;
        m_chosen = probe == Status::unavailable ? m_fallback.get() : m_preferred.get();
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
