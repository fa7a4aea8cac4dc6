// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>
#include <QLocale>
#include <QObject>
#include <QPointer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

class QSystemTrayIcon;
class QWidget;

namespace pointrelay::app {

class Alerts;
class AppState;
class KeychainPSK;
class PortCheck;
class Preferences;
class ServerProcessManager;
class StatusPopoverView;

/// The tray application: owns the settings model, shows the settings form at launch (and the
/// first-run wizard on the very first launch), opens the status popup from the tray icon, and
/// makes quitting wait until the daemon has stopped and its port is free, or one second has
/// passed, while the event loop keeps running.
class PointrelayApplication : public QObject {
    Q_OBJECT
public:
    using WizardOpener = std::function<void(AppState& state, Alerts& alerts)>;
    using Terminator = std::function<void()>;

    /// How long quitting waits for the daemon's port after the daemon has ended.
    static constexpr std::chrono::duration<double> kQuitPortWait{1.0};

    /// On the user's preferences, key store, port check and the shared process manager.
    explicit PointrelayApplication(QObject* parent = nullptr);
    PointrelayApplication(Preferences& preferences, KeychainPSK& keys, const PortCheck& ports,
                          ServerProcessManager& manager, QObject* parent = nullptr);
    ~PointrelayApplication() override;

    /// \brief Switches diagnostics off, puts up the tray icon, shows the settings window, and
    /// opens the first-run wizard unless "pr_first_run_done" is set (which it then sets).
    /// In the \a background (the launch at login) it shows no window and starts serving, with
    /// the port checks and alerts of Start.
    void launch(bool background = false);
    /// Brings the settings window forward (a second launch of the application asked).
    void showSettings();
    /// \brief The tray icon's click: closes the popup when it is open, else opens a new one
    /// under the icon. Nothing before `launch`.
    void togglePopover();
    /// \brief Begins the quit sequence (stop the daemon, wait up to a second for its port, then
    /// end the application) on a worker thread. Later requests add nothing.
    void requestQuit();

    bool isQuitting() const { return m_quitting; }
    AppState& state() { return *m_state; }
    Alerts& alerts();
    /// The window that shows the settings form from launch on; null before `launch`.
    QWidget* settingsWindow() const { return m_window.get(); }
    /// The open popup, or null.
    StatusPopoverView* popover() const { return m_popover.data(); }
    QSystemTrayIcon* trayIcon() const { return m_tray; }

    /// Replaces what opens the first-run wizard (tests).
    void setWizardOpener(WizardOpener opener) { m_openWizard = std::move(opener); }
    /// Replaces what ends the application once the quit sequence is done (tests); the default
    /// leaves the event loop with status 0.
    void setTerminator(Terminator terminator) { m_terminate = std::move(terminator); }

    /// \brief Installs the built-in English catalogue when \a locale's language is English
    /// (the texts are Japanese otherwise); true when it was installed.
    static bool installTranslation(const QLocale& locale);

    /// The application icon: a pointer arrow with rays, from the bundled SVG.
    static QIcon icon();
    /// \brief Where a popup of `size` goes for a tray icon at `anchor`: centred below it, or
    /// above it when a panel at the bottom of the screen leaves no room, kept on the screen.
    static QPoint popoverPosition(const QRect& anchor, const QSize& size, const QRect& screen);

signals:
    /// The daemon is stopped and its port released (or the wait gave up): the application
    /// ends now.
    void quitSequenceFinished();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void finishQuit();

    Preferences& m_preferences;
    const PortCheck& m_ports;
    ServerProcessManager& m_manager;
    std::unique_ptr<AppState> m_state;
    std::unique_ptr<QWidget> m_window;
    QSystemTrayIcon* m_tray = nullptr; // child of this
    QPointer<StatusPopoverView> m_popover;
    WizardOpener m_openWizard;
    Terminator m_terminate;

    bool m_launched = false;
    bool m_quitting = false; // GUI thread only; never reset
    std::thread m_quitWorker;
    std::atomic<bool> m_quitWorkDone{false};
};

} // namespace pointrelay::app
