// SPDX-License-Identifier: MIT
// The status popup on a real model and a real pointrelayd: texts and light follow the model
// while open, Start/Stop drive the daemon, a busy port asks for another one, quit stops first.

#include "app/ui/message_box_answerer.h"
#include "app/ui/ui_test_support.h"
#include "model/app_state.h"
#include "model/file_psk_store.h"
#include "model/keychain_psk.h"
#include "model/pairing.h"
#include "model/port_check.h"
#include "model/preferences.h"
#include "model/server_process_manager.h"
#include "support/qt_wait.h"
#include "ui/message_box_alerts.h"
#include "ui/settings_window_controller.h"
#include "ui/status_popover_view.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace pointrelay::app;
using pointrelay::test::answerNextMessageBox;
using pointrelay::test::SeenMessageBox;
using pointrelay::test::waitUntil;

namespace {

const QString kScreenshots = QStringLiteral(SCREENSHOT_DIR);

QColor lightColor(StatusPopoverView& view) {
    auto* light = view.findChild<QWidget*>(QStringLiteral("statusIndicator"));
    const QImage image = light->grab().toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

bool isGreen(const QColor& c) {
    return c.green() > 150 && c.red() < 120;
}
bool isRed(const QColor& c) {
    return c.red() > 200 && c.green() < 120;
}

void saveScreenshot(QWidget& widget, const QString& name) {
    QVERIFY(!pointrelay::test::saveScreenshot(&widget, name).isEmpty());
}

} // namespace

class StatusPopoverTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Preferences> m_preferences;
    std::unique_ptr<KeychainPSK> m_keys;
    MessageBoxAlerts m_alerts;
    std::unique_ptr<AppState> m_state;

    ServerProcessManager& manager() { return ServerProcessManager::shared(); }
    QString text(StatusPopoverView& view, const char* name) {
        if (auto* label = view.findChild<QLabel*>(QString::fromLatin1(name)))
            return label->text();
        if (auto* button = view.findChild<QPushButton*>(QString::fromLatin1(name)))
            return button->text();
        return QStringLiteral("<no %1>").arg(QString::fromLatin1(name));
    }
    QPushButton* button(StatusPopoverView& view, const char* name) {
        return view.findChild<QPushButton*>(QString::fromLatin1(name));
    }
    void setRunning(bool running, qint64 clients = 0, double move = 0, double scroll = 0) {
        ServerState state;
        state.running = running;
        state.connectedClients = clients;
        state.moveFPS = move;
        state.scrollFPS = scroll;
        m_state->applyState(state);
    }

private slots:
    void initTestCase() {
        manager().setDaemonPath(QStringLiteral(POINTRELAYD_PATH));
        manager().setAlerts(&m_alerts);
    }

    void init() {
        m_preferences = std::make_unique<Preferences>(m_dir.filePath("prefs.json"));
        m_keys = std::make_unique<KeychainPSK>(
            "test", "psk", std::make_shared<FilePskStore>(m_dir.filePath("keys")));
        m_state = std::make_unique<AppState>(*m_preferences, *m_keys, PortCheck::shared(),
                                             manager(), &m_alerts);
        m_state->setPort(pointrelay::test::freePort());
    }

    void cleanup() {
        manager().stop();
        m_state.reset();
    }

