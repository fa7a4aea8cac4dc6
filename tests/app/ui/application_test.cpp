// SPDX-License-Identifier: MIT
// The application entry: what a launch does (diagnostics off, settings window, the wizard on
// the first launch only), the tray icon's popup, and the quit sequence with and without a
// running daemon, which must leave the event loop running while it waits.

#include "app/ui/ui_test_support.h"
#include "model/app_state.h"
#include "model/port_check.h"
#include "model/preferences.h"
#include "model/server_process_manager.h"
#include "support/qt_wait.h"
#include "ui/first_run_wizard_view.h"
#include "ui/pointrelay_application.h"
#include "ui/qr_sheet.h"
#include "ui/settings_actions.h"
#include "ui/settings_root_view.h"
#include "ui/status_popover_view.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTimer>

using namespace pointrelay::app;
using namespace pointrelay::test;

namespace {

QJsonObject storedPreferences(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

ServerProcessManager& manager() {
    return ServerProcessManager::shared();
}

} // namespace

class ApplicationTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString preferencesPath() const { return m_dir.filePath(QStringLiteral("prefs.json")); }

    /// One launch of the application on the test's preferences file; the wizard is counted
    /// and the final exit only recorded.
    struct Launch {
        explicit Launch(const QString& preferencesPath)
            : preferences(preferencesPath),
              application(preferences, KeychainPSK::shared(), PortCheck::shared(), manager()) {
            application.setWizardOpener(
                [this](AppState& state, Alerts&) { wizardModels << &state; });
            application.setTerminator([this] { ++terminations; });
        }
        Preferences preferences;
        PointrelayApplication application;
        QList<AppState*> wizardModels;
        int terminations = 0;
    };

private slots:
    void initTestCase() {
        manager().setDaemonPath(QStringLiteral(POINTRELAYD_PATH));
        QVERIFY(!PointrelayApplication::icon().isNull());
    }

    void cleanup() {
        manager().stop();
        for (QWidget* widget : QApplication::topLevelWidgets())
            widget->close();
        flushDeletes();
    }

    // The first launch opens the wizard (once, also the real one), the settings window and the
    // tray icon; diagnostics are off at every launch.
    void launchOpensTheWizardOnlyTheFirstTime() {
        {
            Preferences before(preferencesPath());
            before.setValue(QStringLiteral("pr.showDiagnostics"), true);
        }
        {
            Launch first(preferencesPath());
            first.application.launch();
            QCOMPARE(first.wizardModels, QList<AppState*>{&first.application.state()});
            QVERIFY(
                qobject_cast<SettingsRootView*>(first.application.settingsWindow())->isVisible());
            const QJsonObject stored = storedPreferences(preferencesPath());
            QCOMPARE(stored.value("pr_first_run_done"), QJsonValue(true));
            QCOMPARE(stored.value("pr.showDiagnostics"), QJsonValue(false));
            QCOMPARE(first.application.trayIcon()->toolTip(), QStringLiteral("Pointrelay"));
        }
        Launch second(preferencesPath());
        second.application.launch();
        QVERIFY(second.wizardModels.isEmpty());
        QTemporaryDir fresh;
        Preferences preferences(fresh.filePath(QStringLiteral("prefs.json")));
        PointrelayApplication real(preferences, KeychainPSK::shared(), PortCheck::shared(),
                                   manager());
        real.launch();
        QVERIFY(!visibleTopLevels("wizardWindow").isEmpty());
    }

    // Each click on the icon toggles a popup that shows the values of that moment, under the
    // icon (or above it, at a bottom panel) and on the screen.
    void trayClickTogglesAFreshPopupUnderTheIcon() {
        Launch launch(preferencesPath());
        PointrelayApplication& application = launch.application;
        application.togglePopover(); // before launch: no icon, nothing opens
        QVERIFY(!application.popover());
        application.launch();
        ServerState state;
        state.running = true;
        state.connectedClients = 3;
        application.state().applyState(state);
        application.togglePopover();
        QCOMPARE(application.popover()->findChild<QLabel*>("clientsLabel")->text(), "Clients: 3");
        application.togglePopover();
        QTRY_VERIFY(!application.popover());
        const QRect screen(0, 0, 1280, 800);
        const QSize size(280, 150);
        QCOMPARE(PointrelayApplication::popoverPosition({500, 0, 24, 24}, size, screen),
                 QPoint(372, 24));
        QCOMPARE(PointrelayApplication::popoverPosition({1250, 0, 24, 24}, size, screen),
                 QPoint(1000, 24));
        QCOMPARE(PointrelayApplication::popoverPosition({1200, 776, 24, 24}, size, screen),
                 QPoint(1000, 626));
    }

