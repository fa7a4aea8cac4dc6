// SPDX-License-Identifier: MIT
#include "settings_root_view.h"

#include "model/alerts.h"
#include "model/app_state.h"
#include "model/keychain_psk.h"
#include "platform_texts.h"
#include "qr_sheet.h"
#include "settings_actions.h"
#include "text_styles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <functional>

namespace pointrelay::app {
namespace {

// Whole numbers from 1024 to 49151 in plain digits (no signs of grouping, no fractions). Text
// that cannot be a port when editing ends is put back to the model's port, so the model keeps
// its value.
class PortValidator final : public QIntValidator {
public:
    /// `current` gives the port the field shows again when its text is no port.
    PortValidator(std::function<quint16()> current, QObject* parent)
        : QIntValidator(AppState::kLowestPort, AppState::kHighestPort, parent),
          m_current(std::move(current)) {
        QLocale plain = QLocale::c();
        plain.setNumberOptions(QLocale::RejectGroupSeparator);
        setLocale(plain);
    }
    void fixup(QString& input) const override { input = QString::number(m_current()); }

private:
    std::function<quint16()> m_current;
};

QPushButton* button(const QString& title, const QString& name, QWidget* parent) {
    auto* result = new QPushButton(title, parent);
    result->setObjectName(name);
    return result;
}

} // namespace

SettingsRootView::SettingsRootView(AppState& state, Alerts& alerts, QWidget* parent)
    : QWidget(parent), m_state(state), m_alerts(alerts), m_portField(new QLineEdit(this)),
      m_hostMode(new QComboBox(this)),
      m_bonjour(new QCheckBox(tr("Bonjourで広告（_pointrelay._tcp）"), this)),
      m_autoLaunch(new QCheckBox(tr("ログイン時に自動起動"), this)),
      m_webRemote(new QCheckBox(tr("ブラウザから操作"), this)), m_webPortField(new QLineEdit(this)),
      m_devices(new QTreeWidget(this)), m_keyStore(new QLabel(this)),
      m_startStop(button(QString(), "startStopButton", this)) {
    setObjectName(QStringLiteral("settingsRootView"));
    setMinimumWidth(kMinimumWidth);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(16, 16, 16, 16);

    // Connection.
    auto* connection = new QGroupBox(tr("接続"), this);
    auto* connectionForm = new QFormLayout(connection);
    connectionForm->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint); // as on the Mac
    auto* portRow = new QHBoxLayout;
    portRow->setSpacing(12);
    m_portField->setObjectName(QStringLiteral("portField"));
    m_portField->setFixedWidth(90);
    m_portField->setValidator(new PortValidator([this] { return m_state.port(); }, m_portField));
    auto* portCheck = button(tr("重複チェック"), "portCheckButton", this);
    portRow->addWidget(m_portField);
    portRow->addWidget(portCheck);
    portRow->addStretch();
    connectionForm->addRow(QStringLiteral("Port"), portRow);
    m_hostMode->setObjectName(QStringLiteral("hostModePicker"));
    m_hostMode->addItem(tr(".local名"), rawValue(HostAdvertiseMode::bonjourLocalName));
    m_hostMode->addItem(tr("IPv4アドレス"), rawValue(HostAdvertiseMode::ipv4Address));
    connectionForm->addRow(tr("Host（QRに含める）"), m_hostMode);
    m_bonjour->setObjectName(QStringLiteral("bonjourToggle"));
    m_autoLaunch->setObjectName(QStringLiteral("autoLaunchToggle"));
    connectionForm->addRow(m_bonjour);
    connectionForm->addRow(m_autoLaunch);
    outer->addWidget(connection);

    // The browser remote: any phone's browser, from the second QR code.
    auto* web = new QGroupBox(tr("ブラウザ"), this);
    auto* webColumn = new QVBoxLayout(web);
    auto* webRow = new QHBoxLayout;
    webRow->setSpacing(12);
    m_webRemote->setObjectName(QStringLiteral("webRemoteToggle"));
    m_webPortField->setObjectName(QStringLiteral("webPortField"));
    m_webPortField->setFixedWidth(90);
    m_webPortField->setValidator(
        new PortValidator([this] { return m_state.webPort(); }, m_webPortField));
    webRow->addWidget(m_webRemote);
    webRow->addWidget(new QLabel(QStringLiteral("Port"), this));
    webRow->addWidget(m_webPortField);
    webRow->addStretch();
    webColumn->addLayout(webRow);
    auto* webNote = new QLabel(tr("傍受や改ざんができる人のいるネットワークでは、HTTPのページが"
                                  "差し替えられるおそれがあります。"),
                               this);
    webNote->setObjectName(QStringLiteral("webRemoteNote"));
    webNote->setWordWrap(true);
    webNote->setFont(textStyleFont(TextStyle::footnote));
    useSecondaryTextColor(webNote);
    webColumn->addWidget(webNote);
    outer->addWidget(web);

