// SPDX-License-Identifier: MIT
#include "fallback_psk_store.h"

#include "device_list.h"
#include "file_psk_store.h"
#include "keychain_psk.h"
#include "qt_keychain_psk_store.h"

#include <algorithm>

namespace pointrelay::app {

FallbackPskStore::FallbackPskStore(std::shared_ptr<PskStore> preferred,
                                   std::shared_ptr<PskStore> fallback, QString probeService,
                                   QStringList probeAccounts)
    : m_preferred(std::move(preferred)), m_fallback(std::move(fallback)),
      m_probeService(std::move(probeService)), m_probeAccounts(std::move(probeAccounts)) {}

std::shared_ptr<FallbackPskStore> FallbackPskStore::system() {
    static const auto instance = std::make_shared<FallbackPskStore>(
        std::make_shared<QtKeychainPskStore>(), std::make_shared<FilePskStore>(),
        QString::fromLatin1(KeychainPSK::kApplicationService),
        QStringList{QString::fromLatin1(DeviceList::kAccount),
                    QString::fromLatin1(KeychainPSK::kApplicationAccount)});
    return instance;
}

PskStore& FallbackPskStore::chosen() const {
    // One person's keys live in one store: keys in either store are the keys. Those in the file
    // (made where no keychain answered, over SSH say) move into a keychain that answers without
    // any; a keychain that does not answer, or answers only with errors (locked), leaves the
    // file's keys in use.
    std::call_once(m_probed, [this] {
        // The keychain's first answer decides; any item it holds makes it the store.
        Status probe = Status::notFound;
        for (const QString& account : m_probeAccounts) {
            const Status status = m_preferred->read(m_probeService, account).status;
            if (status == Status::ok || probe == Status::notFound)
                probe = status;
        }
        QList<std::pair<QString, QByteArray>> fileItems;
        for (const QString& account : m_probeAccounts) {
            const ReadResult file = probe == Status::ok ? ReadResult{Status::notFound, {}}
                                                        : m_fallback->read(m_probeService, account);
            if (file.status == Status::ok && !file.data.isEmpty())
                fileItems.append({account, file.data});
        }
        const bool fileKey = !fileItems.isEmpty();
        m_chosen = m_preferred.get();
        if (probe == Status::unavailable || (probe == Status::failed && fileKey)) {
            m_chosen = m_fallback.get();
        } else if (probe == Status::notFound && fileKey) {
            const bool moved = std::ranges::all_of(fileItems, [this](const auto& item) {
                return m_preferred->write(m_probeService, item.first, item.second) == Status::ok;
            });
            if (moved) {
                for (const auto& item : fileItems)
                    m_fallback->remove(m_probeService, item.first);
                qCInfo(lcKeyStore).noquote()
                    << "keys moved from" << m_fallback->name() << "to" << m_preferred->name();
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
