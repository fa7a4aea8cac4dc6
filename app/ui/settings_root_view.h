// SPDX-License-Identifier: MIT
#pragma once

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace pointrelay::app {

class Alerts;
class AppState;

/// The settings form: port (with its availability check), host choice, DNS-SD advertising,
/// launch at login, the browser remote (switch, port, what it means), the masked key with
/// regeneration and the pairing QR sheet, the way to the accessibility permission, and start/stop.
/// Each edit is saved when it is made (the port when editing ends) and applied to a running daemon.
class SettingsRootView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMinimumWidth = 600;

    SettingsRootView(AppState& state, Alerts& alerts, QWidget* parent = nullptr);

    /// \brief "重複チェック": says whether the port is free now, or who holds it.
    void checkPortAvailability();
    /// \brief "再生成": a new key, shown masked; a running daemon is restarted with it (which
    /// saves the settings); then the notice that the phone must read the code again.
    void regenerateKey();
    /// \brief "QR表示": the pairing code as a sheet of this window.
    void showQRSheet();

private:
    void commitPortField();
    void commitWebPortField();
    void showPort();
    void showWeb();
    void showHostMode();
    void showRunning();
    void showKey();

    AppState& m_state;
    Alerts& m_alerts;
    QLineEdit* m_portField;
    QComboBox* m_hostMode;
    QCheckBox* m_bonjour;
    QCheckBox* m_autoLaunch;
    QCheckBox* m_webRemote;
    QLineEdit* m_webPortField;
    QLabel* m_maskedPSK;
    QLabel* m_keyStore;
    QPushButton* m_startStop;
};

} // namespace pointrelay::app
