// SPDX-License-Identifier: MIT
// The settings form on a model of its own (edits saved at once, port field limits, port check,
// key regeneration, a running daemon following the edits, the QR sheet) and the settings
// window on the shared model.

#include "app/ui/ui_test_support.h"
#include "model/login_item.h"
#include "support/qt_wait.h"
#include "ui/qr_sheet.h"
#include "ui/settings_actions.h"
#include "ui/settings_root_view.h"
#include "ui/settings_window_controller.h"
#include "ui/status_popover_view.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QScreen>

using namespace pointrelay::app;
using namespace pointrelay::test;

namespace {

// A form on screen and active, so that its port field sees focus leave.
struct ShownForm {
    explicit ShownForm(TestModel& model) : view(model.state, model.alerts) {
        view.show();
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
    }
    void typePort(const QString& text) {
        QLineEdit* field = child<QLineEdit>(&view, "portField");
        field->setFocus();
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }
    SettingsRootView view;
};

} // namespace

class SettingsWindowTest : public QObject {
    Q_OBJECT

private slots:
    void everyEditIsSavedAtOnceAndTheFormFollowsTheModel() {
        TestModel model;
        const LoginItem item(model.dir.filePath("autostart"), "/usr/bin/PointrelayServer");
        model.state.setLaunchAtLoginHandler([&](bool on) { item.apply(on); });
        ShownForm form(model);
        auto* picker = child<QComboBox>(&form.view, "hostModePicker");
        auto* bonjour = child<QCheckBox>(&form.view, "bonjourToggle");
        auto* autoLaunch = child<QCheckBox>(&form.view, "autoLaunchToggle");
        QCOMPARE(picker->currentText(), QStringLiteral(".local名"));
        QVERIFY(bonjour->isChecked() && !autoLaunch->isChecked());

        form.typePort("41710");
        QTest::keyClick(child<QLineEdit>(&form.view, "portField"), Qt::Key_Return);
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

        // What another model saves, this one loads, and the form shows; what the model changes
        // on its own (a start that moved to another port) is shown but not saved by the form.
        relaunched.setHostMode(HostAdvertiseMode::bonjourLocalName);
        relaunched.save();
        QCOMPARE(picker->currentIndex(), 0);
        model.state.setPort(12000);
        QCOMPARE(child<QLineEdit>(&form.view, "portField")->text(), QStringLiteral("12000"));
        QCOMPARE(model.preferences.value("port").toInt(), 41710);

        // No accessibility pane to open on this desktop: the button does nothing.
        QVERIFY(!accessibilitySettingsUrl());
        const auto windows = QApplication::topLevelWidgets().size();
        child(&form.view, "accessibilityButton")->click();
        QCOMPARE(QApplication::topLevelWidgets().size(), windows);
        QVERIFY(model.alerts.shown.isEmpty());
    }

    void portFieldTakesOnlyWholePortsInRange_data() {
        QTest::addColumn<QString>("typed"); // then Return
        QTest::addColumn<int>("port");      // the model's, and the field's text after
        const std::tuple<const char*, const char*, int> rows[] = {
            {"lowest", "1024", 1024},
            {"highest", "49151", 49151},
            {"below the range: put back", "80", 9000},
            {"above the range: put back", "60000", 9000},
            {"a sixth digit: not typed", "123456", 12345},
            {"fractions: put back", "9001.5", 9000},
            {"grouping: not typed", "12,345", 12345},
            {"letters: not typed, put back", "abc", 9000},
        };
        for (const auto& [name, typed, port] : rows)
            QTest::newRow(name) << QString::fromLatin1(typed) << port;
    }
    void portFieldTakesOnlyWholePortsInRange() {
        QFETCH(QString, typed);
        QFETCH(int, port);
        TestModel model;
        ShownForm form(model);
        form.typePort(typed);
        QTest::keyClick(child<QLineEdit>(&form.view, "portField"), Qt::Key_Return);
        QCOMPARE(int(model.state.port()), port);
        QCOMPARE(child<QLineEdit>(&form.view, "portField")->text(), QString::number(port));

        form.typePort("23456"); // leaving the field commits too
        QCOMPARE(int(model.state.port()), port);
        child(&form.view, "regenerateButton")->setFocus();
        QCOMPARE(int(model.state.port()), 23456);
    }

