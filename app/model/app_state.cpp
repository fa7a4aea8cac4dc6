// SPDX-License-Identifier: MIT
#include "app_state.h"

#include "alerts.h"
#include "keychain_psk.h"
#include "port_check.h"
#include "preferences.h"
#include "server_process_manager.h"
#include "web_relay.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>
#include <algorithm>

namespace pointrelay::app {
namespace {

const QString kPortKey = QStringLiteral("port");
const QString kHostModeKey = QStringLiteral("hostMode");
const QString kBonjourKey = QStringLiteral("bonjourEnabled");
const QString kAutoLaunchKey = QStringLiteral("autoLaunch");
const QString kWebRemoteKey = QStringLiteral("webRemote");
const QString kWebPortKey = QStringLiteral("webPort");
const QString kDiagnosticsKey = QStringLiteral("pr.showDiagnostics");
constexpr auto kPortWait = std::chrono::duration<double>(1.0);
constexpr auto kStaleDaemonGrace = std::chrono::microseconds(200000);

Alerts*& sharedAlerts() {
    static Alerts* alerts = nullptr;
    return alerts;
}

std::function<void(bool)>& sharedLaunchAtLogin() {
    static std::function<void(bool)> handler;
    return handler;
}

bool isInteger(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return true;
    default:
        return false;
    }
}

QString unknownHolder() {
    return QCoreApplication::translate("AppState", "不明なプロセスが LISTEN 中");
}

// "KEY: what the file held ..., VALUE is used", for the one notice about a settings file.
QString unusable(const QString& key, const QVariant& stored, const QString& why,
                 const QString& used) {
    const QString held = stored.typeId() == QMetaType::QString
                             ? QStringLiteral("\"%1\"").arg(stored.toString())
                             : stored.toString();
    return QCoreApplication::translate("AppState", "%1: %2 %3。%4 を使います。")
        .arg(key, held, why, used);
}

} // namespace

quint16 AppState::loadedPort(const QVariant& stored, quint16 fallback) {
    if (!isInteger(stored))
        return fallback;
    return static_cast<quint16>(std::clamp<qint64>(stored.toLongLong(), kLowestPort, kHighestPort));
}

AppState::AppState(Preferences& preferences, KeychainPSK& keys, const PortCheck& ports,
                   ServerProcessManager& manager, Alerts* alerts, QObject* parent)
    : QObject(parent), m_preferences(preferences), m_keys(keys), m_deviceList(keys, alerts),
      m_ports(ports), m_manager(manager), m_alerts(alerts) {
    loadSettings();
    refreshDevices();
    installStateReceiver();
    // Every model on the manager shows the same devices, and stamps each arrival once.
    connect(&m_manager, &ServerProcessManager::keysReloaded, this, &AppState::refreshDevices);
    connect(&m_manager, &ServerProcessManager::deviceSeen, this, [this](const QString& name) {
        // Only a timestamp: a store that fails to keep it costs nothing else.
        if (m_running && m_deviceList.markSeen(name, QDateTime::currentDateTimeUtc()))
            refreshDevices();
    });
    // The popup's model and the settings window's model show the same stored settings: what
    // one saves, the other loads.
    connect(&m_preferences, &Preferences::saved, this, [this](const QObject* writer) {
        if (writer != this)
            loadSettings();
    });
    connect(&WebRelay::shared(), &WebRelay::helloSent, this,
            [this](const QByteArray& hello, const QString& userAgent) {
                const auto key = DeviceList::keyProvedBy(hello, m_devices);
                const auto name = DeviceList::nameForUserAgent(userAgent);
                if (key && name)
                    nameDeviceAutomatically(*key, *name);
            });
    // The relay serves while the daemon runs, and relays to where it listens.
    connect(this, &AppState::runningChanged, this, [this] { followWebRelay(false); });
    connect(this, &AppState::portChanged, this, [this] { followWebRelay(false); });
}

