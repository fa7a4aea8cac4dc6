// SPDX-License-Identifier: MIT
#include "settings_window_controller.h"

#include "model/alerts.h"
#include "model/app_state.h"
#include "settings_actions.h"
#include "settings_root_view.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <functional>

namespace pointrelay::app {
namespace {

// The window tells its controller when it closes: a closed window waits for its deferred
// deletion while still existing, and must not be brought back to the front meanwhile.
class SettingsWindow final : public QWidget {
public:
    explicit SettingsWindow(std::function<void()> onClose)
        : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                               Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint),
          m_onClose(std::move(onClose)) {}

protected:
    void closeEvent(QCloseEvent* event) override {
        QWidget::closeEvent(event);
        if (event->isAccepted() && m_onClose)
            m_onClose();
    }

private:
    std::function<void()> m_onClose;
};

// Used only when the application forgot to set the alerts: nothing may go unseen silently.
class LoggedAlerts final : public Alerts {
public:
    void critical(const QString& message, const QString& informative) override {
        qCCritical(lcSettings).noquote() << message << informative;
    }
    void information(const QString& message, const QString& informative) override {
        qCInfo(lcSettings).noquote() << message << informative;
    }
    void notify(const QString& title, const QString& message) override {
        qCWarning(lcSettings).noquote() << title << message;
    }
    std::optional<quint16> askAlternativePort(quint16 port, const QString& holder,
                                              const QList<quint16>&, PortUse) override {
        qCWarning(lcSettings).noquote() << "port" << port << "is in use:" << holder;
        return std::nullopt;
    }
};

void bringToFront(QWidget* window) {
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

SettingsWindowController& SettingsWindowController::shared() {
    static SettingsWindowController instance;
    return instance;
}

void SettingsWindowController::showWindow() {
    if (m_window) {
        bringToFront(m_window);
        return;
    }
    Alerts* alerts = m_alerts;
    if (!alerts) {
        qCWarning(lcSettings) << "settings window without alerts; they go to the log";
        static LoggedAlerts logged;
        alerts = &logged;
    }
    auto* window = new SettingsWindow([this] { m_window = nullptr; });
    window->setObjectName(QStringLiteral("settingsWindow"));
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QStringLiteral("PointrelayServer Settings"));
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new SettingsRootView(AppState::shared(), *alerts, window));
    window->setFixedSize(kWindowSize);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), kWindowSize);
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    m_window = window;
    bringToFront(window);
}

} // namespace pointrelay::app
