// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace pointrelay::app {

/// Which of our ports a question about another port is for.
enum class PortUse { daemon, web };

/// The failures and questions the user must see. The tray application answers with message
/// boxes, the headless command on the terminal, tests programmatically.
class Alerts {
public:
    virtual ~Alerts() = default;
    /// A critical alert: blocks until the user has seen it.
    virtual void critical(const QString& message, const QString& informative) = 0;
    /// An informational notice (a check that found nothing wrong, a change that the user must
    /// act on): blocks until the user has seen it.
    virtual void information(const QString& message, const QString& informative) = 0;
    /// A notice that must reach the user even with every window closed, without waiting for
    /// an answer: a desktop notification (the daemon ended on its own, say).
    virtual void notify(const QString& title, const QString& message) = 0;
    /// The chosen port, or nothing when the user cancels. `holder` describes who listens;
    /// `use` says which of our ports (the daemon's, the browser page's) wants it.
    virtual std::optional<quint16> askAlternativePort(quint16 port, const QString& holder,
                                                      const QList<quint16>& suggestions,
                                                      PortUse use) = 0;
};

} // namespace pointrelay::app
