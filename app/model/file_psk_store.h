// SPDX-License-Identifier: MIT
#pragma once

#include "psk_store.h"

namespace pointrelay::app {

/// Items as files readable only by their owner: <directory>/<service>/<account>, mode 0600,
/// in folders of mode 0700, each replaced atomically (written beside, then renamed over).
/// The store of last resort where no keychain service answers.
class FilePskStore final : public PskStore {
public:
    /// Items larger than this are not ours; they are refused rather than read.
    static constexpr qint64 kMaxItemBytes = 64 * 1024;

    explicit FilePskStore(QString directory = defaultDirectory());

    /// "pointrelay" in the user's configuration folder ($XDG_CONFIG_HOME or ~/.config).
    static QString defaultDirectory();

    /// The item's file; empty when service or account cannot be a file name.
    QString itemPath(const QString& service, const QString& account) const;
    const QString& directory() const { return m_directory; }

    QString name() const override;
    QString itemLocation(const QString& service, const QString& account) const override;
    ReadResult read(const QString& service, const QString& account) override;
    Status write(const QString& service, const QString& account, const QByteArray& data) override;
    Status remove(const QString& service, const QString& account) override;

private:
    QString m_directory;
};

} // namespace pointrelay::app
