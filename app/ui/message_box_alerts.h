// SPDX-License-Identifier: MIT
#pragma once

#include "model/alerts.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSystemTrayIcon>

namespace pointrelay::app {

/// The tray application's alerts: application-modal message boxes that block until answered.
/// Buttons carry object names ("okButton", "cancelButton", "portButton<N>") so that tests can
/// find and press them.
class MessageBoxAlerts final : public Alerts {
    Q_DECLARE_TR_FUNCTIONS(MessageBoxAlerts)

public:
    void critical(const QString& message, const QString& informative) override;
    void information(const QString& message, const QString& informative) override;
    /// \brief A notification from the tray icon; where the tray shows none, a warning box
    /// that does not block.
    void notify(const QString& title, const QString& message) override;
    void setTrayIcon(QSystemTrayIcon* tray) { m_tray = tray; }
    /// \brief One button per suggested port, in order, and "キャンセル"; the port pressed, or
    /// nothing for the cancel button, Escape or closing the box. Without suggestions, a warning
    /// with a single "OK" that always gives nothing.
    std::optional<quint16> askAlternativePort(quint16 port, const QString& holder,
                                              const QList<quint16>& suggestions,
                                              PortUse use) override;

private:
    QPointer<QSystemTrayIcon> m_tray;
};

} // namespace pointrelay::app