    // Quitting stops the daemon and waits for the port it used (at most a second) on a worker
    // while the event loop runs on; the platform's own quit requests take the same sequence,
    // once. Without a tray, closing the settings window quits.
    void quitStopsTheDaemonAndWaitsForItsPortWhileTheLoopRuns() {
        Launch launch(preferencesPath());
        PointrelayApplication& application = launch.application;
        application.launch();
        const quint16 port = freePort();
        application.state().setPort(port);
        application.state().start();
        QVERIFY(waitUntil([&] { return !PortCheck::shared().canBindPort(port); }));
        QElapsedTimer elapsed;
        elapsed.start();
        application.requestQuit();
        QEvent quit(QEvent::Quit);
        QVERIFY(QCoreApplication::sendEvent(qApp, &quit));
        QCOMPARE(launch.terminations, 0); // not before the daemon has gone
        QVERIFY(waitUntil([&] { return launch.terminations > 0; }, 5000));
        QVERIFY2(elapsed.elapsed() < 900, qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY(!manager().state().running && PortCheck::shared().canBindPort(port));
        QTest::qWait(200);
        QCOMPARE(launch.terminations, 1);

        Launch waiting(preferencesPath()); // no daemon: a held port is waited for, a second
        waiting.application.launch();
        HeldPort held;
        AppState::shared().setPort(held.port());
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(10);
        elapsed.restart();
        waiting.application.requestQuit();
        QVERIFY(waitUntil([&] { return waiting.terminations > 0; }, 5000));
        QVERIFY2(elapsed.elapsed() >= 950 && elapsed.elapsed() < 2000,
                 qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY2(ticks >= 50, qPrintable(QString::number(ticks)));

        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable()); // offscreen has none
        Launch trayless(preferencesPath());
        trayless.application.launch();
        AppState::shared().setPort(freePort());
        trayless.application.settingsWindow()->close();
        QVERIFY(waitUntil([&] { return trayless.terminations == 1; }, 3000));
    }

    // Last: the catalogue stays installed for the rest of the process. Every window must read
    // in English; an update of the catalogue that lost the sources' texts fails here.
    void anEnglishDesktopGetsEveryWindowInEnglish() {
        QVERIFY(!PointrelayApplication::installTranslation(QLocale(QLocale::Japanese)));
        QVERIFY(PointrelayApplication::installTranslation(QLocale(QLocale::English)));
        Launch launch(preferencesPath());
        launch.application.launch();
        QWidget* settings = launch.application.settingsWindow();
        QCOMPARE(settings->findChild<QGroupBox*>()->title(), QStringLiteral("Connection"));
        QCOMPARE(child<QCheckBox>(settings, "autoLaunchToggle")->text(),
                 QStringLiteral("Start at login"));
        launch.application.togglePopover();
        QWidget* popover = launch.application.popover();
        QCOMPARE(child<QLabel>(popover, "statusLabel")->text(), QStringLiteral("Stopped"));
        QCOMPARE(child(popover, "quitButton")->text(), QStringLiteral("Quit"));
        FirstRunWizardView wizard(launch.application.state(), launch.application.alerts());
        QCOMPARE(child(&wizard, "nextButton")->text(), QStringLiteral("Next"));
        QRSheet sheet(launch.application.state());
        QCOMPARE(child(&sheet, "closeButton")->text(), QStringLiteral("Close"));
        RecordingAlerts alerts;
        launch.application.state().setPort(freePort());
        checkPortAvailability(launch.application.state(), alerts, PortCheckTexts::translated);
        QVERIFY2(alerts.shown.value(0).startsWith("information: Available / Port "),
                 qPrintable(alerts.shown.join(", ")));
        QVERIFY(!saveScreenshot(settings, QStringLiteral("settings_en")).isEmpty());
        QVERIFY(!saveScreenshot(popover, QStringLiteral("popover_en")).isEmpty());
    }
};

int main(int argc, char** argv) {
    prepareUiTestEnvironment();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PointrelayServer"));
    QApplication::setQuitOnLastWindowClosed(false);
    ApplicationTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "application_test.moc"
