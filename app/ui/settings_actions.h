// SPDX-License-Identifier: MIT
#pragma once

// The operations behind the buttons that the settings form shares with the first-run wizard
// (and the start/stop button with the status popover).

#include <QLoggingCategory>
#include <QUrl>
#include <optional>

namespace pointrelay::app {

class Alerts;
class AppState;

Q_DECLARE_LOGGING_CATEGORY(lcSettings)

/// How the port check words its alert: through the translation table (the settings form), or
/// as the fixed Japanese texts (the first-run wizard). Without a translation both read alike.
enum class PortCheckTexts { translated, fixed };

/// \brief Tells the user whether the model's port is free just now ("利用可能", informational)
/// or who holds it ("使用中", critical). The port is shown as plain digits, never grouped.
/// Does not wait for the port, ends no stale daemon and changes nothing in the model.
void checkPortAvailability(const AppState& state, Alerts& alerts, PortCheckTexts texts);

/// \brief The start/stop button: when the daemon runs, stops it, shows it stopped at once and
/// waits up to one second for its port; otherwise the model's start (port checks, key, daemon).
void startOrStopDaemon(AppState& state);

/// \brief The link into the system settings' accessibility privacy pane; nothing where the
/// platform has no such pane (X11 desktops grant synthetic input without asking).
std::optional<QUrl> accessibilitySettingsUrl();

/// \brief Opens the accessibility privacy settings; does nothing where there is no link.
void openAccessibilitySettings();

} // namespace pointrelay::app