    void followsTheModelWhileOpen() {
        StatusPopoverView view(*m_state, false);
        view.show();
        QCOMPARE(view.width(), StatusPopoverView::kWidth);
        QVERIFY(view.windowFlags().testFlag(Qt::Popup));
        QCOMPARE(text(view, "statusLabel"), QStringLiteral("停止中"));
        QCOMPARE(text(view, "startStopButton"), QStringLiteral("Start"));
        QCOMPARE(text(view, "settingsButton"), QStringLiteral("設定…"));
        QCOMPARE(text(view, "quitButton"), QStringLiteral("終了"));
        QCOMPARE(text(view, "portLabel"), QStringLiteral("Port: %1").arg(m_state->port()));
        QCOMPARE(text(view, "clientsLabel"), QStringLiteral("Clients: 0"));
        QVERIFY(isRed(lightColor(view)));
        QVERIFY(!view.findChild<QLabel*>(QStringLiteral("diagnosticsLabel")));
        saveScreenshot(view, QStringLiteral("status_popover_stopped"));

        // Reports from the daemon reach the open view without rebuilding it.
        setRunning(true, 1);
        m_state->setPort(9001);
        m_state->setHostMode(HostAdvertiseMode::ipv4Address);
        QCOMPARE(text(view, "statusLabel"), QStringLiteral("稼働中"));
        QCOMPARE(text(view, "startStopButton"), QStringLiteral("Stop"));
        QCOMPARE(text(view, "clientsLabel"), QStringLiteral("Clients: 1"));
        QCOMPARE(text(view, "portLabel"), QStringLiteral("Port: 9001"));
        QCOMPARE(text(view, "hostLabel"),
                 QStringLiteral("Host: ") + advertisedHost(HostAdvertiseMode::ipv4Address));
        QVERIFY(isGreen(lightColor(view)));
        saveScreenshot(view, QStringLiteral("status_popover_running"));

        setRunning(false);
        QCOMPARE(text(view, "statusLabel"), QStringLiteral("停止中"));
        QVERIFY(isRed(lightColor(view)));
    }

    void diagnosticsLineShowsRates() {
        StatusPopoverView view(*m_state, true);
        setRunning(true, 2, 59.94, 120);
        QCOMPARE(text(view, "diagnosticsLabel"),
                 QStringLiteral("Move: 59.9 fps  Scroll: 120.0 fps"));
        view.show();
        saveScreenshot(view, QStringLiteral("status_popover_diagnostics"));
    }

    void startAndStopDriveTheDaemon() {
        StatusPopoverView view(*m_state, false);
        view.show();
        const quint16 port = m_state->port();
        button(view, "startStopButton")->click();
        QVERIFY(waitUntil([&] { return manager().state().running && m_state->running(); }));
        QVERIFY(waitUntil([&] { return !PortCheck::shared().canBindPort(port); }));
        QCOMPARE(text(view, "statusLabel"), QStringLiteral("稼働中"));
        QCOMPARE(text(view, "startStopButton"), QStringLiteral("Stop"));

        // The stop is complete when the click returns: daemon gone, port free, view updated.
        button(view, "startStopButton")->click();
        QVERIFY(!manager().state().running);
        QVERIFY(PortCheck::shared().canBindPort(port));
        QCOMPARE(text(view, "statusLabel"), QStringLiteral("停止中"));
        QCOMPARE(text(view, "startStopButton"), QStringLiteral("Start"));
        // The queued reports of the stop must not bring the running state back.
        QTest::qWait(100);
        QVERIFY(!m_state->running());
    }

    void busyPortAsksForAnotherOne() {
        pointrelay::test::HeldPort holder; // another program's listening socket
        QVERIFY(holder.port() != 0);
        m_state->setPort(holder.port());
        const quint16 busy = holder.port();
        StatusPopoverView view(*m_state, false);
        view.show();

        // Cancelled: nothing starts and the port stays.
        auto seen = std::make_shared<std::optional<SeenMessageBox>>();
        answerNextMessageBox(QStringLiteral("cancelButton"), seen,
                             kScreenshots + "/alternative_port_alert.png");
        button(view, "startStopButton")->click();
        QVERIFY(seen->has_value());
        QCOMPARE((*seen)->text, QStringLiteral("ポート %1 は使用中です").arg(busy));
        const QStringList lines = (*seen)->informativeText.split('\n');
        QCOMPARE(lines.size(), 2);
        QVERIFY(!lines[0].isEmpty());
        QCOMPARE(lines[1], QStringLiteral("別ポートを選択してください。"));
        QCOMPARE((*seen)->buttons.size(), 4);
        QCOMPARE((*seen)->buttons.last(), QStringLiteral("キャンセル"));
        QVERIFY(!m_state->running());
        QCOMPARE(m_state->port(), busy);
        QCOMPARE(text(view, "statusLabel"), QStringLiteral("停止中"));

        // The second suggestion: stored in the model before the daemon starts there.
        const QList<quint16> suggestions = PortCheck::shared().suggestFreePorts(busy, 3);
        QCOMPARE(suggestions.size(), 3);
        QCOMPARE((*seen)->buttons.mid(0, 3),
                 (QStringList{QString::number(suggestions[0]), QString::number(suggestions[1]),
                              QString::number(suggestions[2])}));
        seen->reset();
        answerNextMessageBox(QStringLiteral("portButton%1").arg(suggestions[1]), seen);
        button(view, "startStopButton")->click();
        QVERIFY(seen->has_value());
        QCOMPARE(m_state->port(), suggestions[1]);
        QVERIFY(waitUntil([&] { return !PortCheck::shared().canBindPort(suggestions[1]); }));
        QVERIFY(m_state->running());
    }