void AppState::loadSettings() {
    QStringList problems; // what the file held that is not used as it stands
    const auto port = [&](const QString& key, quint16 fallback) {
        const QVariant stored = m_preferences.value(key);
        const quint16 used = loadedPort(stored, fallback);
        if (stored.isValid() && (!isInteger(stored) || stored.toLongLong() != used))
            problems << unusable(
                key, stored,
                isInteger(stored)
                    ? QCoreApplication::translate("AppState", "は %1〜%2 の外です")
                          .arg(kLowestPort)
                          .arg(kHighestPort)
                    : QCoreApplication::translate("AppState", "はポート番号ではありません"),
                QString::number(used));
        return used;
    };
    const auto flag = [&](const QString& key, bool fallback) {
        const QVariant stored = m_preferences.value(key);
        if (stored.typeId() == QMetaType::Bool)
            return stored.toBool();
        if (stored.isValid())
            problems << unusable(
                key, stored,
                QCoreApplication::translate("AppState", "は true か false ではありません"),
                fallback ? QStringLiteral("true") : QStringLiteral("false"));
        return fallback;
    };
    setPort(port(kPortKey, kDefaultPort));
    const QVariant mode = m_preferences.value(kHostModeKey);
    const auto known = isInteger(mode) ? hostAdvertiseModeFromRaw(mode.toLongLong()) : std::nullopt;
    setHostMode(known.value_or(HostAdvertiseMode::bonjourLocalName));
    if (mode.isValid() && !known)
        problems << unusable(
            kHostModeKey, mode,
            QCoreApplication::translate("AppState", "はホストの示し方ではありません"),
            QString::number(rawValue(HostAdvertiseMode::bonjourLocalName)));
    setBonjourEnabled(flag(kBonjourKey, true));
    setAutoLaunch(flag(kAutoLaunchKey, false));
    setWebRemote(flag(kWebRemoteKey, false));
    setWebPort(port(kWebPortKey, WebRelay::kDefaultPort));
    if (!m_preferences.readable() || !problems.isEmpty())
        setAsideBadSettings(problems);
}

void AppState::setAsideBadSettings(const QStringList& problems) {
    // Said once: the bad file is kept beside the settings as ".bad", and what is used instead
    // is written in its place.
    const QString file = m_preferences.fileName(), bad = file + QStringLiteral(".bad");
    const bool kept = m_preferences.setAside(bad);
    save();
    if (m_alerts)
        m_alerts->information(
            QCoreApplication::translate("AppState", "設定ファイルに使えない値がありました"),
            (problems.isEmpty() ? QCoreApplication::translate(
                                      "AppState", "%1 は JSON のオブジェクトではありません。"
                                                  "既定の設定を使います。")
                                      .arg(file)
                                : problems.join(u'\n')) +
                u'\n' +
                (kept ? QCoreApplication::translate("AppState", "元のファイルは %1 に残しました。")
                            .arg(bad)
                      : QCoreApplication::translate("AppState",
                                                    "元のファイルを %1 に残せませんでした。")
                            .arg(bad)));
}

AppState::AppState(Alerts* alerts, QObject* parent)
    : AppState(Preferences::standard(), KeychainPSK::shared(), PortCheck::shared(),
               ServerProcessManager::shared(), alerts, parent) {}

void AppState::setSharedAlerts(Alerts* alerts) {
    sharedAlerts() = alerts;
}

void AppState::setSharedLaunchAtLoginHandler(std::function<void(bool)> handler) {
    sharedLaunchAtLogin() = std::move(handler);
}

AppState& AppState::shared() {
    static AppState* instance = [] {
        auto* state = new AppState(sharedAlerts()); // lives as long as the process
        state->setLaunchAtLoginHandler(sharedLaunchAtLogin());
        return state;
    }();
    return *instance;
}

template <typename T>
void AppState::assign(T& field, const T& value, void (AppState::*changed)()) {
    if (field == value)
        return;
    field = value;
    emit(this->*changed)();
}

