// SPDX-License-Identifier: MIT
#pragma once

#include <QLocalServer>
#include <QObject>

namespace pointrelay::app {

/// One tray application per user: the first one listens on a socket in the user's runtime
/// folder; a later launch finds it there, asks it to come forward, and ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    /// \brief True when this process is the user's instance (it then listens for later
    /// launches); false after the running one was asked to show its settings window.
    bool claim();

signals:
    /// A later launch asked this instance to come forward.
    void activated();

private:
    QLocalServer m_server;
};

} // namespace pointrelay::app