    // Security.
    auto* security = new QGroupBox(PlatformTexts::securityHeader(), this);
    auto* securityColumn = new QVBoxLayout(security);
    // The paired devices, each with a key of its own: who is in control, and revoking one.
    m_devices->setObjectName(QStringLiteral("deviceList"));
    m_devices->setRootIsDecorated(false);
    m_devices->setHeaderLabels({tr("端末"), tr("最終接続"), tr("状態")});
    m_devices->setFixedHeight(96);
    securityColumn->addWidget(m_devices);
    auto* deviceButtons = new QHBoxLayout;
    auto* add = button(tr("追加…"), "addDeviceButton", this);
    auto* rename = button(tr("名前を変更…"), "renameDeviceButton", this);
    auto* remove = button(tr("削除"), "removeDeviceButton", this);
    auto* showQR = button(tr("QR表示"), "showQRButton", this);
    for (QPushButton* each : {add, rename, remove, showQR})
        deviceButtons->addWidget(each);
    deviceButtons->addStretch();
    securityColumn->addLayout(deviceButtons);
    // Where the key lives differs by desktop (keychain or owner-only file): say which.
    m_keyStore->setObjectName(QStringLiteral("keyStoreLabel"));
    m_keyStore->setFont(textStyleFont(TextStyle::footnote));
    useSecondaryTextColor(m_keyStore);
    securityColumn->addWidget(m_keyStore);
    auto* permission = new QVBoxLayout;
    permission->setSpacing(8);
    auto* note = new QLabel(this);
    note->setObjectName(QStringLiteral("permissionNote"));
    note->setWordWrap(true);
    note->setFont(textStyleFont(TextStyle::footnote));
    useSecondaryTextColor(note);
    permission->addWidget(note);
    auto* accessibility = button(tr("アクセシビリティ設定を開く"), "accessibilityButton", this);
    accessibility->setVisible(PlatformTexts::hasAccessibilitySettings());
    permission->addWidget(accessibility, 0, Qt::AlignLeft);
    securityColumn->addLayout(permission);
    outer->addWidget(security);

    // Daemon.
    auto* daemon = new QGroupBox(this);
    auto* daemonRow = new QHBoxLayout(daemon);
    daemonRow->addWidget(m_startStop);
    daemonRow->addStretch();
    outer->addWidget(daemon);
    outer->addStretch();

    connect(m_portField, &QLineEdit::editingFinished, this, &SettingsRootView::commitPortField);
    connect(portCheck, &QPushButton::clicked, this, &SettingsRootView::checkPortAvailability);
    // Every edit the user makes is saved at once (and applied to a running daemon). Only the
    // user's own actions commit: a view that follows the model must not save what it shows.
    connect(m_hostMode, &QComboBox::activated, this, [this] {
        m_state.setHostModeRaw(m_hostMode->currentData().toInt());
        m_state.commitSettings();
    });
    connect(m_bonjour, &QCheckBox::clicked, this, [this](bool on) {
        m_state.setBonjourEnabled(on);
        m_state.commitSettings();
    });
    connect(m_autoLaunch, &QCheckBox::clicked, this, [this](bool on) {
        m_state.setAutoLaunch(on);
        m_state.commitSettings();
    });
    connect(m_webRemote, &QCheckBox::clicked, this, [this](bool on) {
        m_state.setWebRemote(on);
        m_state.commitSettings();
    });
    connect(m_webPortField, &QLineEdit::editingFinished, this,
            &SettingsRootView::commitWebPortField);
    connect(add, &QPushButton::clicked, this, &SettingsRootView::addDevice);
    connect(rename, &QPushButton::clicked, this, &SettingsRootView::renameDevice);
    connect(remove, &QPushButton::clicked, this, &SettingsRootView::removeDevice);
    connect(showQR, &QPushButton::clicked, this, [this] {
        if (const QTreeWidgetItem* item = m_devices->currentItem())
            m_state.setPairingDevice(item->data(0, Qt::UserRole).toString());
        showQRSheet();
    });
    connect(accessibility, &QPushButton::clicked, this, [] { openAccessibilitySettings(); });
    connect(m_startStop, &QPushButton::clicked, this, [this] { startOrStopDaemon(m_state); });

    connect(&m_state, &AppState::portChanged, this, &SettingsRootView::showPort);
    connect(&m_state, &AppState::hostModeChanged, this, &SettingsRootView::showHostMode);
    connect(&m_state, &AppState::bonjourEnabledChanged, this,
            [this] { m_bonjour->setChecked(m_state.bonjourEnabled()); });
    connect(&m_state, &AppState::autoLaunchChanged, this,
            [this] { m_autoLaunch->setChecked(m_state.autoLaunch()); });
    connect(&m_state, &AppState::webRemoteChanged, this, &SettingsRootView::showWeb);
    connect(&m_state, &AppState::webPortChanged, this, &SettingsRootView::showWeb);
    connect(&m_state, &AppState::runningChanged, this, &SettingsRootView::showRunning);
    connect(&m_state, &AppState::devicesChanged, this, &SettingsRootView::showDevices);
    connect(&m_state, &AppState::devicesInControlChanged, this, &SettingsRootView::showDevices);
    const auto showRoute = [this, note] {
        note->setText(PlatformTexts::routeNote(m_state.inputRoute(), m_state.desktopLost(),
                                               PlatformTexts::Place::settings));
    };
    connect(&m_state, &AppState::inputRouteChanged, this, showRoute);
    connect(&m_state, &AppState::desktopLostChanged, this, showRoute);
    showRoute();

