// SPDX-License-Identifier: MIT
#include "status_popover_view.h"

#include "model/alerts.h"
#include "model/app_state.h"
#include "model/pairing.h"
#include "qr_sheet.h"
#include "settings_actions.h"
#include "settings_window_controller.h"
#include "text_styles.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace pointrelay::app {

Q_LOGGING_CATEGORY(lcPopover, "pointrelay.app.popover")

namespace {

// The running light: a filled circle, green while the daemon runs, red otherwise.
class StatusLight final : public QWidget {
public:
    static constexpr int kDiameter = 10;

    explicit StatusLight(QWidget* parent) : QWidget(parent) { setFixedSize(kDiameter, kDiameter); }
    void setOn(bool on) {
        m_on = on;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_on ? QColor(0x34, 0xc7, 0x59) : QColor(0xff, 0x3b, 0x30));
        painter.drawEllipse(rect());
    }

private:
    bool m_on = false;
};

QLabel* monospacedLabel(const QString& name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setFont(textStyleFont(TextStyle::body, true));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse); // the host is worth copying
    return label;
}

} // namespace

StatusPopoverView::StatusPopoverView(AppState& state, bool showDiagnostics, QWidget* parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint), m_state(state),
      m_showDiagnostics(showDiagnostics) {
    setObjectName(QStringLiteral("statusPopover"));
    setFixedWidth(kWidth);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(10);

    auto* statusRow = new QHBoxLayout;
    statusRow->setSpacing(8);
    auto* light = new StatusLight(this);
    light->setObjectName(QStringLiteral("statusIndicator"));
    m_indicator = light;
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("statusLabel"));
    QFont headline = textStyleFont(TextStyle::body);
    headline.setBold(true);
    m_status->setFont(headline);
    statusRow->addWidget(m_indicator, 0, Qt::AlignVCenter);
    statusRow->addWidget(m_status, 1, Qt::AlignVCenter);
    column->addLayout(statusRow);

    auto* info = new QVBoxLayout;
    info->setSpacing(4);
    m_host = monospacedLabel(QStringLiteral("hostLabel"), this);
    m_port = monospacedLabel(QStringLiteral("portLabel"), this);
    m_clients = monospacedLabel(QStringLiteral("clientsLabel"), this);
    info->addWidget(m_host);
    info->addWidget(m_port);
    info->addWidget(m_clients);
    m_control = new QLabel(this);
    m_control->setObjectName(QStringLiteral("controlLabel"));
    m_control->setWordWrap(true);
    // Its line is kept while hidden: a popup placed beside the tray icon must not grow over the
    // icon when someone takes control.
    QSizePolicy keep = m_control->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    m_control->setSizePolicy(keep);
    info->addWidget(m_control);
    if (m_showDiagnostics) {
        m_diagnostics = monospacedLabel(QStringLiteral("diagnosticsLabel"), this);
        info->addWidget(m_diagnostics);
    }
    column->addLayout(info);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    column->addWidget(divider);

    auto* buttons = new QHBoxLayout;
    m_startStop = new QPushButton(this);
    m_startStop->setObjectName(QStringLiteral("startStopButton"));
    auto* settings = new QPushButton(tr("設定…"), this);
    settings->setObjectName(QStringLiteral("settingsButton"));
    auto* quitButton = new QPushButton(tr("終了"), this);
    quitButton->setObjectName(QStringLiteral("quitButton"));
    // Qt's styles give push buttons a generous minimum width; three of them must share the
    // popup's fixed width instead of widening it.
    for (QPushButton* button : {m_startStop, settings, quitButton})
        button->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    buttons->addWidget(m_startStop);
    buttons->addWidget(settings);
    buttons->addStretch(1);
    buttons->addWidget(quitButton);
    auto* add = new QPushButton(tr("端末を追加…"), this);
    add->setObjectName(QStringLiteral("addDeviceButton"));
    column->addWidget(add, 0, Qt::AlignLeft);
    column->addLayout(buttons);

    connect(m_startStop, &QPushButton::clicked, this, [this] { startOrStopDaemon(m_state); });
    connect(settings, &QPushButton::clicked, this, &StatusPopoverView::openSettings);
    connect(quitButton, &QPushButton::clicked, this, &StatusPopoverView::quit);
    connect(add, &QPushButton::clicked, this, &StatusPopoverView::addDevice);

    for (auto changed : {&AppState::runningChanged, &AppState::portChanged,
                         &AppState::hostModeChanged, &AppState::connectedClientsChanged,
                         &AppState::moveFPSChanged, &AppState::scrollFPSChanged,
                         &AppState::desktopLostChanged, &AppState::devicesInControlChanged})
        connect(&m_state, changed, this, &StatusPopoverView::refresh);
    refresh();
    resize(kWidth, sizeHint().height()); // height from the content
}

void StatusPopoverView::refresh() {
    const bool running = m_state.running();
    static_cast<StatusLight*>(m_indicator)->setOn(running);
    m_status->setText(!running                ? tr("停止中")
                      : m_state.desktopLost() ? tr("稼働中（デスクトップに届きません）")
                                              : tr("稼働中"));
    m_host->setText(tr("Host: %1").arg(advertisedHost(m_state.hostMode())));
    // Plain digits: a port is a name and a client count is small; neither is grouped.
    m_port->setText(tr("Port: %1").arg(QString::number(m_state.port())));
    m_clients->setText(tr("Clients: %1").arg(QString::number(m_state.connectedClients())));
    if (m_diagnostics)
        m_diagnostics->setText(QString::asprintf("Move: %.1f fps  Scroll: %.1f fps",
                                                 m_state.moveFPS(), m_state.scrollFPS()));
    m_startStop->setText(running ? tr("Stop") : tr("Start"));
    QStringList inControl;
    for (const QString& name : m_state.devicesInControl())
        inControl << DeviceList::displayName(name);
    m_control->setText(tr("操作中: %1").arg(inControl.join(tr("、"))));
    m_control->setVisible(!inControl.isEmpty());
}

void StatusPopoverView::addDevice() {
    if (const QString error = m_state.addDevice(); !error.isEmpty()) {
        if (m_state.alerts())
            m_state.alerts()->critical(tr("端末を追加できませんでした"), error);
        return;
    }
    close();
    QRSheet::showWindow(m_state); // the new device's codes
}

void StatusPopoverView::openSettings() {
    SettingsWindowController::shared().showWindow();
}

void StatusPopoverView::quit() {
    if (m_state.running())
        startOrStopDaemon(m_state); // the stop branch: stop, show it stopped, wait for the port
    emit quitRequested();
}

void StatusPopoverView::paintEvent(QPaintEvent*) {
    // A frameless popup has no edge of its own; without one it melts into a light desktop.
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void StatusPopoverView::mousePressEvent(QMouseEvent* event) {
    const QPoint global = event->globalPosition().toPoint();
    if (!rect().contains(event->position().toPoint()) && m_anchor.contains(global)) {
        qCDebug(lcPopover) << "closed by a click on the tray icon";
        setAttribute(Qt::WA_NoMouseReplay);
    }
    QWidget::mousePressEvent(event);
}

} // namespace pointrelay::app
