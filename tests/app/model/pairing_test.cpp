// SPDX-License-Identifier: MIT
#include "model/pairing.h"
#include "model/qr_code.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

// Readable QString values in failure messages.
static void PrintTo(const QString& text, std::ostream* out) {
    *out << text.toStdString();
}

namespace pointrelay::app {
namespace {

NetworkInterface iface(const char* name, const char* ipv4, bool up = true, bool loopback = false) {
    NetworkInterface entry{QString::fromUtf8(name), up, loopback, up, std::nullopt};
    if (ipv4 != nullptr)
        entry.ipv4Address = QString::fromUtf8(ipv4);
    return entry;
}

TEST(PrimaryIPv4AddressTest, SelectionRules) {
    struct Case {
        const char* what;
        NetworkInterfaceList list;
        std::optional<QString> expected;
    };
    const std::vector<Case> cases = {
        {"en0 wins over an earlier eligible en5",
         {iface("lo0", "127.0.0.1", true, true), iface("utun3", "10.8.0.2"),
          iface("en5", "192.168.2.5"), iface("en0", "192.168.1.10")},
         "192.168.1.10"},
        {"the first of en0/en1 in list order wins",
         {iface("en5", "10.0.0.5"), iface("en1", "10.0.0.1"), iface("en0", "10.0.0.0")},
         "10.0.0.1"},
        {"bridge skipped, en5 kept",
         {iface("bridge100", "10.1.0.1"), iface("en5", "10.2.0.5")},
         "10.2.0.5"},
        {"every excluded prefix",
         {iface("awdl0", "1.1.1.1"), iface("llw0", "2.2.2.2"), iface("utun0", "3.3.3.3"),
          iface("bridge0", "4.4.4.4"), iface("xutun0", "5.5.5.5")},
         "5.5.5.5"},
        {"en10 is no en0: first eligible wins",
         {iface("eth0", "10.0.0.7"), iface("en10", "10.0.0.10")},
         "10.0.0.7"},
        {"down en0 never chosen",
         {iface("en0", "10.0.0.1", false), iface("eth0", "10.0.0.2")},
         "10.0.0.2"},
        {"loopback flag excludes any name", {iface("eth9", "10.9.9.9", true, true)}, std::nullopt},
        {"entries without IPv4 are skipped",
         {iface("en0", nullptr), iface("wlan0", "10.3.3.3")},
         "10.3.3.3"},
        {"only loopback", {iface("lo", "127.0.0.1", true, true)}, std::nullopt},
        {"empty list", {}, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(primaryIPv4Address(c.list), c.expected) << c.what;

    NetworkInterface notRunning = iface("eth0", "10.4.4.4");
    notRunning.running = false; // IFF_RUNNING is not looked at
    EXPECT_EQ(primaryIPv4Address({notRunning}), QStringLiteral("10.4.4.4"));
    EXPECT_EQ(pairingHost({iface("lo", "127.0.0.1", true, true)}), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(hostAdvertiseModeFromRaw(1), HostAdvertiseMode::ipv4Address);
    for (std::int64_t raw : {std::int64_t{-1}, std::int64_t{2}, std::int64_t{1} << 32})
        EXPECT_EQ(hostAdvertiseModeFromRaw(raw), std::nullopt) << raw;
}

TEST(HostNameTest, SourcesFallbacksAndTheAdvertisedHost) {
    const NetworkInterfaceList list = {iface("en0", "192.168.1.10")};
    EXPECT_EQ(advertisedHost(HostAdvertiseMode::bonjourLocalName, list, "studio"), "studio.local");
    EXPECT_EQ(advertisedHost(HostAdvertiseMode::ipv4Address, list, "studio"), "192.168.1.10");
    EXPECT_EQ(advertisedHost(HostAdvertiseMode::ipv4Address, {}, "studio"), "127.0.0.1");
    EXPECT_EQ(localHostName({QString("studio"), QByteArray("other")}), "studio");
    EXPECT_EQ(localHostName({QString(""), QByteArray("other")}), "other");
    // Domains are cut so that ".local" appended later names this host.
    EXPECT_EQ(localHostName({QString("box.example.org"), std::nullopt}), "box");
    EXPECT_EQ(localHostName({QString("box.local"), std::nullopt}), "box");
    EXPECT_EQ(localHostName({QString(".example"), QByteArray("other.lan")}), "other");
    EXPECT_EQ(localHostName({std::nullopt, QByteArray("caf\xe9")}), QString::fromUtf8("caf\uFFFD"));
    EXPECT_EQ(localHostName({std::nullopt, QByteArray()}), "localhost");
    EXPECT_EQ(localHostName({std::nullopt, std::nullopt}), "localhost");
    EXPECT_FALSE(localHostName().isEmpty());

    QTemporaryDir dir;
    const QString path = dir.filePath("hostname");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("# managed by hand\n\n  workstation  \nsecond\n");
    file.close();
    EXPECT_EQ(readStaticHostName(path), QStringLiteral("workstation"));
    EXPECT_EQ(readStaticHostName(dir.filePath("missing")), std::nullopt);
}

TEST(PairingPayloadTest, ExactCompactBytes) {
    const QString key = QStringLiteral("0123456789abcdef").repeated(4);
    const auto payload = makePairingPayload(65535, key, {iface("en0", "192.168.1.10")});
    EXPECT_EQ(payload.toJson(),
              QByteArray(R"({"host":"192.168.1.10","port":65535,"psk":")") + key.toUtf8() + "\"}");
    // No key and no interface: empty key text and the loopback host.
    EXPECT_EQ(makePairingPayload(9000, std::nullopt, {}).toJson(),
              QByteArray(R"({"host":"127.0.0.1","port":9000,"psk":""})"));
    // Non-ASCII stays raw UTF-8; quotes, backslashes and control characters are escaped.
    const PairingPayload odd{QString::fromUtf8("Überhöst"), 1024,
                             QString::fromUtf8("a\"b\\c\n\x01😀")};
    const QByteArray json = odd.toJson();
    EXPECT_EQ(json, QByteArray("{\"host\":\"\xc3\x9c"
                               "berh\xc3\xb6st\",\"port\":1024,"
                               "\"psk\":\"a\\\"b\\\\c\\n\\u0001\xf0\x9f\x98\x80\"}"));
    const QJsonObject back = QJsonDocument::fromJson(json).object();
    EXPECT_EQ(back.size(), 3);
    EXPECT_EQ(back.value("psk").toString(), odd.psk);
}

TEST(PairingPayloadTest, KeyHintAndLines) {
    EXPECT_EQ(keyHint(std::nullopt), "未設定");
    EXPECT_EQ(keyHint(QString()), "未設定");
    EXPECT_EQ(keyHint(QString("12345678")), "12345678");
    EXPECT_EQ(keyHint(QString("123456789")), "1234•6789");
    const QString key = QStringLiteral("0123456789abcdef").repeated(4);
    EXPECT_EQ(keyHint(key), "0123" + QString(56, QChar(0x2022)) + "cdef");
    // Characters are user-perceived ones: emoji (surrogate pairs) are neither split nor
    // counted twice.
    const QString emoji = QString::fromUtf8("😀😁😂😃😄😅😆😇😈");
    EXPECT_EQ(keyCharacterCount(emoji), 9);
    EXPECT_EQ(keyHint(emoji), QString::fromUtf8("😀😁😂😃•😅😆😇😈"));

    EXPECT_EQ(pairingAddressLine("192.168.1.10", 65535), "IP: 192.168.1.10:65535");
    EXPECT_EQ(pairingKeyHintLine(std::nullopt), "PSKヒント: 未設定  (0桁)");
    EXPECT_EQ(pairingKeyHintLine(key), "PSKヒント: " + keyHint(key) + "  (64桁)");
    EXPECT_EQ(pairingKeyHintLine(QString("%1%2")), "PSKヒント: %1%2  (4桁)");
}

TEST(PairingPayloadTest, LocalIPv4LogLines) {
    std::ostringstream out;
    logLocalIPv4Interfaces({iface("lo", "127.0.0.1", true, true), iface("eth0", nullptr),
                            iface("eth1", "10.0.0.9", false), iface("utun0", "10.8.0.2")},
                           out);
    EXPECT_EQ(out.str(), "[LocalIPv4] ---- interfaces ----\n"
                         "  lo -> 127.0.0.1\n"
                         "  eth1 -> 10.0.0.9\n"
                         "  utun0 -> 10.8.0.2\n");
    std::ostringstream none, noIPv4;
    logLocalIPv4Interfaces({}, none);
    logLocalIPv4Interfaces({iface("eth0", nullptr)}, noIPv4);
    EXPECT_EQ(none.str(), "");
    EXPECT_EQ(noIPv4.str(), "[LocalIPv4] ---- interfaces ----\n");
}

// Decodes a QR image file with zbarimg; nothing when zbarimg reads no code.
std::optional<QByteArray> decodeQr(const QString& zbarimg, const QString& path) {
    QProcess process;
    process.start(zbarimg, {"--raw", "-q", path});
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return std::nullopt;
    QByteArray out = process.readAllStandardOutput();
    if (!out.endsWith('\n'))
        return std::nullopt;
    out.chop(1);
    return out;
}

TEST(QrCodeTest, PngAndTerminalTextDecodeBackToThePayload) {
    const QString zbarimg = QStandardPaths::findExecutable("zbarimg");
    if (zbarimg.isEmpty())
        GTEST_SKIP() << "zbarimg (Debian zbar-tools) is not installed; cannot decode the QR code";
    QTemporaryDir dir;
    const QString path = dir.filePath("pair.png");
    QFile stale(path); // an earlier, world-readable file of the same name
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    stale.close();

    const QString key = QStringLiteral("0123456789abcdef").repeated(4);
    const QByteArray payloads[] = {
        makePairingPayload(9000, key, {iface("en0", "192.168.1.10")}).toJson(),
        PairingPayload{QString::fromUtf8("東京-studio"), 9000, QString::fromUtf8("é") + key}
            .toJson(),
    };
    for (const QByteArray& payload : payloads) {
        SCOPED_TRACE(payload.toStdString());
        const auto code = QrCode::encode(payload);
        const auto image = makeQRImage(payload);
        ASSERT_TRUE(code && image);
        const int modules = code->width() + 2 * QrCode::kQuietZoneModules;
        ASSERT_EQ(image->size(), QSize(modules * 8, modules * 8)); // 8 pixels a module
        ASSERT_TRUE(saveQRImagePng(*image, path));
        struct stat info {};
        ASSERT_EQ(stat(QFile::encodeName(path).constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << "the file carries the key";
        EXPECT_EQ(decodeQr(zbarimg, path), payload);

        // The terminal text, read back module by module, is the same code with its quiet zone.
        const QStringList lines = code->toTerminalText(TerminalQrStyle::plain).split('\n');
        ASSERT_EQ(lines.size(), (modules + 1) / 2 + 1); // the text ends with a newline
        QImage fromText(modules, modules, QImage::Format_Grayscale8);
        for (int row = 0; row < modules; ++row) {
            ASSERT_EQ(lines[row / 2].size(), modules);
            for (int col = 0; col < modules; ++col) {
                const QChar cell = lines[row / 2][col];
                const bool dark = cell == QChar(0x2588) || cell == QChar(row % 2 ? 0x2584 : 0x2580);
                EXPECT_EQ(dark, code->isDark(col - 4, row - 4)) << row << "," << col;
                fromText.setPixel(col, row, dark ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
            }
        }
        const QString textPath = dir.filePath("terminal.png");
        ASSERT_TRUE(saveQRImagePng(fromText.scaled(modules * 8, modules * 8), textPath));
        EXPECT_EQ(decodeQr(zbarimg, textPath), payload);
    }
    EXPECT_FALSE(saveQRImagePng(*makeQRImage("x"), dir.filePath("missing/pair.png")));
}

TEST(QrCodeTest, TerminalColoursAndEncodingFailures) {
    const auto code = QrCode::encode("x");
    ASSERT_TRUE(code);
    const QStringList lines = code->toTerminalText(TerminalQrStyle::explicitColors).split('\n');
    const QString blank(code->width() + 8, QLatin1Char(' '));
    EXPECT_EQ(lines.front(), "\x1b[30;107m" + blank + "\x1b[0m"); // rows -4 and -3
    EXPECT_EQ(lines[1], lines.front());                           // rows -2 and -1
    EXPECT_EQ(lines[lines.size() - 2], lines.front());            // last rows and beyond
    EXPECT_EQ(lines.back(), "");

    EXPECT_FALSE(QrCode::encode(""));
    EXPECT_FALSE(QrCode::encode(QByteArray("ab\0cd", 5))); // would be cut at the zero byte
    EXPECT_FALSE(makeQRImage(QByteArray(3000, 'a')));      // beyond version 40 at level M
}

} // namespace
} // namespace pointrelay::app