void AppState::setPort(quint16 port) {
    assign(m_port, port, &AppState::portChanged);
}
void AppState::setHostMode(HostAdvertiseMode mode) {
    assign(m_hostMode, mode, &AppState::hostModeChanged);
}
void AppState::setHostModeRaw(int raw) {
    if (const auto mode = hostAdvertiseModeFromRaw(raw))
        setHostMode(*mode);
}
void AppState::setBonjourEnabled(bool enabled) {
    assign(m_bonjourEnabled, enabled, &AppState::bonjourEnabledChanged);
}
void AppState::setAutoLaunch(bool enabled) {
    assign(m_autoLaunch, enabled, &AppState::autoLaunchChanged);
}
void AppState::setWebRemote(bool enabled) {
    assign(m_webRemote, enabled, &AppState::webRemoteChanged);
}
void AppState::setWebPort(quint16 port) {
    assign(m_webPort, port, &AppState::webPortChanged);
}
void AppState::setRunning(bool running) {
    assign(m_running, running, &AppState::runningChanged);
}
void AppState::refreshMaskedPSK() {
    const QString name = pairingDevice();
    const auto device = std::ranges::find(m_devices, name, &Device::name);
    assign(m_maskedPSK,
           KeychainPSK::mask(device == m_devices.end() ? std::nullopt : std::optional(device->key)),
           &AppState::maskedPSKChanged);
}

void AppState::refreshDevices() {
    if (std::optional<QList<Device>> devices = m_deviceList.load())
        assign(m_devices, *devices, &AppState::devicesChanged);
    refreshMaskedPSK();
    showInControl();
}

QString AppState::pairingDevice() const {
    const bool listed =
        std::ranges::find(m_devices, m_pairingDevice, &Device::name) != m_devices.end();
    return listed || m_devices.isEmpty() ? m_pairingDevice : m_devices.first().name;
}

// After a change: the list read again, and a running daemon (this model's or another's) given
// the new keys at once.
QString AppState::changed(const DeviceList::Change& change) {
    if (!change.ok())
        return change.error;
    refreshDevices();
    m_manager.reloadKeys(DeviceList::keysFileText(m_devices));
    return {};
}

QString AppState::addDevice(const QString& name) {
    const DeviceList::Change change = m_deviceList.add(name);
    if (change.ok())
        m_pairingDevice = change.device.name;
    return changed(change);
}

QString AppState::renameDevice(const QString& from, const QString& to) {
    const DeviceList::Change change = m_deviceList.rename(from, to);
    if (change.ok() && m_pairingDevice == from)
        m_pairingDevice = change.device.name;
    return changed(change);
}

QString AppState::removeDevice(const QString& name) {
    return changed(m_deviceList.remove(name));
}

QString AppState::regenerateKey() {
    return changed(m_deviceList.regenerate(pairingDevice()));
}

void AppState::nameDeviceAutomatically(const QString& key, const QString& name) {
    const auto before = std::ranges::find(m_devices, key, &Device::key);
    const DeviceList::Change change = m_deviceList.nameAutomatically(key, name);
    if (change.ok() && before != m_devices.end() && before->name == m_pairingDevice)
        m_pairingDevice = change.device.name;
    changed(change);
}

void AppState::showInControl() {
    QStringList names;
    for (const Device& device : m_devices)
        if (m_inControl.contains(DeviceList::logName(device.name)))
            names << device.name;
    assign(m_devicesInControl, names, &AppState::devicesInControlChanged);
}

void AppState::installStateReceiver() {
    // The manager calls observers on the GUI thread already; the receiver defers once more so
    // a report never runs inside the operation that caused it. Both the observer and the
    // deferred call go with this object.
    m_manager.observe(this, [this](const ServerState& state) {
        QTimer::singleShot(0, this, [this, state] { applyState(state); });
    });
}

void AppState::save() {
    m_preferences.setValue(kPortKey, static_cast<qint64>(m_port));
    m_preferences.setValue(kHostModeKey, static_cast<qint64>(rawValue(m_hostMode)));
    m_preferences.setValue(kBonjourKey, m_bonjourEnabled);
    m_preferences.setValue(kAutoLaunchKey, m_autoLaunch);
    m_preferences.setValue(kWebRemoteKey, m_webRemote);
    m_preferences.setValue(kWebPortKey, static_cast<qint64>(m_webPort));
    m_preferences.sync();
    if (m_launchAtLogin)
        m_launchAtLogin(m_autoLaunch);
    m_preferences.announceSaved(this);
}

