// SPDX-License-Identifier: MIT
// The key: made, stored, masked; the owner-only key file; and the choice between the keychain
// (gnome-keyring's Secret Service on a private bus, with_keyring.sh) and the file.
#include "model/device_list.h"
#include "model/fallback_psk_store.h"
#include "model/file_psk_store.h"
#include "model/keychain_psk.h"
#include "model/qt_keychain_psk_store.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pointrelay::app {
namespace {

using Status = PskStore::Status;
const QString kBullets(6, QChar(0x2022));
// The test's own item, so that a developer's real key is never touched.
const QString kService = QStringLiteral("org.pointrelay.test-%1").arg(::getpid());

struct stat statOf(const QString& path) {
    struct stat info {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0) << path.toStdString();
    return info;
}

// The key file is the user's alone: owner-only in owner-only folders (also ones that existed
// before, and a file opened up by hand is repaired when read), replaced in one step, kept to
// its folder, never reached through a symbolic link.
TEST(KeyFileTest, KeysAreMadeStoredMaskedAndKeptPrivate) {
    QTemporaryDir temp;
    const QString folder = temp.filePath("keys"), item = folder + "/" + kService + "/psk";
    const auto files = std::make_shared<FilePskStore>(folder);
    const KeychainPSK psk(kService, "psk", files); // (its mask while unset: AppStateTest)
    ASSERT_TRUE(QDir().mkpath(folder + "/" + kService) && QFile(item).open(QIODevice::WriteOnly));
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    ::chmod(QFile::encodeName(item).constData(), 0644);
    const ino_t planted = statOf(item).st_ino;
    const QString key = psk.generateAndStore();
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{64}$").match(key).hasMatch()) << key.toStdString();
    EXPECT_NE(statOf(item).st_ino, planted); // a new file renamed over the old one
    for (const QString& path : {item, folder + "/" + kService, folder})
        EXPECT_EQ(statOf(path).st_mode & 07777, path == item ? 0600u : 0700u) << path.toStdString();
    EXPECT_EQ(QDir(folder + "/" + kService).entryList(QDir::Files | QDir::Hidden),
              QStringList{"psk"});
    ASSERT_TRUE(psk.save("0123456789"));
    ::chmod(QFile::encodeName(item).constData(), 0644);
    EXPECT_EQ(psk.load(), "0123456789");
    EXPECT_EQ(statOf(item).st_mode & 07777, 0600u);
    for (const char* name : {"", ".", "..", "../escape", "a/b"})
        EXPECT_EQ(files->write(name, "psk", "x"), Status::failed) << name;
    EXPECT_EQ(files->write(kService, "..", "x"), Status::failed);
    ASSERT_EQ(files->write(kService, "psk", "ab\xff\xfe"), Status::ok);
    EXPECT_EQ(psk.load(), std::nullopt); // not UTF-8: no key
    ASSERT_TRUE(psk.save("0123456789") && QFile::rename(item, item + "-moved") &&
                QFile::link(item + "-moved", item));
    EXPECT_EQ(psk.load(), std::nullopt); // a symbolic link in the item's place is not followed
    EXPECT_TRUE(psk.remove());
    // Masks count characters as the user sees them: seven emoji keep their halves. (The stored
    // key's mask, the widget test's.)
    EXPECT_EQ(KeychainPSK::mask(QString("abcdef")) +
                  KeychainPSK::mask(QString("😀😁😂x🤣😃😄")),
              kBullets + "😀😁😂" + kBullets + "🤣😃😄");
}

// The store is chosen by the keychain's first answer: the Secret Service where one answers (in
// the keyring session it must), else the owner-only file. The key round-trips through it, in the
// keychain as plain text that its other clients see.
TEST(SecretServiceTest, TheKeyGoesToTheKeychainWhereOneAnswersElseToTheFile) {
    QTemporaryDir folder;
    const auto store = std::make_shared<FallbackPskStore>(
        std::make_shared<QtKeychainPskStore>(), std::make_shared<FilePskStore>(folder.path()),
        kService, QStringList{"psk"});
    KeychainPSK psk(kService, "psk", store);
    const bool inFile = store->usesFallback();
    EXPECT_FALSE(inFile && qEnvironmentVariableIsSet("POINTRELAY_EXPECT_SECRET_SERVICE"));
    EXPECT_EQ(psk.storeName(), inFile ? "ファイル (" + folder.path() + ")" : "キーチェーン");
    EXPECT_FALSE(psk.remove());
    psk.generateAndStore();
    const QString key = psk.generateAndStore(); // replaces the first
    EXPECT_EQ(psk.load(), key);
    EXPECT_EQ(QDir(folder.path()).isEmpty(), !inFile);
    QProcess secretTool;
    secretTool.start("secret-tool", {"lookup", "server", kService, "user", "psk"});
    EXPECT_TRUE(inFile || (secretTool.waitForFinished(10000) &&
                           secretTool.readAllStandardOutput() == key.toUtf8()));
    EXPECT_TRUE(psk.remove() && !psk.load());
    DeviceList list(psk, nullptr); // the device list, a larger item, in the same store
    ASSERT_TRUE(list.add("Pixel").ok());
    EXPECT_EQ(DeviceList(psk, nullptr).load()->value(0).name, "Pixel");
    EXPECT_EQ(store->remove(kService, "devices"), Status::ok);
}

// A keychain that holds what it was given and otherwise answers `empty` (locked: failed).
struct ScriptedKeychain final : PskStore {
    QString name() const override { return QStringLiteral("キーチェーン"); }
    ReadResult read(const QString&, const QString& account) override {
        return items.contains(account) ? ReadResult{Status::ok, items[account]}
                                       : ReadResult{empty, {}};
    }
    Status write(const QString&, const QString& account, const QByteArray& data) override {
        return empty == Status::notFound ? (items[account] = data, Status::ok) : empty;
    }
    Status remove(const QString&, const QString& account) override {
        return items.remove(account) ? Status::ok : Status::notFound;
    }
    Status empty = Status::notFound;
    QMap<QString, QByteArray> items;
};

// Whichever store holds a key, it is the key: a file's keys (the single key and the device list)
// move into a keychain that answers and has none; a missing or locked keychain leaves them in the
// file; a keychain's key wins.
TEST(KeyStoreChoice, AKeyInEitherStoreIsTheKeyAndMovesIntoAnAnsweringKeychain) {
    const struct {
        Status empty;
        const char* inKeychain;
        bool fileKept, keychainUsed;
    } cases[] = {{Status::notFound, nullptr, false, true},
                 {Status::unavailable, nullptr, true, false},
                 {Status::failed, nullptr, true, false},
                 {Status::notFound, "keychain", true, true}};
    for (const auto& c : cases) {
        QTemporaryDir folder;
        auto keychain = std::make_shared<ScriptedKeychain>();
        keychain->empty = c.empty;
        if (c.inKeychain)
            keychain->items["devices"] = c.inKeychain;
        const auto file = std::make_shared<FilePskStore>(folder.path());
        ASSERT_EQ(file->write(kService, "psk", "file"), Status::ok);
        ASSERT_EQ(file->write(kService, "devices", "list"), Status::ok);
        const auto store = std::make_shared<FallbackPskStore>(keychain, file, kService,
                                                              QStringList{"devices", "psk"});
        const KeychainPSK psk(kService, "psk", store);
        SCOPED_TRACE(int(c.empty));
        EXPECT_EQ(psk.load(), c.inKeychain ? std::nullopt : std::optional<QString>("file"));
        EXPECT_EQ(store->usesFallback(), !c.keychainUsed);
        for (const char* item : {"psk", "devices"})
            EXPECT_EQ(file->read(kService, item).status,
                      c.fileKept ? Status::ok : Status::notFound);
        EXPECT_EQ(store->read(kService, "devices").data, c.inKeychain ? c.inKeychain : "list");
    }
    // A locked keychain with no key anywhere stays the store, so its failure is told.
    QTemporaryDir folder;
    auto locked = std::make_shared<ScriptedKeychain>();
    locked->empty = Status::failed;
    FallbackPskStore store(locked, std::make_shared<FilePskStore>(folder.path()), kService,
                           QStringList{"psk"});
    EXPECT_FALSE(store.usesFallback());
    // An answering keychain with no key anywhere (an empty file is none) gets nothing.
    auto empty = std::make_shared<ScriptedKeychain>();
    const auto file = std::make_shared<FilePskStore>(folder.path());
    ASSERT_EQ(file->write(kService, "psk", ""), Status::ok);
    FallbackPskStore fresh(empty, file, kService, QStringList{"devices", "psk"});
    EXPECT_TRUE(!fresh.usesFallback() && empty->items.isEmpty());
}

} // namespace
} // namespace pointrelay::app
