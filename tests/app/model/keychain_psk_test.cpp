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

// ---- the key and its masked form, over the file store ----

TEST_F(KeyStoreTest, WithoutAnItemThereIsNoKey) {
    EXPECT_EQ(m_psk.load(), std::nullopt);
    EXPECT_EQ(m_psk.maskedText(), "（未設定）");
    EXPECT_FALSE(m_psk.remove());
}

TEST_F(KeyStoreTest, GeneratedKeysAreStoredAndMasked) {
    const QString first = m_psk.generateAndStore();
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{64}$").match(first).hasMatch())
        << first.toStdString();
    EXPECT_EQ(m_psk.load(), first);
    EXPECT_EQ(m_psk.maskedText(), first.left(3) + kBullets + first.right(3));
    EXPECT_EQ(m_psk.maskedText().size(), 12);

    const QString second = m_psk.generateAndStore();
    EXPECT_NE(second, first);
    EXPECT_EQ(m_psk.load(), second);
    // One item, and no temporary file left beside it.
    EXPECT_EQ(QDir(itemFolder()).entryList(QDir::Files | QDir::Hidden), QStringList{"psk"});
    EXPECT_TRUE(m_psk.remove());
    EXPECT_FALSE(m_psk.remove());
    EXPECT_EQ(m_psk.load(), std::nullopt);
}

TEST_F(KeyStoreTest, MaskingCountsCharactersNotCodeUnits) {
    ASSERT_TRUE(m_psk.save("abcdef"));
    EXPECT_EQ(m_psk.maskedText(), kBullets);
    ASSERT_TRUE(m_psk.save("abcdefg"));
    EXPECT_EQ(m_psk.maskedText(), "abc" + kBullets + "efg");
    EXPECT_EQ(KeychainPSK::mask(QString()), kBullets);
    // Six emoji are twelve UTF-16 units but six characters; seven must not be split in halves.
    EXPECT_EQ(KeychainPSK::mask(QString("😀😁😂🤣😃😄")), kBullets);
    EXPECT_EQ(KeychainPSK::mask(QString("😀😁😂x🤣😃😄")),
              "😀😁😂" + kBullets + "🤣😃😄");
}

TEST_F(KeyStoreTest, AnItemThatIsNotUtf8IsNoKey) {
    ASSERT_EQ(m_files->write("org.pointrelay.test", "psk",
                             QByteArray("ab\xff\xfe"
                                        "cdefg")),
              PskStore::Status::ok);
    EXPECT_EQ(m_psk.load(), std::nullopt);
    EXPECT_EQ(m_psk.maskedText(), "（未設定）");
}

TEST_F(KeyStoreTest, AFailedSaveKeepsTheEarlierKey) {
    ASSERT_TRUE(m_psk.save("the-old-key"));
    const KeychainPSK broken("org.pointrelay.test", "psk",
                             std::make_shared<FailingWrites>(m_files));
    EXPECT_FALSE(broken.save("a-new-key"));
    const QString made = broken.generateAndStore(); // still handed out for this run
    EXPECT_EQ(made.size(), 64);
    EXPECT_EQ(broken.load(), "the-old-key");
}

// ---- the file store itself ----

TEST_F(KeyStoreTest, TheKeyFileIsOwnerOnlyAndReplacedAtomically) {
    const mode_t oldMask = ::umask(0);
    ASSERT_TRUE(QDir().mkpath(itemFolder()));
    ::chmod(QFile::encodeName(folder()).constData(), 0755); // a folder others could list
    QFile planted(itemFolder() + "/psk");
    ASSERT_TRUE(planted.open(QIODevice::WriteOnly));
    planted.write("planted");
    planted.close();
    ::chmod(QFile::encodeName(planted.fileName()).constData(), 0644);
    struct stat before {};
    ::stat(QFile::encodeName(planted.fileName()).constData(), &before);

    EXPECT_TRUE(m_psk.save("0123456789"));
    ::umask(oldMask);
    EXPECT_EQ(modeOf(planted.fileName()), 0600u);
    EXPECT_EQ(modeOf(itemFolder()), 0700u);
    EXPECT_EQ(modeOf(folder()), 0700u);
    struct stat after {};
    ::stat(QFile::encodeName(planted.fileName()).constData(), &after);
    EXPECT_NE(after.st_ino, before.st_ino); // a new file renamed over the old, never rewritten
    EXPECT_EQ(m_psk.load(), "0123456789");
}

TEST_F(KeyStoreTest, TheFileStoreKeepsToItsFolder) {
    for (const char* name : {"", ".", "..", "../escape", "a/b"}) {
        EXPECT_EQ(m_files->write(name, "psk", "x"), PskStore::Status::failed) << name;
        EXPECT_EQ(m_files->write("org.pointrelay.test", name, "x"), PskStore::Status::failed);
    }
    EXPECT_FALSE(QFile::exists(QString::fromStdString(m_temp.path().string()) + "/escape"));
    // A symbolic link in the item's place is not followed.
    ASSERT_TRUE(QDir().mkpath(itemFolder()));
    QFile target(QString::fromStdString(m_temp.path().string()) + "/elsewhere");
    ASSERT_TRUE(target.open(QIODevice::WriteOnly));
    target.write("0123456789");
    target.close();
    ASSERT_TRUE(QFile::link(target.fileName(), itemFolder() + "/psk"));
    EXPECT_EQ(m_psk.load(), std::nullopt);
}

// ---- choosing the store once ----

TEST(FallbackPskStoreTest, AnUnansweredKeychainIsReplacedByTheFileForGood) {
    auto keychain = std::make_shared<ScriptedStore>("keychain", PskStore::Status::unavailable);
    auto file = std::make_shared<ScriptedStore>("file", PskStore::Status::notFound);
    FallbackPskStore store(keychain, file, "svc", "psk");
    EXPECT_EQ(store.name(), "file");
    EXPECT_EQ(store.read("svc", "psk").status, PskStore::Status::notFound);
    keychain->m_status = PskStore::Status::ok; // a keychain that appears later is not used
    EXPECT_EQ(store.write("svc", "psk", "k"), PskStore::Status::notFound);
    EXPECT_EQ(keychain->calls, 1); // one probe
    EXPECT_EQ(file->calls, 2);
}

TEST(FallbackPskStoreTest, AnAnsweringKeychainKeepsItsErrors) {
    auto keychain = std::make_shared<ScriptedStore>("keychain", PskStore::Status::notFound);
    auto file = std::make_shared<ScriptedStore>("file", PskStore::Status::ok);
    FallbackPskStore store(keychain, file, "svc", "psk");
    EXPECT_FALSE(store.usesFallback());
    keychain->m_status = PskStore::Status::unavailable; // the key must not move to the file
    EXPECT_EQ(store.write("svc", "psk", "k"), PskStore::Status::unavailable);
    EXPECT_EQ(store.name(), "keychain");
    EXPECT_EQ(file->calls, 0);
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
