// SPDX-License-Identifier: MIT
#pragma once

#include "model/alerts.h"

#include <QCoreApplication>

namespace pointrelay::app {

/// Alerts on the terminal: failures on standard error; the port question is asked on the
/// terminal when there is one, and answered "cancel" when the command runs unattended.
class TerminalAlerts final : public Alerts {
    Q_DECLARE_TR_FUNCTIONS(TerminalAlerts)

public:
    void critical(const QString& message, const QString& informative) override;
    void information(const QString& message, const QString& informative) override;
    /// One line on standard error.
    void notify(const QString& title, const QString& message) override;
    std::optional<quint16> askAlternativePort(quint16 port, const QString& holder,
                                              const QList<quint16>& suggestions,
                                              PortUse use) override;
};

} // namespace pointrelay::app
