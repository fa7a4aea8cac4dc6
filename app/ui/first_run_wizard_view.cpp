// SPDX-License-Identifier: MIT
#include "first_run_wizard_view.h"

#include "model/alerts.h"
#include "model/app_state.h"
#include "model/keychain_psk.h"
#include "platform_texts.h"
#include "qr_sheet.h"
#include "settings_actions.h"
#include "text_styles.h"
#include "wizard_window.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace pointrelay::app {

Q_LOGGING_CATEGORY(lcWizard, "pointrelay.app.wizard")

namespace {

QPushButton* button(const QString& title, const QString& name, QWidget* parent) {
    auto* result = new QPushButton(title, parent);
    result->setObjectName(name);
    return result;
}

QVBoxLayout* pageLayout(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(16);
    return layout;
}

QLabel* footnote(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setFont(textStyleFont(TextStyle::footnote));
    useSecondaryTextColor(label);
    return label;
}

} // namespace

FirstRunWizardView::FirstRunWizardView(AppState& state, Alerts& alerts, QWidget* parent)
    : QWidget(parent), m_state(state), m_alerts(alerts), m_pages(new QStackedWidget(this)),
      m_port(new QLabel(this)), m_maskedKey(new QLabel(this)),
      m_back(button(tr("戻る"), "backButton", this)),
      m_next(button(tr("次へ"), "nextButton", this)),
      m_finish(button(tr("完了"), "finishButton", this)),
      m_start(button(tr("開始"), "startButton", this)),
      m_startOnReturn(new QShortcut(QKeySequence(Qt::Key_Return), this)),
      m_startOnEnter(new QShortcut(QKeySequence(Qt::Key_Enter), this)) {
    setObjectName(QStringLiteral("wizardView"));
    setFixedSize(kSize);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(16);

    auto* heading = new QLabel(tr("Pointrelay 初回セットアップ"), this);
    QFont headingFont = textStyleFont(TextStyle::title2);
    headingFont.setBold(true);
    heading->setFont(headingFont);
    column->addWidget(heading);

    // Page 1: what the desktop needs for input (the accessibility permission on macOS, the
    // input route elsewhere).
    auto* permission = new QWidget(m_pages);
    auto* permissionColumn = pageLayout(permission);
    permissionColumn->addWidget(new QLabel(PlatformTexts::permissionStep(), permission));
    m_permissionNote = footnote(QString(), permission);
    m_permissionNote->setObjectName(QStringLiteral("permissionNote"));
    permissionColumn->addWidget(m_permissionNote);
    auto* accessibility =
        button(tr("アクセシビリティ設定を開く"), "accessibilityButton", permission);
    accessibility->setVisible(PlatformTexts::hasAccessibilitySettings());
    permissionColumn->addWidget(accessibility, 0, Qt::AlignLeft);
    permissionColumn->addStretch();
    m_pages->addWidget(permission);

    // Page 2: port and key.
    auto* settings = new QWidget(m_pages);
    auto* settingsColumn = pageLayout(settings);
    settingsColumn->addWidget(new QLabel(tr("2) 接続ポートと PSK を確認してください。"), settings));
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(new QLabel(tr("Port:"), settings));
    m_port->setObjectName(QStringLiteral("portValueLabel"));
    m_port->setFont(textStyleFont(TextStyle::body, true));
    portRow->addWidget(m_port);
    auto* portCheck = button(tr("重複チェック"), "portCheckButton", settings);
    portRow->addWidget(portCheck);
    portRow->addStretch();
    settingsColumn->addLayout(portRow);
    auto* keyRow = new QHBoxLayout;
    keyRow->addWidget(new QLabel(tr("PSK（ヒント）:"), settings));
    m_maskedKey->setObjectName(QStringLiteral("maskedPSKLabel"));
    m_maskedKey->setFont(textStyleFont(TextStyle::body, true));
    keyRow->addWidget(m_maskedKey);
    auto* regenerate = button(tr("再生成"), "regenerateButton", settings);
    keyRow->addWidget(regenerate);
    keyRow->addStretch();
    settingsColumn->addLayout(keyRow);
    settingsColumn->addStretch();
    m_pages->addWidget(settings);

    // Page 3: the pairing code.
    auto* pairing = new QWidget(m_pages);
    auto* pairingColumn = pageLayout(pairing);
    pairingColumn->addWidget(new QLabel(PlatformTexts::scanStep(), pairing));
    auto* showQR = button(tr("QR を表示"), "showQRButton", pairing);
    pairingColumn->addWidget(showQR, 0, Qt::AlignLeft);
    pairingColumn->addStretch();
    m_pages->addWidget(pairing);

    m_pages->setObjectName(QStringLiteral("wizardPages"));
    column->addWidget(m_pages);
    column->addStretch();

    auto* footer = new QHBoxLayout;
    footer->addWidget(m_back);
    footer->addStretch();
    footer->addWidget(m_next);
    footer->addWidget(m_finish);
    footer->addWidget(m_start);
    m_start->setDefault(true); // a new user leaves the wizard serving
    column->addLayout(footer);

    connect(m_back, &QPushButton::clicked, this, [this] { setStep(std::max(0, m_step - 1)); });
    connect(m_next, &QPushButton::clicked, this, [this] { setStep(m_step + 1); });
    connect(m_finish, &QPushButton::clicked, this, [] { WizardWindow::finish(); });
    connect(m_start, &QPushButton::clicked, this, [this] {
        m_state.start(); // nothing when it runs; a refused port or key keeps the wizard open
        if (m_state.running())
            WizardWindow::finish();
    });
    for (QShortcut* shortcut : {m_startOnReturn, m_startOnEnter})
        connect(shortcut, &QShortcut::activated, m_start, &QPushButton::click);
    connect(accessibility, &QPushButton::clicked, this, [] { openAccessibilitySettings(); });
    connect(portCheck, &QPushButton::clicked, this, &FirstRunWizardView::checkPortAvailability);
    connect(regenerate, &QPushButton::clicked, this, &FirstRunWizardView::regenerateKey);
    connect(showQR, &QPushButton::clicked, this, &FirstRunWizardView::openQRWindow);

    connect(&m_state, &AppState::portChanged, this,
            [this] { m_port->setText(QString::number(m_state.port())); });
    connect(&m_state, &AppState::devicesChanged, this, &FirstRunWizardView::showKey);
    const auto showRoute = [this] {
        m_permissionNote->setText(PlatformTexts::routeNote(
            m_state.inputRoute(), m_state.desktopLost(), PlatformTexts::Place::wizard));
    };
    connect(&m_state, &AppState::inputRouteChanged, this, showRoute);
    connect(&m_state, &AppState::desktopLostChanged, this, showRoute);
    showRoute();
    m_port->setText(QString::number(m_state.port()));
    setStep(0);
}

