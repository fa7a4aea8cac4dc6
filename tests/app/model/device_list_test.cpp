// SPDX-License-Identifier: MIT
// The paired devices: the single key of earlier versions migrated once (in the key file and in
// a keychain-like store), a damaged list kept aside once, names and the limit, failed writes,
// and a browser named by its User-Agent.
#include "app/app_test_support.h"
#include "model/device_list.h"
#include "model/file_psk_store.h"
#include "model/keychain_psk.h"

#include <QMap>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace pointrelay::app {
namespace {

using Status = PskStore::Status;
const QString kKey = QString("0123456789abcdef").repeated(4);

// A keychain's behaviour in memory; `refuse` makes every write fail.
struct MemoryStore final : PskStore {
    QString name() const override { return "キーチェーン"; }
    ReadResult read(const QString&, const QString& account) override {
        return {items.contains(account) ? Status::ok : Status::notFound, items.value(account)};
    }
    Status write(const QString&, const QString& account, const QByteArray& data) override {
        return refuse ? Status::failed : (items[account] = data, Status::ok);
    }
    Status remove(const QString&, const QString& account) override {
        return items.remove(account) ? Status::ok : Status::notFound;
    }
    QMap<QString, QByteArray> items;
    bool refuse = false;
};

QStringList names(const std::optional<QList<Device>>& devices) {
    QStringList result;
    for (const Device& device : devices.value_or(QList<Device>{}))
        result << device.name + (device.autoNamed ? "*" : "");
    return result;
}

TEST(DeviceListTest, TheSingleKeyBecomesPhoneOneOnceInEitherStore) {
    QTemporaryDir dir;
    for (const std::shared_ptr<PskStore>& store : std::initializer_list<std::shared_ptr<PskStore>>{
             std::make_shared<FilePskStore>(dir.path()), std::make_shared<MemoryStore>()}) {
        KeychainPSK legacy("svc", "psk", store);
        ASSERT_TRUE(legacy.save(kKey.toUpper() + "\n"));
        DeviceList list(legacy, nullptr);
        const auto devices = list.load();
        EXPECT_EQ(names(devices), QStringList{"Phone 1*"});
        EXPECT_EQ(devices->value(0).key, kKey);
        EXPECT_FALSE(legacy.load()); // gone once the list holds it
        ASSERT_TRUE(legacy.save(kKey));
        EXPECT_EQ(list.load(), devices); // never twice
    }
}

TEST(DeviceListTest, ADamagedListIsToldOnceAndKeptAsideAndBadNamesRepaired) {
    auto store = std::make_shared<MemoryStore>();
    KeychainPSK legacy("svc", "psk", store);
    test::RecordingAlerts alerts;
    DeviceList list(legacy, &alerts);
    for (const QByteArray damaged :
         {"not json", R"({"devices":{}})", R"({"devices":[{"name":"a","key":"abc"}]})"}) {
        store->items["devices"] = damaged;
        alerts.shown.clear();
        EXPECT_EQ(list.load(), QList<Device>{});
        EXPECT_EQ(list.load(), QList<Device>{});
        EXPECT_EQ(store->items["devices.bad"], damaged);
        EXPECT_EQ(alerts.shown,
                  QStringList{"critical: 端末の一覧が壊れていました / キーチェーン を読めません。"
                              "元の内容を キーチェーン に残し、一覧を空にしました。"
                              "端末をもう一度追加してください。"});
    }
    store->items["devices"] = QString(R"({"devices":[{"name":" Ph\u0007one ","key":"%1"},)"
                                      R"({"name":"PH\u0007ONE","key":"%1"},{"key":"%1"}]})")
                                  .arg(kKey)
                                  .toUtf8();
    EXPECT_EQ(names(list.load()), (QStringList{"Ph\\x07one", "PH\\x07ONE 2", "Phone 1"}));
    EXPECT_EQ(DeviceList::displayName("\x1f\u009b"), "\\x1F\\x9B");
    // A damaged list that cannot be kept aside stays as it is, and is said to.
    store->items["devices"] = "[]";
    store->refuse = true;
    EXPECT_EQ(list.load(), std::nullopt);
    EXPECT_EQ(store->items["devices"], "[]");
    EXPECT_TRUE(alerts.shown.last().endsWith("元の内容を残せなかったため、そのままにしました。"));
}

TEST(DeviceListTest, NamesTheLimitAndFailedWrites) {
    auto store = std::make_shared<MemoryStore>();
    KeychainPSK legacy("svc", "psk", store);
    DeviceList list(legacy, nullptr);
    ASSERT_TRUE(list.add().ok() && list.add("  Pixel  ").ok() && list.add().ok());
    EXPECT_EQ(names(list.load()), (QStringList{"Phone 1*", "Pixel", "Phone 2*"}));
    const std::pair<QString, QString> refused[] = {
        {" ", "名前を入力してください。"},
        {QString(41, 'x'), "名前は 40 文字までです。"},
        {"a\tb", "名前に制御文字は使えません。"},
        {"phone 1", "「phone 1」という端末はすでにあります。"}};
    for (const auto& [name, why] : refused)
        EXPECT_EQ(list.rename("Pixel", name).error, why) << name.toStdString();
    EXPECT_EQ(list.add("a\u009bb").error, "名前に制御文字は使えません。");
    EXPECT_TRUE(list.rename("Pixel", "pixel").ok() &&
                list.rename("Phone 2", QString(40, 'y')).ok());
    EXPECT_EQ(list.remove("nope").error, "端末「nope」はありません。");
    const QString oldKey = list.load()->first().key;
    ASSERT_TRUE(list.remove("Phone 1").ok() && list.regenerate("pixel").ok());
    EXPECT_EQ(names(list.load()), (QStringList{"pixel", QString(40, 'y')})); // named by the user
    EXPECT_EQ(list.add().device.name, "Phone 1"); // the lowest free number
    EXPECT_NE(list.load()->first().key, oldKey);
    // A browser's HELLO names an automatically named device, once, made unique.
    const QString key = list.load()->last().key;
    EXPECT_EQ(list.nameAutomatically(key, QString(40, 'y')).device.name, QString(38, 'y') + " 2");
    EXPECT_FALSE(list.nameAutomatically(key, "Chrome on Android").ok());
    const QDateTime seen = QDateTime::fromSecsSinceEpoch(1800000000).toUTC();
    ASSERT_TRUE(list.rename(QString(38, 'y') + " 2", "a\\b").ok() &&
                list.markSeen("a\\x5Cb", seen));
    EXPECT_EQ(list.load()->last().lastSeen, seen);
    EXPECT_TRUE(DeviceList::keysFileText(*list.load()).endsWith('\n' + key.toLatin1() + " a\\b\n"));
    while (list.load()->size() < DeviceList::kMaxDevices)
        ASSERT_TRUE(list.add().ok());
    EXPECT_EQ(list.add().error, "登録できる端末は 64 台までです。");
    // A store that keeps nothing: the change is refused and the list stays as it was.
    const auto before = list.load();
    store->refuse = true;
    EXPECT_EQ(list.remove("pixel").error, "端末の一覧を保存できませんでした");
    EXPECT_EQ(list.load(), before);
}

TEST(DeviceListTest, BrowsersAreNamedByTheirUserAgent) {
    const std::pair<const char*, const char*> agents[] = {
        {"Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) "
         "Chrome/131.0.0.0 Mobile Safari/537.36",
         "Chrome on Android"},
        {"Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 (KHTML, "
         "like Gecko) Version/17.5 Mobile/15E148 Safari/604.1",
         "Safari on iPhone"},
        {"Mozilla/5.0 (iPad; CPU OS 17_5 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
         "CriOS/131.0.6778.73 Mobile/15E148 Safari/604.1",
         "Chrome on iPad"},
        {"Mozilla/5.0 (Android 14; Mobile; rv:133.0) Gecko/133.0 Firefox/133.0",
         "Firefox on Android"},
        {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
         "Chrome/131.0.0.0 Safari/537.36 Edg/131.0.0.0",
         "Edge on Windows"},
        {"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
         "Chrome/131.0.0.0 Safari/537.36",
         "Chrome on Linux"},
        {"Mozilla/5.0 (Linux; Android 14; SM-S918B) AppleWebKit/537.36 (KHTML, like Gecko) "
         "SamsungBrowser/25.0 Chrome/121.0.0.0 Mobile Safari/537.36",
         "Samsung Internet on Android"},
        {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like "
         "Gecko) Version/17.5 Safari/605.1.15",
         "Safari on Mac"},
        {"Mozilla/5.0 (X11; CrOS x86_64 14541.0.0)", "Browser on ChromeOS"},
        {"Opera/9 OPR/100", "Opera"},
        {"curl/8.5.0", nullptr},
        {"", nullptr}};
    for (const auto& [agent, name] : agents)
        EXPECT_EQ(DeviceList::nameForUserAgent(agent),
                  name ? std::optional<QString>(name) : std::nullopt)
            << agent;
}

} // namespace
} // namespace pointrelay::app
