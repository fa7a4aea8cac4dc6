// SPDX-License-Identifier: MIT
#pragma once

class QLocale;

namespace pointrelay::app {

/// \brief Installs the built-in English catalogue when \a locale's language is English (the
/// texts are Japanese otherwise), for the tray application and the headless command alike;
/// true when it was installed.
bool installTranslation(const QLocale& locale);

} // namespace pointrelay::app
