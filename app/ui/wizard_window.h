// SPDX-License-Identifier: MIT
#pragma once

#include <QWidget>

namespace pointrelay::app {

class Alerts;
class AppState;

/// Opens and closes the first-run wizard's window ("初回セットアップ"), at most one at a time.
/// GUI thread only.
class WizardWindow {
public:
    WizardWindow() = delete;

    /// \brief Opens a new wizard on its first page for the model, in front; a wizard that is
    /// still open is closed first.
    static void open(AppState& state, Alerts& alerts);
    /// \brief "完了": closes the wizard's window if one is open; otherwise does nothing.
    static void finish();
    /// \brief The open wizard window, or null.
    static QWidget* window();
};

} // namespace pointrelay::app
