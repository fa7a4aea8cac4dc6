// SPDX-License-Identifier: MIT
#pragma once

#include "model/server_state.h"

#include <QCoreApplication>
#include <QString>

namespace pointrelay::app {

/// The texts that differ between macOS, where synthetic input needs the accessibility
/// permission and the phone is an iPhone next to a Mac, and Linux, where the daemon reaches
/// the desktop through one of several input routes. The one place that knows which is which.
class PlatformTexts {
    Q_DECLARE_TR_FUNCTIONS(PlatformTexts)

public:
    /// \brief The settings' security section header.
    static QString securityHeader();
    /// \brief The first step of the first-run wizard.
    static QString permissionStep();
    enum class Place { settings, wizard };
    /// \brief What the settings' permission row and the wizard's first page say: on macOS the
    /// accessibility permission; elsewhere which input route the daemon uses (or will likely
    /// use) and what, if anything, the person must do for it.
    static QString permissionNote(InputRoute route, Place place);
    /// The route's note, after a line saying so while its desktop is gone.
    static QString routeNote(InputRoute route, bool desktopLost, Place place);
    /// \brief The wizard's last step, scanning the code.
    static QString scanStep();
    /// \brief Whether the button that opens the accessibility settings does anything here.
    static bool hasAccessibilitySettings();
};

} // namespace pointrelay::app
