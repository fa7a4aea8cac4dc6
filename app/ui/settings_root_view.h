// SPDX-License-Identifier: MIT
#pragma once

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace pointrelay::app {

class Alerts;
class AppState;

/// The settings form: port (with its availability check), host choice, DNS-SD advertising,
/// launch at login, the browser remote (switch, port, what it means), the paired devices (added,
/// renamed, removed, in control) and the pairing QR sheet, the way to the accessibility permission,
/// and start/stop. Each edit is saved when it is made (the port when editing ends) and applied to a
/// running daemon.
class SettingsRootView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMinimumWidth = 600;

    SettingsRootView(AppState& state, Alerts& alerts, QWidget* parent = nullptr);

    /// \brief "重複チェック": says whether the port is free now, or who holds it.
    void checkPortAvailability();
    /// \brief "追加…": a new device, then its pairing code.
    void addDevice();
    /// \brief "名前を変更…": asks for the selected device's new name.
    void renameDevice();
    /// \brief "削除": after a confirmation, the selected device's key opens nothing any more.
    void removeDevice();
    /// \brief "QR表示": the pairing code as a sheet of this window.
    void showQRSheet();

private:
    void commitPortField();
    void commitWebPortField();
    void showPort();
    void showWeb();
    void showHostMode();
    void showRunning();
    void showDevices();
    QString selectedDevice() const;

    AppState& m_state;
    Alerts& m_alerts;
    QLineEdit* m_portField;
    QComboBox* m_hostMode;
    QCheckBox* m_bonjour;
    QCheckBox* m_autoLaunch;
    QCheckBox* m_webRemote;
    QLineEdit* m_webPortField;
    QTreeWidget* m_devices;
    QLabel* m_keyStore;
    QPushButton* m_startStop;
};

} // namespace pointrelay::app
