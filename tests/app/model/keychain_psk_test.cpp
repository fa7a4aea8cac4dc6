// SPDX-License-Identifier: MIT
#include "model/fallback_psk_store.h"
#include "model/file_psk_store.h"
#include "model/keychain_psk.h"
#include "model/qt_keychain_psk_store.h"
#include "support/temp_dir.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pointrelay::app {
namespace {

const QString kBullets = QStringLiteral("\u2022\u2022\u2022\u2022\u2022\u2022");

mode_t modeOf(const QString& path) {
    struct stat info {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0) << path.toStdString();
    return info.st_mode & 07777;
}

/// Fails every write, and otherwise passes through: a store that breaks half way.
class FailingWrites final : public PskStore {
public:
    explicit FailingWrites(std::shared_ptr<PskStore> inner) : m_inner(std::move(inner)) {}
    QString name() const override { return m_inner->name(); }
    ReadResult read(const QString& s, const QString& a) override { return m_inner->read(s, a); }
    Status write(const QString&, const QString&, const QByteArray&) override {
        return Status::failed;
    }
    Status remove(const QString& s, const QString& a) override { return m_inner->remove(s, a); }

private:
    std::shared_ptr<PskStore> m_inner;
};

/// A store that answers every call with one status and counts the calls.
class ScriptedStore final : public PskStore {
public:
    ScriptedStore(QString name, Status status) : m_status(status), m_name(std::move(name)) {}
    QString name() const override { return m_name; }
    ReadResult read(const QString&, const QString&) override { return {answer(), {}}; }
    Status write(const QString&, const QString&, const QByteArray&) override { return answer(); }
    Status remove(const QString&, const QString&) override { return answer(); }
    Status answer() {
        ++calls;
        return m_status;
    }
    int calls = 0;
    Status m_status;

private:
    QString m_name;
};

class KeyStoreTest : public ::testing::Test {
protected:
    QString folder() const { return QString::fromStdString(m_temp.path().string()) + "/keys"; }
    QString itemFolder() const { return folder() + "/org.pointrelay.test"; }
    test::TempDir m_temp;
    std::shared_ptr<FilePskStore> m_files = std::make_shared<FilePskStore>(folder());
    KeychainPSK m_psk{"org.pointrelay.test", "psk", m_files};
};

TEST_F(KeyStoreTest, KeysAreMadeStoredMaskedAndAFailedSaveKeepsTheOldOne) {
    EXPECT_EQ(m_psk.load(), std::nullopt);
    EXPECT_EQ(m_psk.maskedText(), "（未設定）");
    EXPECT_FALSE(m_psk.remove());
    const QString first = m_psk.generateAndStore();
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{64}$").match(first).hasMatch());
    EXPECT_EQ(m_psk.maskedText(), first.left(3) + kBullets + first.right(3));
    const QString second = m_psk.generateAndStore();
    EXPECT_NE(second, first);
    EXPECT_EQ(m_psk.load(), second);
    // One item, and no temporary file left beside it.
    EXPECT_EQ(QDir(itemFolder()).entryList(QDir::Files | QDir::Hidden), QStringList{"psk"});
    // Masks count characters, not code units: six emoji are six, seven keep their halves.
    EXPECT_EQ(KeychainPSK::mask(QString("abcdef")), kBullets);
    EXPECT_EQ(KeychainPSK::mask(QString("abcdefg")), "abc" + kBullets + "efg");
    EXPECT_EQ(KeychainPSK::mask(QString("😀😁😂🤣😃😄")), kBullets);
    EXPECT_EQ(KeychainPSK::mask(QString("😀😁😂x🤣😃😄")),
              "😀😁😂" + kBullets + "🤣😃😄");

    const KeychainPSK broken("org.pointrelay.test", "psk",
                             std::make_shared<FailingWrites>(m_files));
    EXPECT_FALSE(broken.save("a-new-key"));
    EXPECT_EQ(broken.generateAndStore().size(), 64); // still handed out for this run
    EXPECT_EQ(broken.load(), second);
    ASSERT_EQ(m_files->write("org.pointrelay.test", "psk", "ab\xff\xfe"), PskStore::Status::ok);
    EXPECT_EQ(m_psk.load(), std::nullopt); // not UTF-8: no key
    EXPECT_TRUE(m_psk.remove());
}

// The key file is the user's alone, replaced in one step, and kept to its folder.
TEST_F(KeyStoreTest, TheKeyFileIsOwnerOnlyAtomicAndConfined) {
    const mode_t oldMask = ::umask(0);
    ASSERT_TRUE(QDir().mkpath(itemFolder()));
    ::chmod(QFile::encodeName(folder()).constData(), 0755); // a folder others could list
    QFile planted(itemFolder() + "/psk");
    ASSERT_TRUE(planted.open(QIODevice::WriteOnly));
    planted.close();
    ::chmod(QFile::encodeName(planted.fileName()).constData(), 0644);
    struct stat before {};
    ::stat(QFile::encodeName(planted.fileName()).constData(), &before);
    EXPECT_TRUE(m_psk.save("0123456789"));
    ::umask(oldMask);
    for (const QString& path : {planted.fileName(), itemFolder(), folder()})
        EXPECT_EQ(modeOf(path), path == planted.fileName() ? 0600u : 0700u) << path.toStdString();
    struct stat after {};
    ::stat(QFile::encodeName(planted.fileName()).constData(), &after);
    EXPECT_NE(after.st_ino, before.st_ino); // a new file renamed over the old, never rewritten
    for (const char* name : {"", ".", "..", "../escape", "a/b"}) {
        EXPECT_EQ(m_files->write(name, "psk", "x"), PskStore::Status::failed) << name;
        EXPECT_EQ(m_files->write("org.pointrelay.test", name, "x"), PskStore::Status::failed);
    }
    // A symbolic link in the item's place is not followed.
    QFile::remove(planted.fileName());
    QFile elsewhere(folder() + "/elsewhere");
    ASSERT_TRUE(elsewhere.open(QIODevice::WriteOnly) && elsewhere.write("0123456789") == 10);
    elsewhere.close();
    ASSERT_TRUE(QFile::link(elsewhere.fileName(), planted.fileName()));
    EXPECT_EQ(m_psk.load(), std::nullopt);
}

TEST(FallbackPskStoreTest, TheStoreIsChosenOnceByTheFirstAnswer) {
    auto keychain = std::make_shared<ScriptedStore>("keychain", PskStore::Status::unavailable);
    auto file = std::make_shared<ScriptedStore>("file", PskStore::Status::notFound);
    FallbackPskStore unanswered(keychain, file, "svc", "psk");
    EXPECT_EQ(unanswered.name(), "file");
    keychain->m_status = PskStore::Status::ok; // a keychain that appears later is not used
    EXPECT_EQ(unanswered.write("svc", "psk", "k"), PskStore::Status::notFound);
    EXPECT_EQ(keychain->calls, 1); // one probe
    keychain->m_status = PskStore::Status::notFound;
    FallbackPskStore answering(keychain, file, "svc", "psk");
    EXPECT_FALSE(answering.usesFallback());
    keychain->m_status = PskStore::Status::unavailable; // the key must not move to the file
    EXPECT_EQ(answering.write("svc", "psk", "k"), PskStore::Status::unavailable);
    EXPECT_EQ(file->calls, 1);
}

// ---- the real keychain (a Secret Service on the session bus) ----

/// The test's own item, so that a developer's real key is never touched.
QString testService() {
    return QStringLiteral("org.pointrelay.test-%1").arg(::getpid());
}

/// The Secret Service's own view of the item, through another client.
std::optional<QString> lookUpWithSecretTool(const QString& service) {
    const QString tool = QStandardPaths::findExecutable("secret-tool");
    if (tool.isEmpty()) {
        return std::nullopt;
    }
    QProcess process;
    process.start(tool, {"lookup", "server", service, "user", "psk"});
    if (!process.waitForFinished(10000) || process.exitCode() != 0) {
        return std::nullopt;
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

TEST(SecretServiceTest, KeysRoundTripThroughTheKeychain) {
    auto keychain = std::make_shared<QtKeychainPskStore>();
    const KeychainPSK psk(testService(), "psk", keychain);
    const auto probe = keychain->read(testService(), "psk").status;
    if (probe == PskStore::Status::unavailable) {
        if (qEnvironmentVariableIsSet("POINTRELAY_EXPECT_SECRET_SERVICE")) {
            FAIL() << "no Secret Service answers inside the keyring session";
        }
        GTEST_SKIP() << "no Secret Service on the session bus";
    }
    ASSERT_EQ(probe, PskStore::Status::notFound);
    EXPECT_EQ(psk.load(), std::nullopt);
    EXPECT_FALSE(psk.remove());

    const QString first = psk.generateAndStore();
    const QString second = psk.generateAndStore();
    EXPECT_EQ(psk.load(), second);
    if (const auto seen = lookUpWithSecretTool(testService())) {
        EXPECT_EQ(*seen, second); // one item, stored as plain text
    }
    EXPECT_EQ(psk.maskedText(), second.left(3) + kBullets + second.right(3));
    EXPECT_TRUE(psk.remove());
    EXPECT_FALSE(psk.remove());
    EXPECT_EQ(psk.load(), std::nullopt);
    EXPECT_NE(first, second);
}

TEST(SecretServiceTest, TheChosenStoreHoldsTheKeyAndIsNamed) {
    test::TempDir temp;
    const QString folder = QString::fromStdString(temp.path().string());
    auto store = std::make_shared<FallbackPskStore>(std::make_shared<QtKeychainPskStore>(),
                                                    std::make_shared<FilePskStore>(folder),
                                                    testService(), "psk");
    const KeychainPSK psk(testService(), "psk", store);
    ASSERT_TRUE(psk.save("chosen-store-key"));
    const bool inFile = QFile::exists(folder + "/" + testService() + "/psk");
    EXPECT_EQ(inFile, store->usesFallback());
    EXPECT_EQ(psk.storeName(), inFile ? "ファイル (" + folder + ")" : QString("キーチェーン"));
    if (qEnvironmentVariableIsSet("POINTRELAY_EXPECT_SECRET_SERVICE")) {
        EXPECT_FALSE(inFile);
        EXPECT_EQ(lookUpWithSecretTool(testService()), "chosen-store-key");
    }
    EXPECT_TRUE(psk.remove());
}

} // namespace
} // namespace pointrelay::app
