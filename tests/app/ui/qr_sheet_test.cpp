// SPDX-License-Identifier: MIT
// The pairing QR sheet: code and hint lines from the model and the key store, the countdown
// driven tick by tick, and the close button.

#include "app/ui/ui_test_support.h"
#include "model/pairing.h"
#include "ui/qr_sheet.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QSignalSpy>
#include <iostream>
#include <sstream>

using namespace pointrelay::app;
using namespace pointrelay::test;

namespace {

/// Ticks only when the test says so.
class ManualClock final : public CountdownClock {
public:
    void start() override { active = true; }
    void stop() override { active = false; }
    bool isActive() const override { return active; }
    bool active = false;
};

QString text(QWidget* root, const char* name) {
    return child<QLabel>(root, name)->text();
}

} // namespace

class QrSheetTest : public QObject {
    Q_OBJECT

private slots:
    void showsADecodableCodeOfTheStoredSettings() {
        TestModel model;
        const QString key = QStringLiteral("0123456789abcdef").repeated(4);
        QVERIFY(model.keys.save(key));
        model.state.setPort(12345);
        QRSheet sheet(model.state);
        sheet.show();
        QVERIFY(QTest::qWaitForWindowExposed(&sheet));

        const QString host = pairingHost(localNetworkInterfaces());
        QCOMPARE(text(&sheet, "qrAddress"), "IP: " + host + ":12345");
        QCOMPARE(text(&sheet, "qrKeyHint"),
                 "PSKヒント: 0123" + QString(56, QChar(0x2022)) + "cdef  (64桁)");
        const QByteArray payload = sheet.content()->shownPayload();
        QCOMPARE(QJsonDocument::fromJson(payload).object(),
                 QJsonObject({{"host", host}, {"port", 12345}, {"psk", key}}));
        const QString path = saveScreenshot(&sheet, "qr_sheet");
        QVERIFY(!path.isEmpty());
        POINTRELAY_VERIFY_QR(path, payload);
    }

    void followsTheModelAndFailsVisibly() {
        TestModel model;
        QRSheet sheet(model.state);
        std::ostringstream out; // every presentation lists the interfaces
        std::streambuf* original = std::cout.rdbuf(out.rdbuf());
        sheet.show();
        sheet.hide();
        sheet.show();
        std::cout.rdbuf(original);
        const std::string header = "[LocalIPv4] ---- interfaces ----";
        const auto first = out.str().find(header);
        QCOMPARE(first != std::string::npos, !localNetworkInterfaces().empty());
        QCOMPARE(out.str().rfind(header) != first, !localNetworkInterfaces().empty());

        // No key yet: the sheet makes and stores the key a start would use, never shows none.
        const std::optional<QString> made = model.keys.load();
        QVERIFY(made && made->size() == 64);
        QVERIFY(sheet.content()->shownPayload().contains("\"psk\":\"" + made->toUtf8() + '"'));
        QVERIFY(text(&sheet, "qrKeyHint").endsWith("(64桁)"));
        QCOMPARE(model.state.maskedPSK(), model.keys.maskedText());
        model.state.setPort(45678); // the wizard's QR windows stay open while settings change
        QVERIFY(text(&sheet, "qrAddress").endsWith(":45678"));
        QVERIFY(sheet.content()->shownPayload().contains("\"port\":45678"));

        // Far more than a QR code holds: the red text instead, the hint lines all the same.
        QVERIFY(model.keys.save(QString(3000, 'k')));
        model.state.refreshMaskedPSK();
        QVERIFY(child<QLabel>(&sheet, "qrFailure")->isVisible());
        QVERIFY(!child<QLabel>(&sheet, "qrImage")->isVisible());
        QCOMPARE(text(&sheet, "qrFailure"), QStringLiteral("QR生成に失敗しました"));
        QVERIFY(text(&sheet, "qrKeyHint").endsWith("(3000桁)"));

        // A store that keeps no key: no code at all rather than one that cannot connect.
        QFile(model.dir.filePath("file")).open(QIODevice::WriteOnly);
        KeychainPSK unstorable("test", "psk",
                               std::make_shared<FilePskStore>(model.dir.filePath("file/keys")));
        AppState keyless(model.preferences, unstorable, model.ports, model.manager, nullptr);
        QRSheetContent content(keyless);
        QVERIFY(!content.findChild<QLabel*>("qrFailure")->isHidden());
        QVERIFY(content.findChild<QLabel*>("qrImage")->isHidden());
        QVERIFY(content.shownPayload().isEmpty());
    }

    void countsDownWhileShownAndClosesOnTheThirtiethTick() {
        TestModel model;
        QRSheet sheet(model.state);
        auto* clock = new ManualClock;
        sheet.setClock(std::unique_ptr<CountdownClock>(clock));
        QVERIFY(!clock->active); // not on screen yet
        QSignalSpy dismissed(&sheet, &QRSheet::dismissed);
        sheet.show();
        QVERIFY(clock->active);
        QCOMPARE(text(&sheet, "countdownLabel"), QStringLiteral("自動で閉じます: 30s"));
        for (int tick = 1; tick < 30; ++tick)
            emit clock->tick();
        QCOMPARE(text(&sheet, "countdownLabel"), QStringLiteral("自動で閉じます: 1s"));
        QCOMPARE(dismissed.count(), 0);
        emit clock->tick();
        emit clock->tick(); // one already queued changes nothing
        QCOMPARE(dismissed.count(), 1);
        QVERIFY(!clock->active);
        QCOMPARE(text(&sheet, "countdownLabel"), QStringLiteral("自動で閉じます: 1s")); // never 0
    }

    void realClockRunsOnlyOnScreenAndCloseStopsIt() {
        TestModel model;
        QRSheet sheet(model.state);
        QVERIFY(qobject_cast<TimerCountdownClock*>(&sheet.clock()));
        sheet.show();
        QVERIFY(sheet.clock().isActive());
        sheet.hide();
        QVERIFY(!sheet.clock().isActive());
        sheet.show();
        QSignalSpy dismissed(&sheet, &QRSheet::dismissed);
        child(&sheet, "closeButton")->click();
        QCOMPARE(dismissed.count(), 1);
        QVERIFY(!sheet.clock().isActive());
        QCOMPARE(sheet.seconds(), 30);
    }
};

POINTRELAY_UI_TEST_MAIN(QrSheetTest)
#include "qr_sheet_test.moc"
