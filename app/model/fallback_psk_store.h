// SPDX-License-Identifier: MIT
#pragma once

#include "psk_store.h"

#include <QStringList>
#include <memory>
#include <mutex>

namespace pointrelay::app {

/// Chooses between a preferred store (the keychain) and a fallback (the owner-only file) once,
/// at first use: when the preferred store does not answer a read of the probe items, the
/// fallback serves for the rest of the object's life. Later errors of the chosen store are
/// reported as they are, never answered from the other store, so the key never silently moves.
class FallbackPskStore final : public PskStore {
public:
    FallbackPskStore(std::shared_ptr<PskStore> preferred, std::shared_ptr<PskStore> fallback,
                     QString probeService, QStringList probeAccounts);

    /// The process-wide store: QtKeychain, else a file in FilePskStore's default folder, probed
    /// with the application's own items (the device list and the single key before it).
    static std::shared_ptr<FallbackPskStore> system();

    /// Whether the fallback was chosen (probes when nothing has been chosen yet).
    bool usesFallback();

    QString name() const override;
    QString itemLocation(const QString& service, const QString& account) const override;
    ReadResult read(const QString& service, const QString& account) override;
    Status write(const QString& service, const QString& account, const QByteArray& data) override;
    Status remove(const QString& service, const QString& account) override;

private:
    PskStore& chosen() const;

    std::shared_ptr<PskStore> m_preferred;
    std::shared_ptr<PskStore> m_fallback;
    QString m_probeService;
    QStringList m_probeAccounts;
    mutable std::once_flag m_probed;
    mutable PskStore* m_chosen = nullptr;
};

} // namespace pointrelay::app
