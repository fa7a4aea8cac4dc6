// SPDX-License-Identifier: MIT
// The views on a model of their own, offscreen: the status popup and the settings form with a
// real pointrelayd, the port-conflict alert answered as a user would, the first-run wizard,
// the pairing QR sheet and the input route. Screenshots land in build/screenshots.
#include "app/ui/message_box_answerer.h"
#include "app/ui/ui_test_support.h"
#include "model/login_item.h"
#include "model/pairing.h"
#include "support/qt_wait.h"
#include "ui/first_run_wizard_view.h"
#include "ui/message_box_alerts.h"
#include "ui/qr_sheet.h"
#include "ui/settings_actions.h"
#include "ui/settings_root_view.h"
#include "ui/settings_window_controller.h"
#include "ui/status_popover_view.h"
#include "ui/wizard_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QSignalSpy>
#include <QStackedWidget>

using namespace pointrelay::app;
using namespace pointrelay::test;

namespace {

QString text(QWidget* root, const char* name) {
    if (auto* button = root->findChild<QAbstractButton*>(QString::fromLatin1(name)))
        return button->text();
    return child<QLabel>(root, name)->text();
}

// The popup's light, sampled in its middle.
QColor light(QWidget* popup) {
    const QImage image = child<QWidget>(popup, "statusIndicator")->grab().toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

void typePort(QWidget* form, const QString& digits, bool commit = true) {
    auto* field = child<QLineEdit>(form, "portField");
    field->setFocus();
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, digits);
    if (commit)
        QTest::keyClick(field, Qt::Key_Return);
}

// A form on screen and active, so that its port field sees focus leave.
struct ShownForm {
    explicit ShownForm(TestModel& model) : view(model.state, model.alerts) {
        view.show();
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
    }
    SettingsRootView view;
};

} // namespace

class ViewsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() {
        for (QWidget* widget : QApplication::topLevelWidgets())
            widget->close();
        flushDeletes();
    }

    // Texts and light follow the model while open; Start and Stop drive a real daemon; quit
    // stops it first.
    void popupFollowsTheModelAndDrivesTheDaemon() {
        TestModel model;
        model.state.setPort(freePort());
        StatusPopoverView popup(model.state, false);
        popup.show();
        QCOMPARE(popup.width(), StatusPopoverView::kWidth);
        QVERIFY(popup.windowFlags().testFlag(Qt::Popup));
        QCOMPARE(text(&popup, "statusLabel") + text(&popup, "startStopButton"), "停止中Start");
        QCOMPARE(text(&popup, "settingsButton") + text(&popup, "quitButton"), "設定…終了");
        QVERIFY(light(&popup).red() > 200 && light(&popup).green() < 120);
        QVERIFY(!saveScreenshot(&popup, "status_popover_stopped").isEmpty());
        const quint16 port = model.state.port();
        child(&popup, "startStopButton")->click();
        QVERIFY(waitUntil([&] { return !model.ports.canBindPort(port); }));
        model.state.setHostMode(HostAdvertiseMode::ipv4Address);
        QCOMPARE(text(&popup, "statusLabel") + text(&popup, "startStopButton"), "稼働中Stop");
        QCOMPARE(text(&popup, "hostLabel"),
                 "Host: " + advertisedHost(HostAdvertiseMode::ipv4Address));
        QCOMPARE(text(&popup, "portLabel"), "Port: " + QString::number(port));
        QCOMPARE(text(&popup, "clientsLabel"), "Clients: 0");
        QVERIFY(light(&popup).green() > 150 && light(&popup).red() < 120);
        QVERIFY(!saveScreenshot(&popup, "status_popover_running").isEmpty());
        // The stop is complete when the click returns, and queued reports do not undo it.
        child(&popup, "startStopButton")->click();
        QVERIFY(!model.manager.state().running && model.ports.canBindPort(port));
        QTest::qWait(100);
        QCOMPARE(text(&popup, "statusLabel"), "停止中");

        QSignalSpy quits(&popup, &StatusPopoverView::quitRequested);
        bool daemonRanAtQuit = true;
        connect(&popup, &StatusPopoverView::quitRequested, this,
                [&] { daemonRanAtQuit = model.manager.state().running; });
        model.state.start();
        QVERIFY(waitUntil([&] { return model.manager.state().running; }));
        child(&popup, "quitButton")->click();
        QCOMPARE(quits.size(), 1);
        QVERIFY(!daemonRanAtQuit && model.ports.canBindPort(port));

        StatusPopoverView diagnostics(model.state, true);
        ServerState rates;
        rates.running = true;
        rates.moveFPS = 59.94;
        rates.scrollFPS = 120;
        model.state.applyState(rates);
        QCOMPARE(text(&diagnostics, "diagnosticsLabel"), "Move: 59.9 fps  Scroll: 120.0 fps");
        child(&popup, "settingsButton")->click();
        QVERIFY(SettingsWindowController::shared().window()->isVisible());
    }

    // The alert offers free ports next to the busy one: cancel leaves all as it was, a port
    // picked is where the daemon starts; with no suggestion it is a warning with OK only.
    void busyPortOffersFreePorts() {
        HeldPort held;
        MessageBoxAlerts alerts;
        TestModel model;
        model.manager.setAlerts(&alerts);
        AppState state(model.preferences, model.keys, PortCheck::shared(), model.manager, &alerts);
        state.setPort(held.port());
        auto seen = std::make_shared<std::optional<SeenMessageBox>>();
        answerNextMessageBox("cancelButton", seen, SCREENSHOT_DIR "/alternative_port_alert.png");
        state.start();
        QVERIFY(seen->has_value() && !state.running() && state.port() == held.port());
        QCOMPARE((*seen)->text, QStringLiteral("ポート %1 は使用中です").arg(held.port()));
        QCOMPARE((*seen)->informativeText.section('\n', 1), "別ポートを選択してください。");
        const QList<quint16> free = PortCheck::shared().suggestFreePorts(held.port(), 3);
        QCOMPARE((*seen)->buttons, (QStringList{QString::number(free[0]), QString::number(free[1]),
                                                QString::number(free[2]), "キャンセル"}));
        answerNextMessageBox(QStringLiteral("portButton%1").arg(free[1]), seen);
        state.start();
        QCOMPARE(state.port(), free[1]);
        QVERIFY(waitUntil([&] { return !PortCheck::shared().canBindPort(free[1]); }));

        answerNextMessageBox(kEscape, seen);
        QCOMPARE(alerts.askAlternativePort(9000, "x", {9001}), std::nullopt);
        answerNextMessageBox("okButton", seen);
        QCOMPARE(alerts.askAlternativePort(45000, "nginx 123", {}), std::nullopt);
        QCOMPARE((*seen)->icon, QMessageBox::Warning);
        QCOMPARE((*seen)->text + "|" + (*seen)->informativeText, "ポート 45000 は使用中|nginx 123");
        QCOMPARE((*seen)->buttons, QStringList{"OK"});
    }

    void settingsEditsAreSavedAtOnceAndTheFormFollowsTheModel() {
        TestModel model;
        const LoginItem item(model.dir.filePath("autostart"), "/usr/bin/PointrelayServer");
        model.state.setLaunchAtLoginHandler([&](bool on) { item.apply(on); });
        ShownForm form(model);
        auto* picker = child<QComboBox>(&form.view, "hostModePicker");
        auto* bonjour = child<QCheckBox>(&form.view, "bonjourToggle");
        auto* autoLaunch = child<QCheckBox>(&form.view, "autoLaunchToggle");
        QVERIFY(picker->currentIndex() == 0 && bonjour->isChecked() && !autoLaunch->isChecked());
        typePort(&form.view, "41710");
        QTest::keyClick(picker, Qt::Key_Down); // "IPv4アドレス"
        bonjour->click();
        autoLaunch->click();
        QVERIFY(item.isInstalled());
        AppState relaunched(model.preferences, model.keys, model.ports, model.manager, nullptr);
        QCOMPARE(relaunched.port(), 41710);
        QCOMPARE(relaunched.hostMode(), HostAdvertiseMode::ipv4Address);
        QVERIFY(!relaunched.bonjourEnabled() && relaunched.autoLaunch());
        autoLaunch->click();
        QVERIFY(!item.isInstalled());
        // What another model saves, this one shows; what the model changes by itself (a start
        // that moved to another port) is shown but not saved by the form.
        relaunched.setHostMode(HostAdvertiseMode::bonjourLocalName);
        relaunched.save();
        QCOMPARE(picker->currentIndex(), 0);
        model.state.setPort(12000);
        QCOMPARE(child<QLineEdit>(&form.view, "portField")->text(), "12000");
        QCOMPARE(model.preferences.value("port").toInt(), 41710);
        QVERIFY(!accessibilitySettingsUrl()); // the button does nothing here: hidden
        QVERIFY(child(&form.view, "accessibilityButton")->isHidden());
    }

    void portFieldTakesOnlyWholePortsInRange_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("port"); // the model's, and the field's text after Return
        const std::tuple<const char*, const char*, int> rows[] = {
            {"lowest", "1024", 1024},         {"highest", "49151", 49151},
            {"below: put back", "80", 9000},  {"above: put back", "60000", 9000},
            {"sixth digit", "123456", 12345}, {"fraction", "9001.5", 9000},
            {"grouping", "12,345", 12345},    {"letters", "abc", 9000}};
        for (const auto& [name, typed, port] : rows)
            QTest::newRow(name) << QString::fromLatin1(typed) << port;
    }
    void portFieldTakesOnlyWholePortsInRange() {
        QFETCH(QString, typed);
        QFETCH(int, port);
        TestModel model;
        ShownForm form(model);
        typePort(&form.view, typed);
        QCOMPARE(int(model.state.port()), port);
        QCOMPARE(child<QLineEdit>(&form.view, "portField")->text(), QString::number(port));
        typePort(&form.view, "23456", false); // leaving the field commits too
        child(&form.view, "regenerateButton")->setFocus();
        QCOMPARE(int(model.state.port()), 23456);
    }

    // Both port checks show the port in plain digits; a key made in the settings restarts a
    // running daemon and says so, one made in the wizard shows everywhere and restarts nothing.
    void portChecksAndNewKeys() {
        TestModel model;
        SettingsRootView settings(model.state, model.alerts);
        FirstRunWizardView wizard(model.state, model.alerts);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); // would group
        HeldPort held;
        for (const quint16 port : {freePort(), held.port()}) {
            model.state.setPort(port);
            child(&settings, "portCheckButton")->click();
            child(&wizard, "portCheckButton")->click();
        }
        QLocale::setDefault(QLocale::c());
        const QString free = QStringLiteral("information: 利用可能 / ポート %1 は利用可能です。");
        const QString busy =
            QStringLiteral("critical: 使用中 / ポート %1 は使用中です。\n例: 不明なプロセス");
        QCOMPARE(model.alerts.shown, (QStringList{free.arg(freePort()), free.arg(freePort()),
                                                  busy.arg(held.port()), busy.arg(held.port())}));
        model.alerts.shown.clear();

        const QString arguments = model.useStandInDaemon();
        model.state.setPort(freePort());
        child(&wizard, "regenerateButton")->click(); // stopped: a key, nothing else
        QVERIFY(!model.preferences.value("port").isValid());
        model.state.start();
        QTRY_COMPARE(readLines(arguments).size(), 1);
        child(&wizard, "nextButton")->click();
        child(&wizard, "regenerateButton")->click();
        const QString masked = KeychainPSK::mask(model.keys.load());
        QCOMPARE(text(&wizard, "maskedPSKLabel") + text(&settings, "maskedPSKLabel"),
                 masked + masked);
        QVERIFY(model.alerts.shown.isEmpty());
        QTest::qWait(200);
        QCOMPARE(readLines(arguments).size(), 1); // the wizard's key restarts nothing
        child(&settings, "regenerateButton")->click();
        QTRY_COMPARE(readLines(arguments).size(), 2); // the settings' does, at once
        QVERIFY(readLines(arguments).last().contains(*model.keys.load()));
        QCOMPARE(model.alerts.shown,
                 QStringList{"information: PSKを再生成しました / "
                             "スマートフォンで QR をもう一度読み取ってください。"});
    }

    // The popup, the pairing code and the daemon agree at all times: a port edited while the
    // daemon runs moves the daemon (a real one), and every model shows where it listens.
    void aPortEditMovesTheRunningDaemonAndEveryViewFollows() {
        TestModel model;
        const quint16 first = freePort();
        model.state.setPort(first);
        ShownForm form(model);
        AppState popupModel(model.preferences, model.keys, model.ports, model.manager, nullptr);
        StatusPopoverView popup(popupModel, false);
        child(&form.view, "startStopButton")->click();
        QVERIFY(waitUntil([&] { return !model.ports.canBindPort(first); }));
        quint16 second = first + 1;
        while (!model.ports.canBindPort(second))
            ++second;
        typePort(&form.view, QString::number(second));
        QVERIFY(waitUntil([&] {
            return model.manager.state().port == second && !model.ports.canBindPort(second) &&
                   popupModel.port() == second;
        }));
        QVERIFY(model.ports.waitForPortFree(first, std::chrono::seconds(1)));
        QCOMPARE(text(&popup, "portLabel"), "Port: " + QString::number(second));
        QVERIFY(QRSheetContent(popupModel)
                    .shownPayload()
                    .contains("\"port\":" + QByteArray::number(second) + ','));
        QCOMPARE(model.preferences.value("port").toInt(), second);
    }

    // The code carries the stored key (made first when there is none), follows the model,
    // decodes, and counts down from 30; without a key it is the red text, never an empty key.
    void qrSheetShowsADecodableCodeAndClosesItself() {
        TestModel model;
        model.state.setPort(12345);
        ShownForm form(model);
        child(&form.view, "showQRButton")->click();
        QPointer<QDialog> sheet = form.view.findChild<QDialog*>("qrSheetDialog");
        QVERIFY(sheet && QTest::qWaitForWindowExposed(sheet));
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QRSheet* content = sheet->findChild<QRSheet*>();
        const std::optional<QString> key = model.keys.load();
        QVERIFY(key && key->size() == 64);
        const QString host = pairingHost(localNetworkInterfaces());
        QCOMPARE(QJsonDocument::fromJson(content->content()->shownPayload()).object(),
                 QJsonObject({{"host", host}, {"port", 12345}, {"psk", *key}}));
        QCOMPARE(text(sheet, "qrAddress"), "IP: " + host + ":12345");
        QVERIFY(text(sheet, "qrKeyHint").endsWith("(64桁)"));
        const QString path = saveScreenshot(sheet, "settings_qr_sheet");
        POINTRELAY_VERIFY_QR(path, content->content()->shownPayload());
        model.state.setPort(45678); // windows of the wizard stay open while settings change
        QVERIFY(text(sheet, "qrAddress").endsWith(":45678"));
        QCOMPARE(text(sheet, "countdownLabel"), "自動で閉じます: 30s");
        for (int tick = 1; tick < 30; ++tick)
            emit content->clock().tick();
        QCOMPARE(text(sheet, "countdownLabel"), "自動で閉じます: 1s"); // never 0
        emit content->clock().tick();
        flushDeletes();
        QVERIFY(sheet.isNull());

        QVERIFY(model.keys.save(QString(3000, 'k'))); // far more than a code holds
        QRSheetContent tooLong(model.state);
        QVERIFY(!tooLong.findChild<QLabel*>("qrFailure")->isHidden());
        QFile(model.dir.filePath("file")).open(QIODevice::WriteOnly);
        KeychainPSK unstorable("test", "psk",
                               std::make_shared<FilePskStore>(model.dir.filePath("file/keys")));
        AppState keyless(model.preferences, unstorable, model.ports, model.manager, nullptr);
        QRSheetContent none(keyless); // a store that keeps no key: no code at all
        QVERIFY(!none.findChild<QLabel*>("qrFailure")->isHidden());
        QVERIFY(none.findChild<QLabel*>("qrImage")->isHidden() && none.shownPayload().isEmpty());
    }

    void wizardWalksItsPagesAndOpensQrWindows() {
        TestModel model;
        WizardWindow::open(model.state, model.alerts);
        QPointer<QWidget> window = WizardWindow::window();
        QVERIFY(window && QTest::qWaitForWindowActive(window));
        auto* view = window->findChild<FirstRunWizardView*>();
        QCOMPARE(window->windowTitle(), "初回セットアップ");
        QCOMPARE(view->size(), QSize(520, 360));
        auto* back = child(view, "backButton");
        auto* next = child(view, "nextButton");
        QTest::keyClick(window, Qt::Key_Return); // nothing to finish yet
        QVERIFY(!back->isEnabled() && window->isVisible());
        for (int page = 1; page <= 3; ++page) {
            QVERIFY(!saveScreenshot(window, QStringLiteral("wizard_page%1").arg(page)).isEmpty());
            if (page < 3)
                next->click();
        }
        QCOMPARE(child<QStackedWidget>(view, "wizardPages")->currentIndex(), 2);
        QVERIFY(!next->isVisible() && child(view, "finishButton")->isVisible());
        child(view, "showQRButton")->click();
        child(view, "showQRButton")->click();
        QCOMPARE(visibleTopLevels("qrWindow").size(), 2);
        QTest::keyClick(window, Qt::Key_Return); // "完了"
        flushDeletes();
        QVERIFY(window.isNull() && !WizardWindow::window());
        WizardWindow::finish(); // the slot is empty: nothing happens
        WizardWindow::open(model.state, model.alerts);
        window = WizardWindow::window();
        WizardWindow::open(model.state, model.alerts); // a new wizard replaces the open one
        flushDeletes();
        QVERIFY(window.isNull() && visibleTopLevels("wizardWindow").size() == 1);
    }

    // On Linux the wizard's first page and the settings show the daemon's input route (as its
    // log line said) and what to do for it; nothing speaks of a Mac or an iPhone.
    void inputRouteWithoutMacWording() {
        TestModel model;
        FirstRunWizardView wizard(model.state, model.alerts);
        SettingsRootView settings(model.state, model.alerts);
        const std::tuple<InputRoute, const char*, const char*> routes[] = {
            {InputRoute::wlroots, "wlroots", "wlroots"},
            {InputRoute::gnome, "GNOME", "gnome"},
            {InputRoute::portal, "ポータル", "portal"},
            {InputRoute::portalRefused, "許可しませんでした", "portal_refused"},
            {InputRoute::x11, "X11", "x11"},
            {InputRoute::x11InWayland, "X アプリケーション", "x11_in_wayland"},
            {InputRoute::none, "入力は送られません", "none"}};
        for (const auto& [route, words, name] : routes) {
            ServerState state;
            state.inputRoute = route;
            model.state.applyState(state);
            for (QWidget* view :
                 {static_cast<QWidget*>(&wizard), static_cast<QWidget*>(&settings)}) {
                QVERIFY2(text(view, "permissionNote").contains(QString::fromUtf8(words)), name);
                for (QLabel* label : view->findChildren<QLabel*>())
                    QVERIFY2(!label->text().contains("Mac") && !label->text().contains("iPhone"),
                             qPrintable(label->text()));
            }
            QVERIFY(!saveScreenshot(&wizard, QStringLiteral("wizard_route_") + name).isEmpty());
            QVERIFY(!saveScreenshot(&settings, QStringLiteral("settings_route_") + name).isEmpty());
        }
    }

    void settingsWindowIsReusedUntilClosed() {
        RecordingAlerts alerts;
        auto& controller = SettingsWindowController::shared();
        controller.setAlerts(&alerts);
        controller.showWindow();
        QPointer<QWidget> first = controller.window();
        QCOMPARE(first->windowTitle(), "PointrelayServer Settings");
        QCOMPARE(first->size(), QSize(720, 520));
        QCOMPARE(first->minimumSize(), first->maximumSize()); // not resizable
        const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY((first->geometry().center() - centre).manhattanLength() <= 8);
        QVERIFY(QTest::qWaitForWindowExposed(first));
        QVERIFY(!saveScreenshot(first, "settings_window").isEmpty());
        controller.showWindow();
        QCOMPARE(controller.window(), first.data());
        first->close();
        QVERIFY(!controller.window()); // at once, before the closed window is deleted
        controller.showWindow();
        QVERIFY(controller.window() && controller.window() != first);
    }
};

POINTRELAY_UI_TEST_MAIN(ViewsTest)
#include "views_test.moc"