void FirstRunWizardView::setStep(int step) {
    m_step = step;
    const bool last = m_step >= 2;
    m_pages->setCurrentIndex(std::min(m_step, 2));
    m_back->setEnabled(m_step > 0);
    m_next->setVisible(!last);
    m_finish->setVisible(last);
    m_start->setVisible(last);
    m_startOnReturn->setEnabled(last);
    m_startOnEnter->setEnabled(last);
    if (m_step == 1)
        showKey(); // the key row reads the store whenever it is built
}

void FirstRunWizardView::showKey() {
    const QList<Device>& devices = m_state.devices();
    m_maskedKey->setText(
        KeychainPSK::mask(devices.isEmpty() ? std::nullopt : std::optional(devices.first().key)));
}

void FirstRunWizardView::checkPortAvailability() {
    app::checkPortAvailability(m_state, m_alerts, PortCheckTexts::fixed);
}

void FirstRunWizardView::regenerateKey() {
    // The first device's key; a running daemon takes the new one at once.
    if (!m_state.ensureKey(&m_alerts))
        return;
    const QString first = m_state.devices().first().name;
    m_state.setPairingDevice(first);
    if (const QString error = m_state.regenerateKey(); !error.isEmpty())
        m_alerts.critical(tr("鍵を再生成できませんでした"), error);
    showKey();
}

void FirstRunWizardView::openQRWindow() {
    QRSheet::showWindow(m_state);
}

} // namespace pointrelay::app
