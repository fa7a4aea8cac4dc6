// SPDX-License-Identifier: MIT
#pragma once

#include "device_list.h"
#include "host_advertise_mode.h"
#include "server_state.h"

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace pointrelay::app {

class Alerts;
class KeychainPSK;
class PortCheck;
class Preferences;
class ServerProcessManager;

/// The application's observable settings and status: the four stored settings, the daemon's
/// reported status and the masked key. Lives on the GUI thread; status arrives only through
/// queued calls from the process manager.
class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(quint16 port READ port WRITE setPort NOTIFY portChanged)
    Q_PROPERTY(int hostMode READ hostModeRaw WRITE setHostModeRaw NOTIFY hostModeChanged)
    Q_PROPERTY(bool bonjourEnabled READ bonjourEnabled WRITE setBonjourEnabled NOTIFY
                   bonjourEnabledChanged)
    Q_PROPERTY(bool autoLaunch READ autoLaunch WRITE setAutoLaunch NOTIFY autoLaunchChanged)
    Q_PROPERTY(bool webRemote READ webRemote WRITE setWebRemote NOTIFY webRemoteChanged)
    Q_PROPERTY(quint16 webPort READ webPort WRITE setWebPort NOTIFY webPortChanged)
    Q_PROPERTY(bool running READ running NOTIFY runningChanged)
    Q_PROPERTY(QString maskedPSK READ maskedPSK NOTIFY maskedPSKChanged)
    Q_PROPERTY(qint64 connectedClients READ connectedClients NOTIFY connectedClientsChanged)
    Q_PROPERTY(double moveFPS READ moveFPS NOTIFY moveFPSChanged)
    Q_PROPERTY(double scrollFPS READ scrollFPS NOTIFY scrollFPSChanged)
    Q_PROPERTY(QString lastLog READ lastLog NOTIFY lastLogChanged)
    Q_PROPERTY(int inputRoute READ inputRouteRaw NOTIFY inputRouteChanged)
    Q_PROPERTY(bool desktopLost READ desktopLost NOTIFY desktopLostChanged)
    Q_PROPERTY(QStringList devicesInControl READ devicesInControl NOTIFY devicesInControlChanged)

public:
    static constexpr quint16 kDefaultPort = 9000;
    static constexpr int kLowestPort = 1024;
    static constexpr int kHighestPort = 49151;

    /// Loads the settings from `preferences` and installs its receiver in `manager`.
    AppState(Preferences& preferences, KeychainPSK& keys, const PortCheck& ports,
             ServerProcessManager& manager, Alerts* alerts, QObject* parent = nullptr);
    /// On the application's shared services.
    explicit AppState(Alerts* alerts, QObject* parent = nullptr);

    /// The second instance, used by the settings window opened from the popover and by the
    /// quit sequence; created on first use.
    static AppState& shared();
    /// The alerts `shared()` is created with; set by the application before first use.
    static void setSharedAlerts(Alerts* alerts);
    /// The launch-at-login handler `shared()` is created with.
    static void setSharedLaunchAtLoginHandler(std::function<void(bool)> handler);

    quint16 port() const { return m_port; }
    HostAdvertiseMode hostMode() const { return m_hostMode; }
    int hostModeRaw() const { return rawValue(m_hostMode); }
    bool bonjourEnabled() const { return m_bonjourEnabled; }
    bool autoLaunch() const { return m_autoLaunch; }
    /// The browser remote: whether the relay serves the page while the daemon runs, and on
    /// which port.
    bool webRemote() const { return m_webRemote; }
    quint16 webPort() const { return m_webPort; }
    bool running() const { return m_running; }
    QString maskedPSK() const { return m_maskedPSK; }
    qint64 connectedClients() const { return m_connectedClients; }
    double moveFPS() const { return m_moveFPS; }
    double scrollFPS() const { return m_scrollFPS; }
    QString lastLog() const { return m_lastLog; }
    /// How the daemon reaches the desktop: as it last said, or before that as this session's
    /// environment suggests.
    InputRoute inputRoute() const { return m_inputRoute; }
    int inputRouteRaw() const { return static_cast<int>(m_inputRoute); }
    /// The route's desktop is gone for now (a compositor restart): input resumes by itself.
    bool desktopLost() const { return m_desktopLost; }
    /// The paired devices as last read from the store (every change through this model, or
    /// another model on the same manager, reads them again).
    const QList<Device>& devices() const { return m_devices; }
    /// The names of the devices in control now (each once, in the list's order).
    QStringList devicesInControl() const { return m_devicesInControl; }
    /// The device whose codes the pairing sheet shows: the one added last, else the first.
    QString pairingDevice() const;
    void setPairingDevice(const QString& name) { m_pairingDevice = name; }
    DeviceList& deviceList() { return m_deviceList; }
    /// \brief Device changes, each stored and handed to a running daemon at once (a removed
    /// device's sessions end). The message for the user when it failed, else empty.
    QString addDevice(const QString& name = {});
    QString renameDevice(const QString& from, const QString& to);
    QString removeDevice(const QString& name);
    /// \brief A new key for the device being paired (its old one opens nothing afterwards).
    QString regenerateKey();
    /// \brief A browser's first connection named its device, if the user has not (`key`: the
    /// key its HELLO proved).
    void nameDeviceAutomatically(const QString& key, const QString& name);
    /// \brief Reads the list from the store again.
    void refreshDevices();
    /// \brief The route a daemon started in this environment is likely to take (Linux: by
    /// WAYLAND_DISPLAY, XDG_CURRENT_DESKTOP and DISPLAY); unknown where it cannot be told.
    static InputRoute expectedInputRoute();

    void setPort(quint16 port);
    void setHostMode(HostAdvertiseMode mode);
    void setHostModeRaw(int raw);
    void setBonjourEnabled(bool enabled);
    void setAutoLaunch(bool enabled);
    void setWebRemote(bool enabled);
    void setWebPort(quint16 port);
    /// The daemon reports its move and scroll rates once a second (a terminal shows them);
    /// otherwise only the diagnostics setting asks for them.
    void setRatesReported(bool reported) { m_ratesReported = reported; }
    /// Shows the key store's masked text again (after the key was regenerated).
    void refreshMaskedPSK();

    /// \brief The key of the device being paired; when there is no device, "Phone 1" made and
    /// stored first. Nothing, after a critical alert through \a alerts (when given), when no
    /// key can be made or the store does not keep it (a key that only this process knows could
    /// never be paired), or when the single key of an earlier version is not 64 hexadecimal
    /// digits.
    std::optional<QString> ensureKey(Alerts* alerts);

    /// Writes the stored settings.
    void save();
    /// Starts the daemon unless it runs: port checks, stale daemon, key, process start.
    void start();
    /// Saves, and restarts the daemon when it runs.
    void applySettings();
    /// \brief An edit of the settings form is done: saves at once and, when the running daemon
    /// no longer matches the settings (port, advertising), restarts it through the same path
    /// as `applySettings`, so that the views and the pairing code show where it listens.
    void commitSettings();
    void applyState(const ServerState& state);
    /// \brief Makes sure the browser remote's port can be had beside a daemon on
    /// `daemonPort`: when it is taken (or is the daemon's), the person is asked for another,
    /// as for the daemon's port. False when no port was chosen.
    bool settleWebPort(quint16 daemonPort);
    /// A port chosen in a conflict dialog, and a switch that a cancelled one turned off, are
    /// stored at once (the tray); the headless command's settings hold for its run only.
    void setChoicesStored(bool stored) { m_choicesStored = stored; }

    /// Called by `save` with the launch-at-login choice, for a platform mechanism that honours
    /// it (the tray application installs one; the headless command does not).
    void setLaunchAtLoginHandler(std::function<void(bool enabled)> handler) {
        m_launchAtLogin = std::move(handler);
    }

    /// The services this model works with; views use the same ones for their own operations
    /// (key regeneration, port checks, stopping the daemon) so that model and view agree.
    KeychainPSK& keyStore() const { return m_keys; }
    const PortCheck& portCheck() const { return m_ports; }
    Alerts* alerts() const { return m_alerts; }
    ServerProcessManager& processManager() const { return m_manager; }

    /// A stored port as the settings load it: integers clamped to 1024..49151, else
    /// `fallback`.
    static quint16 loadedPort(const QVariant& stored, quint16 fallback = kDefaultPort);

signals:
    void portChanged();
    void hostModeChanged();
    void bonjourEnabledChanged();
    void autoLaunchChanged();
    void webRemoteChanged();
    void webPortChanged();
    void runningChanged();
    void maskedPSKChanged();
    void connectedClientsChanged();
    void moveFPSChanged();
    void scrollFPSChanged();
    void lastLogChanged();
    void inputRouteChanged();
    void desktopLostChanged();
    void devicesChanged();
    void devicesInControlChanged();

private:
    void loadSettings();
    void setAsideBadSettings(const QStringList& problems);
    void restartIfRunning();
    void followWebRelay(bool apply);
    /// The daemon's port can be had: a stale daemon of ours on it is ended, another holder
    /// makes the person choose another port. False when they cancel.
    bool settleDaemonPort();
    void storeChoice(const QString& key, const QVariant& value);
    void installStateReceiver();
    void setRunning(bool running);
    QString changed(const DeviceList::Change& change);
    void showInControl();
    template <typename T>
    void assign(T& field, const T& value, void (AppState::*changed)());

    Preferences& m_preferences;
    KeychainPSK& m_keys;
    DeviceList m_deviceList;
    const PortCheck& m_ports;
    ServerProcessManager& m_manager;
    Alerts* m_alerts;

    std::function<void(bool)> m_launchAtLogin;

    quint16 m_port = kDefaultPort;
    HostAdvertiseMode m_hostMode = HostAdvertiseMode::bonjourLocalName;
    bool m_bonjourEnabled = true;
    bool m_autoLaunch = false;
    bool m_webRemote = false;
    bool m_ratesReported = false;
    bool m_choicesStored = true;
    quint16 m_webPort = 9001;
    bool m_running = false;
    QString m_maskedPSK;
    qint64 m_connectedClients = 0;
    double m_moveFPS = 0;
    double m_scrollFPS = 0;
    QString m_lastLog;
    InputRoute m_inputRoute = expectedInputRoute();
    bool m_desktopLost = false;
    QList<Device> m_devices;
    QString m_pairingDevice;
    QMap<QString, int> m_inControl; ///< as the daemon names them
    int m_keysReloads = 0;
    QStringList m_devicesInControl;
};

} // namespace pointrelay::app
