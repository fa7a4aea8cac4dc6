// SPDX-License-Identifier: MIT
// The widgets offscreen on a real pointrelayd, each case a user's path through them: the wizard,
// the settings form, the status popup and the pairing code on one model, and last the
// application's launches and its English catalogue (the tray application's smoke test quits it
// for real). Screenshots land in build/screenshots.
#include "app/app_test_support.h"
#include "model/app_state.h"
#include "model/file_psk_store.h"
#include "model/keychain_psk.h"
#include "model/keys_file.h"
#include "model/pairing.h"
#include "model/preferences.h"
#include "model/server_process_manager.h"
#include "model/web_relay.h"
#include "phone_client.h"
#include "support/qt_wait.h"
#include "ui/first_run_wizard_view.h"
#include "ui/message_box_alerts.h"
#include "ui/pointrelay_application.h"
#include "ui/qr_sheet.h"
#include "ui/settings_root_view.h"
#include "ui/status_popover_view.h"
#include "ui/wizard_window.h"

#include <QtTest>
#include <QtWidgets>

using namespace pointrelay::app;
using namespace pointrelay::test;

namespace {

/// A settings model on its own preferences and key file, with its own manager of pointrelayd.
struct TestModel {
    TestModel() { manager.setDaemonPath(POINTRELAYD_PATH); }
    QTemporaryDir dir;
    Preferences preferences{dir.filePath("prefs.json")};
    KeychainPSK keys{"test", "psk", std::make_shared<FilePskStore>(dir.filePath("k"))};
    ServerProcessManager manager;
    RecordingAlerts alerts;
    AppState state{preferences, keys, PortCheck::shared(), manager, &alerts};
};

template <typename T = QAbstractButton>
T* child(QObject* root, const char* name) {
    if (T* found = root->findChild<T*>(name))
        return found;
    qFatal("no %s", name);
}

// The texts of the named buttons, fields and labels, joined by "|".
QString texts(QObject* root, const QString& names) {
    QStringList found;
    for (const QString& name : names.split(' '))
        found << child<QObject>(root, qPrintable(name))->property("text").toString();
    return found.join('|');
}

// Saves the widget as SCREENSHOT_DIR/<name>.png; returns the path, empty on failure.
QString screenshot(QWidget* widget, const QString& name) {
    QCoreApplication::processEvents(); // pending layout requests after the last change
    const QString path = SCREENSHOT_DIR "/" + name + ".png";
    return QDir().mkpath(SCREENSHOT_DIR) && widget->grab().save(path) ? path : QString();
}

// Answers the next modal dialog as `answer` says, once it is open.
void answerDialog(std::function<void(QWidget*)> answer) {
    QTimer::singleShot(0, [answer] {
        QTRY_VERIFY(QApplication::activeModalWidget());
        answer(QApplication::activeModalWidget());
    });
}

// Types into the form's port field as a user would, then Return unless told not to.
void typePort(QWidget* form, const QString& digits, bool commit = true) {
    auto* field = child<QLineEdit>(form, "portField");
    field->setFocus();
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, digits);
    if (commit)
        QTest::keyClick(field, Qt::Key_Return);
}

} // namespace

class ViewsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() {
        for (QWidget* widget : QApplication::topLevelWidgets())
            widget->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // One user's path on one model. The port check names a busy port and who holds it, in plain
    // digits (an English locale would group them). The form takes only whole ports in range,
    // saves every edit at once and shows what another model saves. The popup's Start runs a
    // real daemon; a port edited in the form moves it and the popup and the code follow. A key
    // made in the wizard restarts nothing, one made in the form restarts the daemon and says so.
    // The code decodes to the stored key and closes itself after 30 s. Stop is complete when
    // the click returns; quitting stops the daemon first.
    void aUsersPathThroughTheWizardTheFormThePopupAndTheCode() {
        TestModel model;
        FirstRunWizardView wizard(model.state, model.alerts);
        SettingsRootView form(model.state, model.alerts);
        form.show();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        const HeldPort held;
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        model.state.setPort(held.port);
        child(&wizard, "portCheckButton")->click();
        QLocale::setDefault(QLocale::c());
        QCOMPARE(model.alerts.shown.takeFirst(),
                 QString("critical: 使用中 / ポート %1 は使用中です。\n例: ").arg(held.port) +
                     *PortCheck::shared().describeListener(held.port));

        model.state.setPort(9000);
        const std::pair<const char*, int> typed[] = {
            {"80", 9000},   {"60000", 9000},  {"9001.5", 9000},  {"abc", 9000},
            {"1024", 1024}, {"49151", 49151}, {"123456", 12345}, {"12,345", 12345}};
        for (const auto& [digits, port] : typed) {
            typePort(&form, digits);
            QCOMPARE(texts(&form, "portField"), QString::number(port));
            QCOMPARE(model.preferences.value("port").toInt(), port == 9000 ? 0 : port);
        }
        const quint16 first = freePort();
        typePort(&form, QString::number(first), false);
        auto* picker = child<QComboBox>(&form, "hostModePicker");
        picker->setFocus();                    // leaving the field commits too
        QTest::keyClick(picker, Qt::Key_Down); // "IPv4アドレス"
        child(&form, "bonjourToggle")->click();
        AppState popupModel(model.preferences, model.keys, PortCheck::shared(), model.manager,
                            nullptr);
        QVERIFY(popupModel.port() == first && !popupModel.bonjourEnabled() &&
                popupModel.hostMode() == HostAdvertiseMode::ipv4Address);
        popupModel.setHostMode(HostAdvertiseMode::bonjourLocalName);
        popupModel.save();
        QCOMPARE(picker->currentIndex(), 0);
        StatusPopoverView popup(popupModel, false);
        int starts = 0; // of the daemon, as the manager reports them
        bool running = false;
        model.manager.observe(&form, [&](const ServerState& s) {
            starts += s.running && !running;
            running = s.running;
        });
        child(&popup, "startStopButton")->click();
        QVERIFY(waitUntil([&] { return !PortCheck::shared().canBindPort(first); }));
        QCOMPARE(texts(&popup, "statusLabel hostLabel portLabel startStopButton"),
                 "稼働中|Host: " + advertisedHost(HostAdvertiseMode::bonjourLocalName) +
                     "|Port: " + QString::number(first) + "|Stop");

        const quint16 second = freePort();
        typePort(&form, QString::number(second));
        QVERIFY(waitUntil([&] {
            return model.manager.state().port == second && popupModel.port() == second &&
                   !PortCheck::shared().canBindPort(second);
        }));
        QVERIFY(PortCheck::shared().waitForPortFree(first, std::chrono::seconds(1)));
        typePort(&form, QString::number(held.port)); // busy, and the conflict is cancelled
        QCOMPARE(texts(&form, "portField") + texts(&popup, "portLabel statusLabel"),
                 QString::number(second) + "Port: " + QString::number(second) + "|稼働中");
        QVERIFY(model.manager.state().port == second && model.preferences.value("port") == second);
        child(&wizard, "nextButton")->click(); // to the key's page
        child(&wizard, "regenerateButton")->click();
        QCOMPARE(texts(&wizard, "maskedPSKLabel"), KeychainPSK::mask(model.state.devices()[0].key));
        QTest::qWait(200);
        QCOMPARE(starts, 2); // a new key is reloaded, not restarted

        child(&form, "addDeviceButton")->click(); // a second device, and its code
        QPointer<QDialog> sheet = form.findChild<QDialog*>("qrSheetDialog");
        QVERIFY(sheet && QTest::qWaitForWindowExposed(sheet));
        QRSheet* content = sheet->findChild<QRSheet*>();
        const QString host = pairingHost(localNetworkInterfaces()),
                      key = model.state.devices()[1].key;
        const QByteArray payload = content->content()->shownPayload();
        QCOMPARE(QJsonDocument::fromJson(payload).object(),
                 QJsonObject({{"host", host}, {"port", second}, {"psk", key}}));
        QCOMPARE(texts(sheet, "qrDeviceName qrAddress qrKeyHint countdownLabel"),
                 QString("端末: Phone 2|IP: %1:%2|").arg(host).arg(second) +
                     pairingKeyHintLine(key) + "|自動で閉じます: 30s");
        QProcess zbarimg;
        zbarimg.start("zbarimg", {"--raw", "-q", screenshot(sheet, "settings_qr_sheet")});
        QVERIFY(zbarimg.waitForFinished(30000));
        QCOMPARE(zbarimg.readAllStandardOutput(), payload + '\n');
        for (int tick = 1; tick <= 30; ++tick)
            emit content->clock().tick();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // closed after 30 s
        QVERIFY(sheet.isNull());

        // The browser remote: switched on, the relay serves while the daemon runs, moves with
        // its port, and the page's code stands beside the application's; switched off,
        // nothing listens.
        auto* webPort = child<QLineEdit>(&form, "webPortField");
        webPort->setText(QString::number(first));
        emit webPort->editingFinished();
        child(&form, "webRemoteToggle")->click();
        const quint16 web = freePort(); // another one, while the relay holds `first`
        webPort->setText(QString::number(web));
        emit webPort->editingFinished();
        QVERIFY(WebRelay::shared().isListening() && WebRelay::shared().port() == web);
        QCOMPARE(popupModel.webPort(), web);
        screenshot(&form, "settings_web_remote");
        child(&form, "showQRButton")->click();
        sheet = form.findChild<QDialog*>("qrSheetDialog");
        QVERIFY(sheet && QTest::qWaitForWindowExposed(sheet));
        QCOMPARE(sheet->findChild<QRSheet*>()->content()->shownWebUrl(),
                 webRemoteUrl(host, web, key).toUtf8());
        const int twoCodes = sheet->findChild<QRSheet*>()->width();
        screenshot(sheet, "settings_qr_sheet_web");
        sheet->close();
        webPort->setText(QString::number(held.port)); // busy, and the conflict is cancelled
        emit webPort->editingFinished();
        QVERIFY(!child<QCheckBox>(&form, "webRemoteToggle")->isChecked() &&
                !model.preferences.value("webRemote").toBool());
        QVERIFY(!WebRelay::shared().isListening() && PortCheck::shared().canBindPort(web));
        QCOMPARE(model.alerts.offered.size(), 3);
        child(&form, "showQRButton")->click();
        sheet = form.findChild<QDialog*>("qrSheetDialog");
        QVERIFY(sheet && sheet->findChild<QRSheet*>()->content()->shownWebUrl().isEmpty());
        QCOMPARE(2 * sheet->findChild<QRSheet*>()->width(), twoCodes);
        sheet->close();

        child(&popup, "startStopButton")->click();
        QVERIFY(PortCheck::shared().canBindPort(second));
        QTest::qWait(100); // reports queued meanwhile do not undo the stop
        QCOMPARE(texts(&popup, "statusLabel") + texts(&form, "startStopButton"), "停止中Start");
        child(&wizard, "nextButton")->click(); // the last page: 開始 starts serving
        child(&wizard, "startButton")->click();
        QVERIFY(waitUntil([&] { return !PortCheck::shared().canBindPort(second); }));
        bool runningAtQuit = true;
        connect(&popup, &StatusPopoverView::quitRequested, this,
                [&] { runningAtQuit = model.manager.state().running; });
        child(&popup, "quitButton")->click();
        QVERIFY(!runningAtQuit && PortCheck::shared().canBindPort(second));
    }

