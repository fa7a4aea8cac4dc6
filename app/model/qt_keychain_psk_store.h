// SPDX-License-Identifier: MIT
#pragma once

#include "psk_store.h"

#include <chrono>

namespace pointrelay::app {

/// The platform keychain through QtKeychain: the Keychain on macOS, the Secret Service
/// (gnome-keyring, KWallet) over D-Bus on Linux. QtKeychain's jobs are asynchronous; each
/// operation here runs its job in a local event loop, so it needs the application object and
/// is meant for the GUI thread. Items are stored as text, so other Secret Service clients
/// (secret-tool) see the key as it is.
class QtKeychainPskStore final : public PskStore {
public:
    /// Longer than any answer without a prompt; a job still running then counts as failed and
    /// is left to finish (and delete itself) on its own.
    static constexpr std::chrono::milliseconds kDefaultTimeout{30000};

    explicit QtKeychainPskStore(std::chrono::milliseconds timeout = kDefaultTimeout);

    QString name() const override;
    ReadResult read(const QString& service, const QString& account) override;
    Status write(const QString& service, const QString& account, const QByteArray& data) override;
    /// \brief The keychain's delete answers success whether or not an item existed, so the
    /// item is looked up first to tell the two apart.
    Status remove(const QString& service, const QString& account) override;

private:
    std::chrono::milliseconds m_timeout;
};

} // namespace pointrelay::app
