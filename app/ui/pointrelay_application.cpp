// SPDX-License-Identifier: MIT
#include "pointrelay_application.h"

#include "model/translation.h"

#include "message_box_alerts.h"
#include "model/app_state.h"
#include "model/keychain_psk.h"
#include "model/login_item.h"
#include "model/port_check.h"
#include "model/preferences.h"
#include "model/server_process_manager.h"
#include "settings_root_view.h"
#include "settings_window_controller.h"
#include "status_popover_view.h"
#include "wizard_window.h"

#include <QApplication>
#include <QCursor>
#include <QLoggingCategory>
#include <QPainter>
#include <QScreen>
#include <QSvgRenderer>
#include <QSystemTrayIcon>
#include <algorithm>

// The resources live in a static library: nothing would pull them into the program without an
// explicit reference. Q_INIT_RESOURCE must stand outside any namespace.
static void initPointrelayResources() {
    Q_INIT_RESOURCE(pointrelay);
}

namespace pointrelay::app {

Q_LOGGING_CATEGORY(lcApplication, "pointrelay.app.application")

namespace {

const QString kDiagnosticsKey = QStringLiteral("pr.showDiagnostics");
const QString kFirstRunDoneKey = QStringLiteral("pr_first_run_done");

// Stateless, and referenced by the process-wide manager and shared model: it must outlive
// every application object.
MessageBoxAlerts& applicationAlerts() {
    static MessageBoxAlerts alerts;
    return alerts;
}

} // namespace

PointrelayApplication::PointrelayApplication(QObject* parent)
    : PointrelayApplication(Preferences::standard(), KeychainPSK::shared(), PortCheck::shared(),
                            ServerProcessManager::shared(), parent) {}

PointrelayApplication::PointrelayApplication(Preferences& preferences, KeychainPSK& keys,
                                             const PortCheck& ports, ServerProcessManager& manager,
                                             QObject* parent)
    : QObject(parent), m_preferences(preferences), m_ports(ports), m_manager(manager),
      m_openWizard(&WizardWindow::open), m_terminate([] { QCoreApplication::exit(0); }) {
    AppState::setSharedAlerts(&applicationAlerts());
    SettingsWindowController::shared().setAlerts(&applicationAlerts());
    m_manager.setAlerts(&applicationAlerts());
    m_state = std::make_unique<AppState>(preferences, keys, ports, manager, &applicationAlerts());
    const auto launchAtLogin = [](bool enabled) {
        if (!LoginItem().apply(enabled))
            qCWarning(lcApplication) << "could not change the launch-at-login entry";
    };
    m_state->setLaunchAtLoginHandler(launchAtLogin);
    AppState::setSharedLaunchAtLoginHandler(launchAtLogin); // the settings window's model
}

PointrelayApplication::~PointrelayApplication() {
    // The worker stops the daemon through a blocking call into this thread: keep serving
    // events until it is done, so that neither side waits for the other.
    while (m_quitWorker.joinable() && !m_quitWorkDone)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (m_quitWorker.joinable())
        m_quitWorker.join();
    delete m_popover.data();
}

Alerts& PointrelayApplication::alerts() {
    return applicationAlerts();
}

QIcon PointrelayApplication::icon() {
    initPointrelayResources();
    QSvgRenderer renderer(QStringLiteral(":/pointrelay/pointrelay.svg"));
    QIcon icon;
    if (!renderer.isValid()) {
        qCWarning(lcApplication) << "the application icon cannot be drawn";
        return icon;
    }
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

bool PointrelayApplication::installTranslation(const QLocale& locale) {
    return app::installTranslation(locale);
}

QPoint PointrelayApplication::popoverPosition(const QRect& anchor, const QSize& size,
                                              const QRect& screen) {
    int x = anchor.left() + anchor.width() / 2 - size.width() / 2;
    int y = anchor.bottom() + 1;
    const bool fitsBelow = y + size.height() <= screen.bottom() + 1;
    const bool fitsAbove = anchor.top() - size.height() >= screen.top();
    if (!fitsBelow && fitsAbove)
        y = anchor.top() - size.height();
    x = std::clamp(x, screen.left(), std::max(screen.left(), screen.right() + 1 - size.width()));
    y = std::clamp(y, screen.top(), std::max(screen.top(), screen.bottom() + 1 - size.height()));
    return {x, y};
}

void PointrelayApplication::launch(bool background) {
    if (m_launched)
        return;
    m_launched = true;
    // Quit requests of the platform (application menu, session end) and of QCoreApplication
    // arrive as QEvent::Quit; they all take the quit sequence. The filter also sees the
    // settings window's close.
    qApp->installEventFilter(this);

    // Diagnostics last one run at most: the daemon's statistics start switched off.
    m_preferences.setValue(kDiagnosticsKey, false);
    m_preferences.sync();

    m_tray = new QSystemTrayIcon(icon(), this);
    m_tray->setObjectName(QStringLiteral("trayIcon"));
    applicationAlerts().setTrayIcon(m_tray); // a daemon that dies is told from here
    m_tray->setToolTip(QStringLiteral("Pointrelay"));
    connect(m_tray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    togglePopover();
            });
    // Shown even without a tray: Qt puts the icon up when a tray appears later.
    m_tray->show();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        qCWarning(lcApplication) << "no system tray: the status popup cannot be opened, and "
                                    "closing the settings window quits";

    m_window = std::make_unique<SettingsRootView>(*m_state, applicationAlerts());
    m_window->setWindowTitle(QGuiApplication::applicationDisplayName());
    if (background) {
        m_state->start();
        return;
    }
    m_window->show();

    // Once per installation, even when the wizard is closed at once or the application ends
    // while it is open.
    if (!m_preferences.value(kFirstRunDoneKey).toBool()) {
        if (m_openWizard)
            m_openWizard(*m_state, applicationAlerts());
        m_preferences.setValue(kFirstRunDoneKey, true);
        m_preferences.sync();
    }
}

void PointrelayApplication::showSettings() {
    if (!m_window)
        return;
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void PointrelayApplication::togglePopover() {
    if (!m_tray)
        return;
    if (m_popover && m_popover->isVisible()) {
        m_popover->close();
        return;
    }
    // A new view on every opening: it shows the model's current values and nothing of an
    // earlier opening survives.
    auto* view = new StatusPopoverView(*m_state, false);
    view->setAttribute(Qt::WA_DeleteOnClose);
    connect(view, &StatusPopoverView::quitRequested, this, &PointrelayApplication::requestQuit);

    // Some trays (StatusNotifierItem) do not tell where the icon is: open at the pointer.
    QRect anchor = m_tray->geometry();
    if (!anchor.isValid())
        anchor = QRect(QCursor::pos(), QSize(1, 1));
    view->setAnchor(anchor);
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    view->adjustSize();
    if (screen)
        view->move(popoverPosition(anchor, view->size(), screen->availableGeometry()));
    m_popover = view;
    view->show();
    view->activateWindow();
}

void PointrelayApplication::requestQuit() {
    if (m_quitting) {
        qCInfo(lcApplication) << "quit requested again while quitting: nothing more to do";
        return;
    }
    m_quitting = true;
    // The port the daemon really listens on, else the settings' (read here on the GUI thread:
    // the shared model is a QObject that must not be made on the worker).
    const ServerState daemon = m_manager.state();
    const int port = daemon.running ? daemon.port : AppState::shared().port();
    qCInfo(lcApplication) << "quitting: stopping the daemon and waiting for port" << port;
    m_quitWorker = std::thread([this, port] {
        m_manager.stop(); // returns once the child has exited
        if (!m_ports.waitForPortFree(port, kQuitPortWait))
            qCWarning(lcApplication) << "port" << port << "is still in use; quitting anyway";
        QMetaObject::invokeMethod(this, &PointrelayApplication::finishQuit, Qt::QueuedConnection);
        m_quitWorkDone = true;
    });
}

void PointrelayApplication::finishQuit() {
    if (m_quitWorker.joinable())
        m_quitWorker.join();
    emit quitSequenceFinished();
    if (m_terminate)
        m_terminate();
}

bool PointrelayApplication::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) {
        requestQuit();
        event->ignore(); // the sequence ends the application itself
        return true;
    }
    // Without a tray icon this window is the only way to reach the application: closing it
    // quits instead of leaving an invisible program behind.
    if (event->type() == QEvent::Close && watched == m_window.get() &&
        !QSystemTrayIcon::isSystemTrayAvailable())
        requestQuit();
    return QObject::eventFilter(watched, event);
}

} // namespace pointrelay::app