    // The devices in the settings and the popup on a real daemon: added, renamed; a phone that
    // connects with one's key is in control until that device is removed, which ends its session.
    void devicesAreAddedRenamedInControlAndRemoved() {
        TestModel model;
        SettingsRootView form(model.state, model.alerts);
        StatusPopoverView popup(model.state, false);
        model.state.setPort(freePort());
        model.state.start();
        auto* list = child<QTreeWidget>(&form, "deviceList");
        child(&form, "addDeviceButton")->click();
        form.findChild<QDialog*>("qrSheetDialog")->close();
        list->setCurrentItem(list->topLevelItem(1));
        answerDialog([](QWidget* box) {
            static_cast<QInputDialog*>(box)->setTextValue("Pixel\u00a08 ");
            static_cast<QInputDialog*>(box)->accept();
        });
        child(&form, "renameDeviceButton")->click();
        QVERIFY(waitUntil([&] { return !PortCheck::shared().canBindPort(model.state.port()); }));
        const QSize popupSize = popup.sizeHint(); // it does not grow over the tray icon
        pointrelay::client::PhoneClient phone;
        QVERIFY(phone.connect("127.0.0.1", model.state.port()) &&
                phone.handshake(model.state.devices()[1].key.toStdString()));
        const auto row = [&](int i) {
            QStringList columns;
            for (int column = 0; column < 3; ++column)
                columns << list->topLevelItem(i)->text(column);
            return columns.join('|');
        };
        QVERIFY(waitUntil([&] { return !child<QLabel>(&popup, "controlLabel")->isHidden(); }));
        QCOMPARE(texts(&popup, "controlLabel"), "操作中: Pixel\u00a08");
        QCOMPARE(popup.sizeHint(), popupSize);
        QVERIFY(row(0) == "Phone 1|未接続|" && row(1).startsWith("Pixel\u00a08|") &&
                row(1).endsWith("|接続中") && !row(1).contains("未接続"));
        screenshot(&form, "settings_devices");
        screenshot(&popup, "popover_in_control");
        QCOMPARE(list->currentItem()->text(0), "Pixel\u00a08"); // the selection stays on it
        QVERIFY(list->columnWidth(1) >
                list->fontMetrics().horizontalAdvance(row(1).section('|', 1, 1)));
        emit model.state.devicesChanged();
        QCOMPARE(list->currentItem()->text(0), "Pixel\u00a08");
        answerDialog([](QWidget* box) {
            static_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
        });
        child(&form, "removeDeviceButton")->click();
        QVERIFY(waitUntil([&] { return child<QLabel>(&popup, "controlLabel")->isHidden(); }));
        std::vector<uint8_t> body;
        QVERIFY(!phone.recvFrame(body, 1000) || !phone.recvFrame(body, 1000));
        QCOMPARE(list->topLevelItemCount(), 1);
        // A device added elsewhere (`pointrelay pair --name`) shows once the daemon reloads.
        QVERIFY(DeviceList(model.keys, nullptr).add("Tablet").ok() &&
                reloadKeysReaders(keysFilePath()) == 1);
        QVERIFY(waitUntil([&] { return list->topLevelItemCount() == 2; }));
        QVERIFY(model.alerts.shown.isEmpty());
        model.manager.stop();
    }

