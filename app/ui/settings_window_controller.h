// SPDX-License-Identifier: MIT
#pragma once

#include <QPointer>
#include <QWidget>

namespace pointrelay::app {

class Alerts;

/// The settings window that the popover's "設定…" opens: the settings form on
/// `AppState::shared()` in a window of 720 × 560 that cannot be resized. One window at a time:
/// showing it again brings the open one to the front; once closed, the next show builds a new
/// window and form. Closing it does not stop the daemon. GUI thread only.
class SettingsWindowController {
public:
    static constexpr QSize kWindowSize{720, 560};

    /// The one instance, for the life of the process.
    static SettingsWindowController& shared();

    /// \brief Where the form's alerts go; set by the application before the first show.
    void setAlerts(Alerts* alerts) { m_alerts = alerts; }

    /// \brief Brings the window to the front, building it (and `AppState::shared()`) first when
    /// none is open.
    void showWindow();

    /// \brief The open window, or null.
    QWidget* window() const { return m_window; }

private:
    SettingsWindowController() = default;

    QPointer<QWidget> m_window;
    Alerts* m_alerts = nullptr;
};

} // namespace pointrelay::app
