// SPDX-License-Identifier: MIT
// What the phone is told: the host chosen from the interfaces and host names, the payload's
// exact bytes, the texts beside the code, and the code itself, read back with zbarimg.
#include "model/pairing.h"
#include "model/qr_code.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

// Readable QString values in failure messages.
static void PrintTo(const QString& text, std::ostream* out) {
    *out << text.toStdString();
}

namespace pointrelay::app {
namespace {

NetworkInterface iface(const char* name, const char* ipv4, bool up = true, bool loopback = false) {
    return {name, up, loopback, false, ipv4 ? std::optional<QString>(ipv4) : std::nullopt};
}
const QString kKey = QStringLiteral("0123456789abcdef").repeated(4);

TEST(PairingTest, TheHostThePayloadAndTheTextsBesideTheCode) {
    // en0 and en1 win wherever they are; before that the first up, non-loopback entry of a kind
    // a phone reaches ("awdl", "llw", "utun", "bridge" are not).
    const std::pair<NetworkInterfaceList, const char*> cases[] = {
        {{iface("lo", "127.0.0.1", true, true), iface("utun3", "1.0.0.3"), iface("en5", "1.0.0.5"),
          iface("en1", "1.0.0.1"), iface("en0", "1.0.0.0")},
         "1.0.0.1"},
        {{iface("awdl0", "1.1.1.1"), iface("llw0", "2.2.2.2"), iface("utun0", "3.3.3.3"),
          iface("bridge0", "4.4.4.4"), iface("xutun0", "5.5.5.5")},
         "5.5.5.5"},
        {{iface("en0", "1.0.0.1", false), iface("en1", nullptr), iface("en10", "1.0.0.2")},
         "1.0.0.2"},
        {{iface("eth9", "10.9.9.9", true, true)}, "127.0.0.1"}};
    for (const auto& [list, host] : cases)
        EXPECT_EQ(pairingHost(list), host);
    for (const NetworkInterface& entry : localNetworkInterfaces()) // this computer's, as listed
        EXPECT_EQ(entry.loopback, entry.name == "lo") << entry.name.toStdString();
    EXPECT_EQ(advertisedHost(HostAdvertiseMode::bonjourLocalName, {}, "studio"), "studio.local");
    // Only the first label is used, since ".local" is appended to it.
    EXPECT_EQ(localHostName({QString("box.example.org"), QByteArray("other")}), "box");
    EXPECT_EQ(localHostName({QString(".example"), QByteArray("other.lan")}), "other");
    QTemporaryDir dir;
    std::ofstream(dir.filePath("hostname").toStdString()) << "# by hand\n\n  workstation \nx\n";
    EXPECT_EQ(readStaticHostName(dir.filePath("hostname")), "workstation");

    EXPECT_EQ(makePairingPayload(65535, kKey, {iface("en0", "192.168.1.10")}).toJson(),
              R"({"host":"192.168.1.10","port":65535,"psk":")" + kKey.toUtf8() + "\"}");
    // Non-ASCII stays raw UTF-8; quotes, backslashes and control characters are escaped.
    EXPECT_EQ((PairingPayload{"Ü", 1024, "a\"b\\c\n\x01😀"}.toJson()),
              "{\"host\":\"Ü\",\"port\":1024,\"psk\":\"a\\\"b\\\\c\\n\\u0001😀\"}");
    // The hint shows at most 4 and 4 characters of the key, one "•" for each one between.
    EXPECT_EQ(pairingKeyHintLine(std::nullopt), "PSKヒント: 未設定  (0桁)");
    EXPECT_EQ(keyHint(QString()), "未設定");
    EXPECT_EQ(pairingKeyHintLine(QString("%1😀").repeated(8)),
              "PSKヒント: %1😀%" + QString(16, u'•') + "😀%1😀  (24桁)");
    EXPECT_EQ(keyHint(QString("zzzz")), "••••"); // a short key shows none of itself
    EXPECT_EQ(keyHint(QString("😀😁😂😃😄").repeated(3) + "x"), "😀😁😂😃" + QString(8, u'•') + "😂😃😄x");
    EXPECT_EQ(pairingKeyHintLine(kKey), "PSKヒント: 0123" + QString(56, u'•') + "cdef  (64桁)");
}

// The code as a PNG (written owner-only over an earlier world-readable file) decodes to the
// payload, UTF-8 behind its ECI designator; the terminal text is the same code module by module,
// black on white. (The headless command's and the widget tests decode ASCII payloads.)
TEST(QrCodeTest, TheImageAndTheTerminalTextCarryThePayload) {
    const QByteArray payload = PairingPayload{"東京", 9000, "é"}.toJson();
    const auto code = QrCode::encode(payload);
    QTemporaryDir dir;
    const QString path = dir.filePath("pair.png");
    QFile(path).open(QIODevice::WriteOnly);
    ::chmod(QFile::encodeName(path).constData(), 0644);
    ASSERT_TRUE(code && saveQRImagePng(*makeQRImage(payload), path));
    EXPECT_EQ(QFile(path).permissions() & 0x7077, QFile::ReadOwner | QFile::WriteOwner);
    if (!QStandardPaths::findExecutable("zbarimg").isEmpty()) {
        QProcess zbarimg;
        zbarimg.start("zbarimg", {"--raw", "-q", path});
        EXPECT_TRUE(zbarimg.waitForFinished(30000));
        EXPECT_EQ(zbarimg.readAllStandardOutput(), payload + '\n');
    }
    const QStringList lines = code->toTerminalText(TerminalQrStyle::explicitColors).split('\n');
    const int modules = code->width() + 2 * QrCode::kQuietZoneModules;
    ASSERT_EQ(lines.size(), (modules + 1) / 2 + 1); // the text ends with a newline
    for (int row = 0; row < modules; ++row) {
        const QString line = lines[row / 2].mid(9).chopped(4); // between colour and reset
        ASSERT_EQ(line.size(), modules) << lines[row / 2].toStdString();
        for (int col = 0; col < modules; ++col)
            ASSERT_EQ(line[col] == u'█' || line[col] == (row % 2 ? u'▄' : u'▀'),
                      code->isDark(col - 4, row - 4))
                << row << "," << col;
    }
    EXPECT_TRUE(lines.front().startsWith("\x1b[30;107m") && lines.front().endsWith("\x1b[0m"));
    EXPECT_FALSE(saveQRImagePng(*makeQRImage("x"), dir.filePath("missing/pair.png")));
    // Empty, or one that would be cut at the zero byte.
    EXPECT_FALSE(QrCode::encode("") || QrCode::encode(QByteArray("ab\0cd", 5)));
    EXPECT_FALSE(makeQRImage(QByteArray(3000, 'a'))); // beyond version 40 at level M
}

} // namespace
} // namespace pointrelay::app