void AppState::applySettings() {
    save();
    restartIfRunning();
}

void AppState::commitSettings() {
    // A port that cannot be had, and no other chosen, leaves the daemon serving where it does.
    const ServerState before = m_manager.state();
    if (before.running && before.port != m_port && !settleDaemonPort())
        setPort(before.port);
    save();
    const ServerState daemon = m_manager.state();
    if (daemon.running && (daemon.port != m_port || daemon.advertised != m_bonjourEnabled))
        restartIfRunning();
    followWebRelay(true);
}

// The relay serves while the daemon runs (as its manager knows, not as the last report said)
// and the switch is on. A relay already serving is adopted with its port, whichever model
// started it, unless `apply`ing this model's settings. A port that is taken (or is the
// daemon's) is handled as the daemon's is: the person picks another one for this run, or the
// relay stays off.
void AppState::followWebRelay(bool apply) {
    WebRelay& relay = WebRelay::shared();
    const ServerState daemon = m_manager.state();
    if (!daemon.running || !m_webRemote) {
        relay.follow(false, m_webPort, daemon.port);
        return;
    }
    if (relay.isListening() && relay.daemonPort() == daemon.port &&
        (!apply || relay.port() == m_webPort)) {
        setWebPort(relay.port());
        return;
    }
    relay.close();
    if (!settleWebPort(daemon.port)) {
        // Cancelled: the page is not served, and the switch says so (nothing asks again).
        setWebRemote(false);
        storeChoice(kWebRemoteKey, false);
        return;
    }
    if (!relay.follow(true, m_webPort, daemon.port) && m_alerts)
        m_alerts->critical(
            QCoreApplication::translate("AppState", "ブラウザ用のポート %1 を開けませんでした")
                .arg(m_webPort),
            QCoreApplication::translate("AppState", "ブラウザからの操作は使えません。"));
}

bool AppState::settleWebPort(quint16 daemonPort) {
    if (m_webPort != daemonPort && m_ports.canBindPort(m_webPort))
        return true;
    const QString holder = m_webPort == daemonPort
                               ? QStringLiteral("pointrelayd")
                               : m_ports.describeHolder(m_webPort, unknownHolder());
    QList<quint16> suggestions = m_ports.suggestFreePorts(m_webPort, 4);
    suggestions.removeAll(daemonPort);
    const std::optional<quint16> chosen =
        m_alerts
            ? m_alerts->askAlternativePort(m_webPort, holder, suggestions.mid(0, 3), PortUse::web)
            : std::nullopt;
    if (!chosen || *chosen == daemonPort)
        return false;
    setWebPort(*chosen);
    storeChoice(kWebPortKey, static_cast<qint64>(*chosen));
    return true;
}

bool AppState::settleDaemonPort() {
    const quint16 p = m_port;
    if (m_ports.canBindPort(p) ||
        (m_ports.killStaleDaemon(p, kStaleDaemonGrace) && m_ports.canBindPort(p)))
        return true;
    const QString holder = m_ports.describeHolder(p, unknownHolder());
    QList<quint16> suggestions = m_ports.suggestFreePorts(p, 4);
    if (m_webRemote)
        suggestions.removeAll(m_webPort); // the page's, when it is served
    const std::optional<quint16> chosen =
        m_alerts ? m_alerts->askAlternativePort(p, holder, suggestions.mid(0, 3), PortUse::daemon)
                 : std::nullopt;
    if (!chosen)
        return false;
    setPort(*chosen);
    storeChoice(kPortKey, static_cast<qint64>(*chosen));
    return true;
}

void AppState::storeChoice(const QString& key, const QVariant& value) {
    if (!m_choicesStored)
        return;
    m_preferences.setValue(key, value);
    m_preferences.sync();
    m_preferences.announceSaved(this);
}

