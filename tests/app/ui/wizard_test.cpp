// SPDX-License-Identifier: MIT
// The first-run wizard: its window and pages, "完了" on Return, the port check in plain
// digits, the quiet key regeneration and the QR windows.

#include "app/ui/ui_test_support.h"
#include "ui/first_run_wizard_view.h"
#include "ui/settings_root_view.h"
#include "ui/wizard_window.h"

#include <QLabel>
#include <QPointer>
#include <QStackedWidget>

using namespace pointrelay::app;
using namespace pointrelay::test;

namespace {

const char* routeName(InputRoute route) {
    switch (route) {
    case InputRoute::wlroots:
        return "wlroots";
    case InputRoute::gnome:
        return "gnome";
    case InputRoute::portal:
        return "portal";
    case InputRoute::portalRefused:
        return "portal_refused";
    case InputRoute::x11:
        return "x11";
    case InputRoute::x11InWayland:
        return "x11_in_wayland";
    case InputRoute::none:
    case InputRoute::unknown:
        break;
    }
    return "none";
}

// The wizard for the model, on screen and active (Return reaches its shortcut).
FirstRunWizardView* openWizard(TestModel& model) {
    WizardWindow::open(model.state, model.alerts);
    QWidget* window = WizardWindow::window();
    return window && QTest::qWaitForWindowActive(window) ? window->findChild<FirstRunWizardView*>()
                                                         : nullptr;
}

} // namespace

class WizardTest : public QObject {
    Q_OBJECT

private slots:
    // On Linux the first page and the settings' permission row show the daemon's input route
    // (as its log line said) and what to do for it; nothing speaks of a Mac, and the
    // accessibility button, which does nothing here, is not shown.
    void showTheInputRouteWithoutMacWording() {
        TestModel model;
        FirstRunWizardView wizard(model.state, model.alerts);
        SettingsRootView settings(model.state, model.alerts);
        const std::pair<InputRoute, const char*> routes[] = {
            {InputRoute::wlroots, "wlroots"},
            {InputRoute::gnome, "GNOME"},
            {InputRoute::portal, "ポータル"},
            {InputRoute::portalRefused, "許可しませんでした"},
            {InputRoute::x11, "X11"},
            {InputRoute::x11InWayland, "X アプリケーション"},
            {InputRoute::none, "入力は送られません"}};
        for (const auto& [route, words] : routes) {
            ServerState state;
            state.inputRoute = route;
            model.state.applyState(state);
            for (QWidget* view :
                 {static_cast<QWidget*>(&wizard), static_cast<QWidget*>(&settings)}) {
                const QString note = child<QLabel>(view, "permissionNote")->text();
                QVERIFY2(note.contains(QString::fromUtf8(words)), qPrintable(note));
                QVERIFY(child(view, "accessibilityButton")->isHidden());
                for (QLabel* label : view->findChildren<QLabel*>())
                    QVERIFY2(!label->text().contains("Mac") && !label->text().contains("iPhone"),
                             qPrintable(label->text()));
            }
            const QString name = QString::fromLatin1(routeName(route));
            QVERIFY(!saveScreenshot(&wizard, "wizard_route_" + name).isEmpty());
            QVERIFY(!saveScreenshot(&settings, "settings_route_" + name).isEmpty());
        }
    }