    void quitStopsARunningDaemonFirst() {
        StatusPopoverView view(*m_state, false);
        QSignalSpy quits(&view, &StatusPopoverView::quitRequested);
        bool daemonRanAtQuit = true;
        connect(&view, &StatusPopoverView::quitRequested, this,
                [&] { daemonRanAtQuit = manager().state().running || m_state->running(); });

        button(view, "quitButton")->click(); // stopped: asks at once
        QCOMPARE(quits.size(), 1);
        QVERIFY(!m_state->running());

        m_state->start();
        QVERIFY(waitUntil([&] { return manager().state().running; }));
        button(view, "quitButton")->click();
        QCOMPARE(quits.size(), 2);
        QVERIFY(!daemonRanAtQuit);
        QVERIFY(PortCheck::shared().canBindPort(m_state->port()));
    }

    void settingsButtonOpensTheSettingsWindow() {
        StatusPopoverView view(*m_state, false);
        button(view, "settingsButton")->click();
        QWidget* window = SettingsWindowController::shared().window();
        QVERIFY(window);
        QVERIFY(window->isVisible());
        window->close();
    }
};

// The conflict alert's answers that the popup cannot reach: Escape, and no suggestion at all.
class MessageBoxAlertsTest : public QObject {
    Q_OBJECT
private slots:
    void escapeCancels() {
        auto seen = std::make_shared<std::optional<SeenMessageBox>>();
        answerNextMessageBox(pointrelay::test::kEscape, seen);
        const QString unknown = QStringLiteral("不明なプロセスが LISTEN 中");
        QCOMPARE(MessageBoxAlerts().askAlternativePort(9000, unknown, {9001}), std::nullopt);
        QCOMPARE((*seen)->informativeText.split('\n').first(), unknown);
    }

    void noSuggestionIsAWarningWithOk() {
        auto seen = std::make_shared<std::optional<SeenMessageBox>>();
        answerNextMessageBox(QStringLiteral("okButton"), seen);
        QCOMPARE(MessageBoxAlerts().askAlternativePort(45000, QStringLiteral("nginx 123"), {}),
                 std::nullopt);
        QCOMPARE((*seen)->icon, QMessageBox::Warning);
        QCOMPARE((*seen)->text, QStringLiteral("ポート 45000 は使用中"));
        QCOMPARE((*seen)->informativeText, QStringLiteral("nginx 123"));
        QCOMPARE((*seen)->buttons, QStringList{"OK"});
    }
};

int main(int argc, char** argv) {
    pointrelay::test::prepareUiTestEnvironment();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PointrelayServer"));
    int status = 0;
    {
        StatusPopoverTest popover;
        status |= QTest::qExec(&popover, argc, argv);
    }
    {
        MessageBoxAlertsTest alerts;
        status |= QTest::qExec(&alerts, argc, argv);
    }
    return status;
}

#include "status_popover_test.moc"
