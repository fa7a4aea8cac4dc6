// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

namespace pointrelay::app {

Q_DECLARE_LOGGING_CATEGORY(lcKeyStore)

/// A per-user secret store that keeps at most one item per service and account: the platform
/// keychain, or an owner-only file where no keychain answers. Called on the GUI thread.
class PskStore {
public:
    enum class Status {
        ok,
        notFound,    ///< no item (read, remove)
        unavailable, ///< the store itself does not answer (no keychain service on the bus)
        failed,      ///< the store answered with an error, or did not answer in time
    };
    struct ReadResult {
        Status status = Status::failed;
        QByteArray data;
    };

    virtual ~PskStore() = default;

    /// \brief Which store this is, for the user interface.
    virtual QString name() const = 0;
    /// \brief Where one item is kept, for messages that send the user there.
    virtual QString itemLocation(const QString& service, const QString& account) const {
        Q_UNUSED(service);
        Q_UNUSED(account);
        return name();
    }
    virtual ReadResult read(const QString& service, const QString& account) = 0;
    /// \brief Creates or replaces the item in one step: when it fails, an earlier item stays.
    virtual Status write(const QString& service, const QString& account,
                         const QByteArray& data) = 0;
    /// \brief ok when an item was removed, notFound when there was none.
    virtual Status remove(const QString& service, const QString& account) = 0;
};

} // namespace pointrelay::app
