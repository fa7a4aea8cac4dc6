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

    void firstLaunchOpensTheWizardOnce() {
        {
            Preferences before(preferencesPath());
            before.setValue(QStringLiteral("pr.showDiagnostics"), true);
            before.sync();
        }
        {
            Launch first(preferencesPath());
            first.application.launch();
            QCOMPARE(first.wizardModels, QList<AppState*>{&first.application.state()});
            auto* window = qobject_cast<SettingsRootView*>(first.application.settingsWindow());
            QVERIFY(window);
            QVERIFY(window->isVisible());
            const QJsonObject stored = storedPreferences(preferencesPath());
            QCOMPARE(stored.value(QStringLiteral("pr_first_run_done")), QJsonValue(true));
            QCOMPARE(stored.value(QStringLiteral("pr.showDiagnostics")), QJsonValue(false));
            QVERIFY(first.application.trayIcon());
            QCOMPARE(first.application.trayIcon()->toolTip(), QStringLiteral("Pointrelay"));
        }
        {
            Launch second(preferencesPath());
            second.application.launch();
            QVERIFY(second.wizardModels.isEmpty());
            QVERIFY(second.application.settingsWindow()->isVisible());
        }
    }

    void firstLaunchShowsTheRealWizard() {
        QTemporaryDir fresh;
        Preferences preferences(fresh.filePath(QStringLiteral("prefs.json")));
        PointrelayApplication application(preferences, KeychainPSK::shared(), PortCheck::shared(),
                                          manager());
        application.launch();
        QStringList titles;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->isVisible())
                titles << widget->windowTitle();
        QVERIFY2(titles.contains(QStringLiteral("初回セットアップ")),
                 qPrintable(titles.join(", ")));
    }

    void trayClickTogglesAFreshPopover() {
        Launch launch(preferencesPath());
        PointrelayApplication& application = launch.application;
        application.togglePopover(); // before launch: no icon, nothing opens
        QVERIFY(!application.popover());

        application.launch();
        application.togglePopover();
        QVERIFY(application.popover());
        QVERIFY(application.popover()->isVisible());
        QCOMPARE(application.popover()->width(), StatusPopoverView::kWidth);
        application.togglePopover();
        QTRY_VERIFY(!application.popover());

        // Each opening shows the values of that moment.
        ServerState state;
        state.running = true;
        state.connectedClients = 3;
        application.state().applyState(state);
        application.togglePopover();
        auto* clients = application.popover()->findChild<QLabel*>(QStringLiteral("clientsLabel"));
        QCOMPARE(clients->text(), QStringLiteral("Clients: 3"));
        application.togglePopover();
    }

    void popoverSitsUnderTheIconAndStaysOnScreen() {
        const QRect screen(0, 0, 1280, 800);
        const QSize size(280, 150);
        // A panel at the top: centred under the icon.
        QCOMPARE(PointrelayApplication::popoverPosition(QRect(500, 0, 24, 24), size, screen),
                 QPoint(372, 24));
        // At the right edge: pushed left to stay on screen.
        QCOMPARE(PointrelayApplication::popoverPosition(QRect(1250, 0, 24, 24), size, screen),
                 QPoint(1000, 24));
        // A panel at the bottom: above the icon.
        QCOMPARE(PointrelayApplication::popoverPosition(QRect(1200, 776, 24, 24), size, screen),
                 QPoint(1000, 626));
    }

    void quitWithoutDaemonIsPromptAndHappensOnce() {
        Launch launch(preferencesPath());
        PointrelayApplication& application = launch.application;
        application.launch();
        AppState::shared().setPort(freePort());
        QSignalSpy finished(&application, &PointrelayApplication::quitSequenceFinished);

        QElapsedTimer elapsed;
        elapsed.start();
        application.requestQuit();
        // The platform's request (application menu, session end) comes as a Quit event: it is
        // taken over, not obeyed, and adds nothing to the sequence already running.
        QEvent quit(QEvent::Quit);
        QVERIFY(QCoreApplication::sendEvent(qApp, &quit));
        QVERIFY(application.isQuitting());
        QVERIFY(waitUntil([&] { return launch.terminations > 0; }, 3000));
        QVERIFY2(elapsed.elapsed() < 800, qPrintable(QString::number(elapsed.elapsed())));
        QTest::qWait(300);
        QCOMPARE(launch.terminations, 1);
        QCOMPARE(finished.size(), 1);
    }

    void quitStopsTheDaemonWhileTheEventLoopRuns() {
        Launch launch(preferencesPath());
        PointrelayApplication& application = launch.application;
        application.launch();
        const quint16 port = freePort();
        AppState::shared().setPort(port); // the port the sequence waits for
        application.state().setPort(port);
        application.state().start();
        QVERIFY(waitUntil([&] { return manager().state().running; }));
        QVERIFY(waitUntil([&] { return !PortCheck::shared().canBindPort(port); }));

        QElapsedTimer elapsed;
        elapsed.start();
        application.requestQuit();
        QCOMPARE(launch.terminations, 0); // not before the daemon has gone
        QVERIFY(waitUntil([&] { return launch.terminations > 0; }, 5000));
        QVERIFY2(elapsed.elapsed() < 1500, qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY(!manager().state().running);
        QVERIFY(PortCheck::shared().canBindPort(port));
    }

    void quitWaitsForAHeldPortAtMostOneSecond() {
        HeldPort held;
        QVERIFY(held.port() != 0);
        Launch launch(preferencesPath());
        launch.application.launch();
        AppState::shared().setPort(held.port());
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(10);
        QElapsedTimer elapsed;
        elapsed.start();
        launch.application.requestQuit();
        QVERIFY(waitUntil([&] { return launch.terminations > 0; }, 5000));
        QVERIFY2(elapsed.elapsed() >= 950 && elapsed.elapsed() < 2000,
                 qPrintable(QString::number(elapsed.elapsed())));
        QCOMPARE(launch.terminations, 1);
        // The wait ran on a worker: the event loop went on serving timers meanwhile.
        QVERIFY2(ticks >= 50, qPrintable(QString::number(ticks)));
    }

    void withoutATrayClosingTheWindowQuits() {
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable()); // offscreen has none
        Launch launch(preferencesPath());
        launch.application.launch();
        AppState::shared().setPort(freePort());
        QVERIFY(launch.application.settingsWindow()->isVisible());
        QVERIFY(!launch.application.isQuitting());
        launch.application.settingsWindow()->close();
        QVERIFY(launch.application.isQuitting());
        QVERIFY(waitUntil([&] { return launch.terminations == 1; }, 3000));
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