    void walksThreePagesAndFinishesOnReturn() {
        TestModel model;
        FirstRunWizardView* view = openWizard(model);
        QVERIFY(view);
        QPointer<QWidget> window = WizardWindow::window();
        QCOMPARE(window->windowTitle(), QStringLiteral("初回セットアップ"));
        QCOMPARE(view->size(), QSize(520, 360));
        QCOMPARE(window->minimumSize(), window->maximumSize());
        auto* back = child(view, "backButton");
        auto* next = child(view, "nextButton");
        auto* finish = child(view, "finishButton");
        const auto page = [&] {
            return child<QStackedWidget>(view, "wizardPages")->currentIndex();
        };

        QVERIFY(!back->isEnabled() && next->isVisible() && !finish->isVisible());
        QTest::keyClick(window, Qt::Key_Return); // nothing to finish yet
        QVERIFY(window->isVisible());
        QVERIFY(!saveScreenshot(window, "wizard_page1").isEmpty());
        next->click();
        QCOMPARE(page(), 1);
        QVERIFY(back->isEnabled());
        QCOMPARE(child<QLabel>(view, "portValueLabel")->text(), QStringLiteral("9000"));
        QVERIFY(!saveScreenshot(window, "wizard_page2").isEmpty());
        next->click();
        QCOMPARE(page(), 2);
        QVERIFY(!next->isVisible() && finish->isVisible());
        QCOMPARE(finish->text(), QStringLiteral("完了"));
        QVERIFY(!saveScreenshot(window, "wizard_page3").isEmpty());
        back->click();
        back->click();
        QCOMPARE(view->step(), 0);
        QVERIFY(!back->isEnabled());
        next->click();
        next->click();

        QTest::keyClick(window, Qt::Key_Return);
        QVERIFY(!WizardWindow::window());
        flushDeletes();
        QVERIFY(window.isNull());
        WizardWindow::finish(); // the slot is empty: nothing happens

        // A new wizard starts on its first page; opening one more replaces it.
        view = openWizard(model);
        QVERIFY(view && view->step() == 0);
        window = WizardWindow::window();
        WizardWindow::open(model.state, model.alerts);
        flushDeletes();
        QVERIFY(window.isNull());
        QCOMPARE(visibleTopLevels("wizardWindow").size(), 1);
        WizardWindow::window()->close(); // its close button
        flushDeletes();
        QVERIFY(!WizardWindow::window());
    }

    void portCheckShowsThePortInPlainDigits() {
        TestModel model;
        FirstRunWizardView view(model.state, model.alerts);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); // would group
        const quint16 free = freePort();
        model.state.setPort(free);
        QCOMPARE(child<QLabel>(&view, "portValueLabel")->text(), QString::number(free));
        child(&view, "portCheckButton")->click();
        HeldPort held;
        model.state.setPort(held.port());
        child(&view, "portCheckButton")->click();
        QLocale::setDefault(QLocale::c());
        QCOMPARE(
            model.alerts.shown,
            QStringList(
                {QStringLiteral("information: 利用可能 / ポート %1 は利用可能です。").arg(free),
                 QStringLiteral("critical: 使用中 / ポート %1 は使用中です。\n例: "
                                "不明なプロセス")
                     .arg(held.port())}));
    }

    void regenerateShowsTheNewKeyEverywhereAndLeavesTheDaemonAlone() {
        TestModel model;
        const QString arguments = model.useStandInDaemon();
        model.state.setPort(freePort());
        model.state.start();
        QTRY_COMPARE(readLines(arguments).size(), 1);
        FirstRunWizardView view(model.state, model.alerts);
        SettingsRootView settings(model.state, model.alerts); // another view of the model
        child(&view, "nextButton")->click();
        QCOMPARE(child<QLabel>(&view, "maskedPSKLabel")->text(), model.keys.maskedText());

        child(&view, "regenerateButton")->click();
        const QString masked = KeychainPSK::mask(model.keys.load());
        QVERIFY(!readLines(arguments).first().contains(*model.keys.load()));
        QCOMPARE(child<QLabel>(&view, "maskedPSKLabel")->text(), masked);
        QCOMPARE(model.state.maskedPSK(), masked);
        QCOMPARE(child<QLabel>(&settings, "maskedPSKLabel")->text(), masked);
        QVERIFY(model.alerts.shown.isEmpty()); // no notice
        QTest::qWait(200);
        QCOMPARE(readLines(arguments).size(), 1); // no restart: the daemon keeps the old key
        QVERIFY(model.state.running());
    }

    void showQrOpensOneMoreWindowPerPress() {
        TestModel model;
        FirstRunWizardView* view = openWizard(model);
        QVERIFY(view);
        child(view, "nextButton")->click();
        child(view, "nextButton")->click();
        child(view, "showQRButton")->click();
        child(view, "showQRButton")->click();
        const QList<QWidget*> windows = visibleTopLevels("qrWindow");
        QCOMPARE(windows.size(), 2);
        for (QWidget* window : windows)
            QCOMPARE(window->windowTitle(), QStringLiteral("接続用 QR"));

        WizardWindow::finish(); // the QR windows are the user's to close
        flushDeletes();
        QCOMPARE(visibleTopLevels("qrWindow").size(), 2);
        for (QWidget* window : windows)
            child(window, "closeButton")->click(); // "閉じる" closes the window
        flushDeletes();
        QCOMPARE(visibleTopLevels("qrWindow").size(), 0);
    }
};

POINTRELAY_UI_TEST_MAIN(WizardTest)
#include "wizard_test.moc"