    void portCheckTellsAFreePortFromAHeldOneInPlainDigits() {
        TestModel model;
        SettingsRootView view(model.state, model.alerts);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); // would group
        const quint16 free = freePort();
        model.state.setPort(free);
        child(&view, "portCheckButton")->click();
        HeldPort held;
        model.state.setPort(held.port());
        child(&view, "portCheckButton")->click();
        model.lister->description = "sshd 42 root 3u IPv4 %1 TCP *:%2 (LISTEN)";
        child(&view, "portCheckButton")->click();
        QLocale::setDefault(QLocale::c());
        const QString inUse = QStringLiteral("critical: 使用中 / ポート %1 は使用中です。\n例: ");
        QCOMPARE(
            model.alerts.shown,
            QStringList(
                {QStringLiteral("information: 利用可能 / ポート %1 は利用可能です。").arg(free),
                 inUse.arg(held.port()) + "不明なプロセス",
                 inUse.arg(held.port()) + *model.lister->description}));
        QCOMPARE(model.state.port(), held.port());
        QVERIFY(!model.state.running());
    }

    void regenerateWhileStoppedChangesOnlyTheKey() {
        TestModel model;
        SettingsRootView view(model.state, model.alerts);
        child(&view, "regenerateButton")->click();
        const std::optional<QString> key = model.keys.load();
        QVERIFY(key && key->size() == 64);
        QCOMPARE(model.state.maskedPSK(), KeychainPSK::mask(key));
        QCOMPARE(child<QLabel>(&view, "maskedPSKLabel")->text(), KeychainPSK::mask(key));
        QCOMPARE(model.alerts.shown, QStringList("information: PSKを再生成しました / "
                                                 "スマートフォンで QR をもう一度読み取ってください。"));
        QVERIFY(!model.preferences.value("port").isValid());
    }

    // The popup, the pairing code and the daemon agree at all times: a port edited while the
    // daemon runs moves the daemon (a real one), and every model shows where it listens.
    void aPortEditMovesTheRunningDaemonAndEveryViewFollows() {
        TestModel model;
        const quint16 first = freePort();
        model.state.setPort(first);
        model.state.setBonjourEnabled(false);
        ShownForm form(model);
        AppState popupModel(model.preferences, model.keys, model.ports, model.manager, nullptr);
        StatusPopoverView popup(popupModel, false);
        auto* startStop = child(&form.view, "startStopButton");
        startStop->click();
        QCOMPARE(startStop->text(), QStringLiteral("Stop"));
        QVERIFY(waitUntil([&] { return !model.ports.canBindPort(first); }));
        const QString firstKey = *model.keys.load();

        quint16 second = first + 1;
        while (!model.ports.canBindPort(second))
            ++second;
        form.typePort(QString::number(second));
        QTest::keyClick(child<QLineEdit>(&form.view, "portField"), Qt::Key_Return);
        QVERIFY(waitUntil([&] {
            return model.manager.state().port == second && !model.ports.canBindPort(second) &&
                   popupModel.port() == second;
        }));
        QVERIFY(model.ports.waitForPortFree(first, std::chrono::seconds(1)));
        QCOMPARE(child<QLabel>(&popup, "portLabel")->text(), "Port: " + QString::number(second));
        QVERIFY(QRSheetContent(popupModel)
                    .shownPayload()
                    .contains("\"port\":" + QByteArray::number(second) + ','));
        QCOMPARE(model.preferences.value("port").toInt(), second);

        // A new key restarts the daemon with it at once; the notice comes afterwards.
        child(&form.view, "regenerateButton")->click();
        QVERIFY(*model.keys.load() != firstKey);
        QVERIFY(waitUntil([&] { return model.state.running() && popupModel.running(); }));
        QCOMPARE(model.manager.state().port, second);
        QCOMPARE(model.alerts.shown.size(), 1);
    }

    void qrSheetShowsTheDecodableCodeAndClosesItself() {
        TestModel model;
        QVERIFY(model.keys.save(QStringLiteral("0123456789abcdef").repeated(4)));
        ShownForm form(model);
        child(&form.view, "showQRButton")->click();
        QPointer<QDialog> sheet = form.view.findChild<QDialog*>("qrSheetDialog");
        QVERIFY(sheet && sheet->isVisible());
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QVERIFY(QTest::qWaitForWindowExposed(sheet));
        const QByteArray payload = sheet->findChild<QRSheet*>()->content()->shownPayload();
        QVERIFY(payload.contains("\"port\":9000"));
        const QString path = saveScreenshot(sheet, "settings_qr_sheet");
        QVERIFY(!path.isEmpty());
        POINTRELAY_VERIFY_QR(path, payload);

        child(sheet, "closeButton")->click();
        flushDeletes();
        QVERIFY(sheet.isNull());
        child(&form.view, "showQRButton")->click(); // a new sheet counts from 30 again
        sheet = form.view.findChild<QDialog*>("qrSheetDialog");
        QRSheet* content = sheet->findChild<QRSheet*>();
        QCOMPARE(content->seconds(), 30);
        for (int tick = 0; tick < 30; ++tick)
            emit content->clock().tick();
        flushDeletes();
        QVERIFY(sheet.isNull());
    }

    void windowIsReusedUntilClosedThenBuiltAnew() {
        RecordingAlerts alerts;
        auto& controller = SettingsWindowController::shared();
        controller.setAlerts(&alerts);
        controller.showWindow();
        QPointer<QWidget> first = controller.window();
        QVERIFY(first && first->isVisible());
        QCOMPARE(first->windowTitle(), QStringLiteral("PointrelayServer Settings"));
        QCOMPARE(first->size(), QSize(720, 520));
        QCOMPARE(first->minimumSize(), first->maximumSize()); // not resizable
        QVERIFY(child<SettingsRootView>(first, "settingsRootView")->width() >= 600);
        const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY((first->geometry().center() - centre).manhattanLength() <= 8);
        QVERIFY(QTest::qWaitForWindowExposed(first));
        QVERIFY(!saveScreenshot(first, "settings_window").isEmpty());

        first->move(first->pos() + QPoint(30, 30));
        controller.showWindow();
        QCOMPARE(controller.window(), first.data());
        first->close();
        QVERIFY(!controller.window()); // at once, before the closed window is deleted
        controller.showWindow();
        QPointer<QWidget> second = controller.window();
        QVERIFY(second && second != first);
        QVERIFY((second->geometry().center() - centre).manhattanLength() <= 8);
        flushDeletes();
        QVERIFY(first.isNull());
        second->close();
    }
};

POINTRELAY_UI_TEST_MAIN(SettingsWindowTest)
#include "settings_window_test.moc"
