// SPDX-License-Identifier: MIT
#pragma once

#include "psk_store.h"

#include <QString>
#include <memory>
#include <optional>

namespace pointrelay::app {

/// The pre-shared key that the daemon and the phone share: 64 lowercase hexadecimal characters
/// made from 32 random bytes, kept as one item (service, account) of a per-user secret store,
/// handed out in clear to the daemon start and the pairing code, and masked for display.
/// Called on the GUI thread; every operation asks the store afresh.
class KeychainPSK {
public:
    /// The application's item: its identifier, fixed in the program, and the account "psk".
    static constexpr const char* kApplicationService = "org.pointrelay.PointrelayServer";
    static constexpr const char* kApplicationAccount = "psk";
    static constexpr int kKeyBytes = 32;

    KeychainPSK(QString service, QString account, std::shared_ptr<PskStore> store);

    /// The process-wide instance on the application's item, in the keychain or, where no
    /// keychain service answers, in the owner-only key file.
    static KeychainPSK& shared();

    const QString& service() const { return m_service; }
    const QString& account() const { return m_account; }
    /// The store that holds the item (and the application's other items).
    PskStore& store() const { return *m_store; }

    /// \brief The key text without surrounding white space (a key file written with echo or
    /// an editor ends in a line break); nothing when there is no item, it cannot be read, or
    /// it is not valid UTF-8.
    std::optional<QString> load() const;
    /// \brief Removes the item; false when there was none or it could not be removed.
    bool remove() const;
    /// \brief Stores the text as the item, replacing an earlier one in one step; false (and
    /// the earlier item kept) when the store fails.
    bool save(const QString& text) const;
    /// \brief Makes a new key and saves it; returns it even when saving failed. Returns an
    /// empty text, and stores nothing, when the system's random source fails.
    QString generateAndStore() const;
    /// \brief The stored key as shown to the user: "（未設定）", six bullets, or the first
    /// three characters, six bullets and the last three.
    QString maskedText() const;
    /// \brief Which store holds the key, for the user interface.
    QString storeName() const;
    /// \brief Where the item is: the key file's path, or the keychain's name.
    QString location() const;

    /// Whether a key text is one this system makes: 64 hexadecimal digits. Anything else
    /// (a truncated or hand-made key) is never served.
    static bool isWellFormed(const QString& key);

    /// The masked form of a key (or of none).
    static QString mask(const std::optional<QString>& key);
    /// 32 bytes of the system's secure random source as 64 lowercase hexadecimal digits;
    /// nothing when the source fails.
    static std::optional<QString> makeKeyText();

private:
    QString m_service;
    QString m_account;
    std::shared_ptr<PskStore> m_store;
};

} // namespace pointrelay::app