    // The wizard and the settings on every input route the daemon may report (screenshots for
    // review): nothing on Linux speaks of a Mac or an iPhone.
    void theInputRouteInTheWizardAndTheSettings() {
        TestModel model;
        FirstRunWizardView wizard(model.state, model.alerts);
        SettingsRootView form(model.state, model.alerts);
        const std::pair<InputRoute, QString> routes[] = {
            {InputRoute::wlroots, "wlroots"}, {InputRoute::gnome, "gnome"},
            {InputRoute::portal, "portal"},   {InputRoute::portalRefused, "portal_refused"},
            {InputRoute::x11, "x11"},         {InputRoute::x11InWayland, "x11_in_wayland"},
            {InputRoute::none, "none"}};
        for (const auto& [route, name] : routes) {
            model.state.applyState({.lastLog = {}, .inputRoute = route, .inControl = {}});
            for (const auto* label : wizard.findChildren<QLabel*>() + form.findChildren<QLabel*>())
                QVERIFY2(!label->text().contains("Mac") && !label->text().contains("iPhone"),
                         qPrintable(label->text()));
            screenshot(&wizard, "wizard_route_" + name);
            screenshot(&form, "settings_route_" + name);
        }
    }

    // The conflict dialog names the holder and offers free ports or キャンセル (for review).
    void theConflictDialog() {
        MessageBoxAlerts alerts;
        QTimer::singleShot(0, this, [] {
            QTRY_VERIFY(QApplication::activeModalWidget());
            QWidget* box = QApplication::activeModalWidget();
            QVERIFY(texts(box, "qt_msgbox_label qt_msgbox_informativelabel")
                        .contains("python3 (PID 77)"));
            screenshot(box, "conflict_dialog");
            child(box, "cancelButton")->click();
        });
        QCOMPARE(alerts.askAlternativePort(9000, "python3 (PID 77)", {9002, 9003}, PortUse::web),
                 std::nullopt);
    }

    // Last, since the catalogue then stays installed. The first launch switches diagnostics off
    // and opens the wizard, the only time; on an English desktop the settings read in English (a
    // catalogue that lost the sources' texts fails here).
    void theApplicationsLaunchesAndItsEnglishCatalogue() {
        QTemporaryDir dir;
        Preferences preferences(dir.filePath("prefs.json"));
        preferences.setValue("pr.showDiagnostics", true);
        for (const bool first : {true, false}) {
            if (!first)
                QVERIFY(PointrelayApplication::installTranslation(QLocale(QLocale::English)));
            PointrelayApplication application(preferences, KeychainPSK::shared(),
                                              PortCheck::shared(), ServerProcessManager::shared());
            application.launch();
            QCOMPARE(bool(WizardWindow::window()), first);
            QVERIFY(!preferences.value("pr.showDiagnostics").toBool());
            WizardWindow::finish();
            if (first)
                continue;
            QCOMPARE(texts(application.settingsWindow(), "autoLaunchToggle addDeviceButton"),
                     "Start at login|Add…");
            QVERIFY(texts(application.settingsWindow(), "keyStoreLabel").contains("File ("));
            child(application.settingsWindow(), "showQRButton")->click();
            auto* sheet = application.settingsWindow()->findChild<QDialog*>("qrSheetDialog");
            QVERIFY(sheet && QTest::qWaitForWindowExposed(sheet));
            QVERIFY(texts(sheet, "qrKeyHint").startsWith("PSK hint: "));
            screenshot(sheet, "qr_sheet_en");
            sheet->close();
            application.togglePopover();
            QCOMPARE(texts(application.popover(), "statusLabel"), "Stopped");
            screenshot(application.settingsWindow(), "settings_en");
            screenshot(application.popover(), "popover_en");
        }
    }
};

// A home of its own away from the user's keyring (the key store falls back to its file),
// offscreen, and an application that lives on without windows, as the tray program does.
int main(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    for (const char* name :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"})
        qputenv(name, (home.path() + '/' + name).toUtf8());
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ViewsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "views_test.moc"