    showPort();
    showHostMode();
    m_bonjour->setChecked(m_state.bonjourEnabled());
    m_autoLaunch->setChecked(m_state.autoLaunch());
    showWeb();
    showRunning();
    showDevices();
    m_keyStore->setText(tr("保存先: %1").arg(m_state.keyStore().storeName()));
}

void SettingsRootView::commitPortField() {
    bool ok = false;
    const int value = m_portField->text().toInt(&ok);
    // The binding clamps once more, whatever reached it.
    const auto port =
        static_cast<quint16>(std::clamp(value, AppState::kLowestPort, AppState::kHighestPort));
    if (ok && port != m_state.port()) {
        m_state.setPort(port);
        m_state.commitSettings();
    }
    showPort(); // plain digits again ("+9000" or "09000" become "9000")
}

void SettingsRootView::commitWebPortField() {
    bool ok = false;
    const auto port = static_cast<quint16>(std::clamp(
        m_webPortField->text().toInt(&ok), AppState::kLowestPort, AppState::kHighestPort));
    if (ok && port != m_state.webPort()) {
        m_state.setWebPort(port);
        m_state.commitSettings();
    }
    showWeb();
}

void SettingsRootView::showWeb() {
    m_webRemote->setChecked(m_state.webRemote());
    const QString text = QString::number(m_state.webPort());
    if (m_webPortField->text() != text)
        m_webPortField->setText(text);
}

void SettingsRootView::showPort() {
    const QString text = QString::number(m_state.port());
    if (m_portField->text() != text)
        m_portField->setText(text);
}

void SettingsRootView::showHostMode() {
    m_hostMode->setCurrentIndex(m_hostMode->findData(m_state.hostModeRaw()));
}

void SettingsRootView::showRunning() {
    m_startStop->setText(m_state.running() ? QStringLiteral("Stop") : QStringLiteral("Start"));
}

void SettingsRootView::showDevices() {
    // The selection stays on its device, or on its row when the device was renamed or removed.
    const QString selected = selectedDevice();
    const int row = m_devices->indexOfTopLevelItem(m_devices->currentItem());
    m_devices->clear();
    for (const Device& device : m_state.devices()) {
        auto* item = new QTreeWidgetItem(
            m_devices,
            {DeviceList::displayName(device.name),
             device.lastSeen.isValid()
                 ? QLocale().toString(device.lastSeen.toLocalTime(), QLocale::ShortFormat)
                 : tr("未接続"),
             m_state.devicesInControl().contains(device.name) ? tr("接続中") : QString()});
        item->setData(0, Qt::UserRole, device.name);
        if (device.name == selected)
            m_devices->setCurrentItem(item);
    }
    if (!m_devices->currentItem()) // (no row: the item at -1 is none)
        m_devices->setCurrentItem(
            m_devices->topLevelItem(std::min(row, m_devices->topLevelItemCount() - 1)));
    m_devices->resizeColumnToContents(0);
    m_devices->resizeColumnToContents(1);
}

QString SettingsRootView::selectedDevice() const {
    const QTreeWidgetItem* item = m_devices->currentItem();
    return item ? item->data(0, Qt::UserRole).toString() : QString();
}

void SettingsRootView::checkPortAvailability() {
    app::checkPortAvailability(m_state, m_alerts, PortCheckTexts::translated);
}

void SettingsRootView::addDevice() {
    if (const QString error = m_state.addDevice(); !error.isEmpty()) {
        m_alerts.critical(tr("端末を追加できませんでした"), error);
        return;
    }
    showQRSheet(); // the new device's codes
}

void SettingsRootView::renameDevice() {
    const QString name = selectedDevice();
    if (name.isEmpty())
        return;
    bool ok = false;
    const QString to = QInputDialog::getText(this, tr("名前を変更"), tr("新しい名前:"),
                                             QLineEdit::Normal, name, &ok);
    if (!ok)
        return;
    if (const QString error = m_state.renameDevice(name, to); !error.isEmpty())
        m_alerts.critical(tr("名前を変更できませんでした"), error);
}

void SettingsRootView::removeDevice() {
    const QString name = selectedDevice();
    if (name.isEmpty() ||
        QMessageBox::question(this, tr("端末を削除"),
                              tr("「%1」を削除しますか？この端末の鍵では接続できなくなり、"
                                 "接続中なら切断されます。")
                                  .arg(DeviceList::displayName(name))) != QMessageBox::Yes)
        return;
    if (const QString error = m_state.removeDevice(name); !error.isEmpty())
        m_alerts.critical(tr("端末を削除できませんでした"), error);
}

void SettingsRootView::showQRSheet() {
    QRSheet::showSheet(m_state, this);
}

} // namespace pointrelay::app