void AppState::restartIfRunning() {
    if (!m_running && !m_manager.state().running)
        return;
    m_manager.stop();
    setRunning(false);
    m_ports.waitForPortFree(m_port, kPortWait);
    start();
}

void AppState::start() {
    if (m_running)
        return;
    setPort(static_cast<quint16>(std::clamp<int>(m_port, kLowestPort, kHighestPort)));
    const bool diagnostics = m_preferences.value(kDiagnosticsKey).toBool();
    m_ports.waitForPortFree(m_port, kPortWait);
    if (!settleDaemonPort())
        return;

    if (!ensureKey(m_alerts))
        return;
    installStateReceiver();
    m_manager.start(m_port, DeviceList::keysFileText(m_devices), m_bonjourEnabled,
                    diagnostics || m_ratesReported ? 1000 : 0);
    setRunning(true);
}

std::optional<QString> AppState::ensureKey(Alerts* alerts) {
    refreshDevices();
    if (!m_devices.isEmpty())
        return std::ranges::find(m_devices, pairingDevice(), &Device::name)->key;
    if (!m_deviceList.load()) {
        if (alerts)
            alerts->critical(
                QCoreApplication::translate("AppState", "端末の一覧を読めません"),
                QCoreApplication::translate("AppState", "保存先: %1").arg(m_deviceList.location()));
        return std::nullopt;
    }
    // A single key of an earlier version that this system did not make (a key file cut short or
    // written by hand) is refused, never served and never replaced: the user decides what
    // becomes of it. (A well-formed one became the first device.)
    if (std::optional<QString> stored = m_keys.load(); stored && !stored->isEmpty()) {
        if (alerts)
            alerts->critical(QStringLiteral("保存されている鍵を使えません"),
                             QStringLiteral("%1 の鍵が 64 桁の 16 進数ではありません。"
                                            "削除するか、設定で鍵を再生成してください。")
                                 .arg(m_keys.location()));
        return std::nullopt;
    }
    const DeviceList::Change made = m_deviceList.add();
    if (!made.ok()) {
        if (alerts)
            alerts->critical(QStringLiteral("鍵を保存できませんでした"),
                             made.error + QStringLiteral("\n保存先: %1").arg(m_keys.storeName()));
        return std::nullopt;
    }
    refreshDevices();
    return made.device.key;
}

void AppState::applyState(const ServerState& state) {
    setRunning(state.running);
    // A running daemon listens where it was started, whichever model started it.
    if (state.running && state.port != 0)
        setPort(state.port);
    assign(m_connectedClients, state.connectedClients, &AppState::connectedClientsChanged);
    assign(m_moveFPS, state.moveFPS, &AppState::moveFPSChanged);
    assign(m_scrollFPS, state.scrollFPS, &AppState::scrollFPSChanged);
    assign(m_lastLog, state.lastLog, &AppState::lastLogChanged);
    if (state.inputRoute != InputRoute::unknown)
        assign(m_inputRoute, state.inputRoute, &AppState::inputRouteChanged);
    assign(m_desktopLost, state.desktopLost && state.running, &AppState::desktopLostChanged);
    m_inControl = state.inControl;
    // A reload may come from a change made elsewhere (`pointrelay devices remove`).
    if (std::exchange(m_keysReloads, state.keysReloads) != state.keysReloads)
        refreshDevices();
    showInControl();
}

InputRoute AppState::expectedInputRoute() {
#ifdef Q_OS_MACOS
    return InputRoute::unknown;
#else
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        const QString desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
        if (desktop.contains(QLatin1String("GNOME"), Qt::CaseInsensitive))
            return InputRoute::gnome;
        if (desktop.contains(QLatin1String("KDE"), Qt::CaseInsensitive))
            return InputRoute::kwin;
        if (desktop.contains(QLatin1String("sway"), Qt::CaseInsensitive))
            return InputRoute::wlroots;
        return InputRoute::unknown; // decided when the daemon starts
    }
    return qEnvironmentVariableIsEmpty("DISPLAY") ? InputRoute::none : InputRoute::x11;
#endif
}

} // namespace pointrelay::app
