// SPDX-License-Identifier: MIT
#include "keychain_psk.h"

#include "fallback_psk_store.h"

#include <QCoreApplication>
#include <QStringDecoder>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <array>
#include <unistd.h>
#include <vector>
#if __has_include(<sys/random.h>)
#include <sys/random.h> // getentropy on glibc; unistd.h declares it on macOS
#endif

namespace pointrelay::app {

Q_LOGGING_CATEGORY(lcKeyStore, "pointrelay.keystore", QtInfoMsg)

namespace {

const QString kBullets = QStringLiteral("\u2022\u2022\u2022\u2022\u2022\u2022");

} // namespace

KeychainPSK::KeychainPSK(QString service, QString account, std::shared_ptr<PskStore> store)
    : m_service(std::move(service)), m_account(std::move(account)), m_store(std::move(store)) {}

KeychainPSK& KeychainPSK::shared() {
    static KeychainPSK instance(QString::fromLatin1(kApplicationService),
                                QString::fromLatin1(kApplicationAccount),
                                FallbackPskStore::system());
    return instance;
}

std::optional<QString> KeychainPSK::load() const {
    const PskStore::ReadResult result = m_store->read(m_service, m_account);
    if (result.status != PskStore::Status::ok) {
        return std::nullopt;
    }
    QStringDecoder decoder(QStringConverter::Utf8);
    QString text = decoder(result.data);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return text.trimmed();
}

bool KeychainPSK::remove() const {
    return m_store->remove(m_service, m_account) == PskStore::Status::ok;
}

bool KeychainPSK::save(const QString& text) const {
    // Written over the earlier item rather than after deleting it: a store that fails half
    // way must not leave the user with no key at all.
    return m_store->write(m_service, m_account, text.toUtf8()) == PskStore::Status::ok;
}

std::optional<QString> KeychainPSK::makeKeyText() {
    std::array<unsigned char, kKeyBytes> bytes{};
    if (::getentropy(bytes.data(), bytes.size()) != 0) {
        return std::nullopt;
    }
    QString text;
    text.reserve(2 * kKeyBytes);
    for (const unsigned char byte : bytes) {
        text += QStringLiteral("%1").arg(static_cast<uint>(byte), 2, 16, QLatin1Char('0'));
    }
    bytes.fill(0);
    return text;
}

QString KeychainPSK::generateAndStore() const {
    // A failed random source must not turn into a predictable key (all zero bytes, say):
    // no key is better than a key an attacker can guess.
    const auto key = makeKeyText();
    if (!key) {
        qCCritical(lcKeyStore) << "the system's random source failed; no key was made";
        return {};
    }
    save(*key);
    return *key;
}

QString KeychainPSK::mask(const std::optional<QString>& key) {
    if (!key) {
        return QCoreApplication::translate("KeychainPSK", "（未設定）");
    }
    // Characters as the user sees them (grapheme clusters), so that masking never splits a
    // surrogate pair or a combined character.
    std::vector<qsizetype> bounds{0};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, *key);
    for (qsizetype at = finder.toNextBoundary(); at > 0; at = finder.toNextBoundary()) {
        bounds.push_back(at);
    }
    const auto characters = static_cast<qsizetype>(bounds.size()) - 1;
    if (characters <= 6) {
        return kBullets;
    }
    return key->left(bounds[3]) + kBullets + key->mid(bounds[characters - 3]);
}

QString KeychainPSK::maskedText() const {
    return mask(load());
}

QString KeychainPSK::storeName() const {
    return m_store->name();
}

QString KeychainPSK::location() const {
    return m_store->itemLocation(m_service, m_account);
}

bool KeychainPSK::isWellFormed(const QString& key) {
    return key.size() == 2 * kKeyBytes && std::all_of(key.begin(), key.end(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c.toLower() >= u'a' && c.toLower() <= u'f');
           });
}

} // namespace pointrelay::app
