// SPDX-License-Identifier: MIT
#include "device_list.h"

#include "alerts.h"
#include "keychain_psk.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <algorithm>

namespace pointrelay::app {
namespace {

bool taken(const QString& name, const QList<Device>& devices) {
    return std::ranges::any_of(
        devices, [&](const Device& d) { return d.name.compare(name, Qt::CaseInsensitive) == 0; });
}

// `base`, else "base N" with the lowest N from `first` that no device has, cut to fit.
QString unique(const QString& base, const QList<Device>& devices, int first) {
    QString name = base.left(DeviceList::kMaxNameLength).trimmed();
    for (int n = first; taken(name, devices); ++n) {
        const QString suffix = QStringLiteral(" %1").arg(n);
        name = base.left(DeviceList::kMaxNameLength - suffix.size()).trimmed() + suffix;
    }
    return name;
}

// The other devices than `device` (a copy: the list itself stays as it is).
QList<Device> without(const QList<Device>& devices, const Device& device) {
    QList<Device> others;
    std::ranges::copy_if(devices, std::back_inserter(others),
                         [&](const Device& d) { return d.key != device.key; });
    return others;
}

QString defaultName(const QList<Device>& devices) {
    QString name;
    for (int n = 1; name.isEmpty() || taken(name, devices); ++n)
        name = QStringLiteral("Phone %1").arg(n);
    return name;
}

// Now, in whole seconds as the list keeps times.
QDateTime now() {
    return QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch()).toUTC();
}

QString stamp(const QDateTime& time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODate) : QString();
}

std::optional<Device> newDevice(const QString& name, bool autoNamed) {
    const std::optional<QString> key = KeychainPSK::makeKeyText();
    if (!key)
        return std::nullopt;
    return Device{name, *key, now(), {}, autoNamed};
}

QString notStored() {
    return QCoreApplication::translate("DeviceList", "端末の一覧を保存できませんでした");
}

DeviceList::Change noSuchDevice(const QString& name) {
    return {QCoreApplication::translate("DeviceList", "端末「%1」はありません。")
                .arg(DeviceList::displayName(name)),
            {}};
}

QString noRandom() {
    return QCoreApplication::translate("DeviceList", "システムの乱数源を利用できません。");
}

} // namespace

DeviceList::DeviceList(KeychainPSK& legacy, Alerts* alerts) : m_legacy(legacy), m_alerts(alerts) {}

QString DeviceList::location() const {
    return m_legacy.store().itemLocation(m_legacy.service(), QString::fromLatin1(kAccount));
}

QString DeviceList::displayName(const QString& name) {
    QString shown;
    for (const QChar c : name)
        shown += c.category() == QChar::Other_Control
                     ? QStringLiteral("\\x") +
                           QStringLiteral("%1").arg(c.unicode(), 2, 16, QLatin1Char('0')).toUpper()
                     : QString(c);
    return shown;
}

QString DeviceList::logName(const QString& name) {
    // Byte by byte, as the daemon writes it; the other bytes of a character stay as they are.
    QByteArray logged;
    for (const char byte : name.toUtf8()) {
        const auto b = static_cast<unsigned char>(byte);
        if (b < 0x20 || b == 0x7f || b == '\\')
            logged +=
                QByteArray("\\x") + QByteArray::number(b, 16).toUpper().rightJustified(2, '0');
        else
            logged += byte;
    }
    return QString::fromUtf8(logged);
}

QString DeviceList::nameProblem(const QString& name, const QList<Device>& others) {
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return QCoreApplication::translate("DeviceList", "名前を入力してください。");
    if (trimmed.size() > kMaxNameLength)
        return QCoreApplication::translate("DeviceList", "名前は %1 文字までです。")
            .arg(kMaxNameLength);
    if (std::ranges::any_of(trimmed, [](QChar c) { return c.category() == QChar::Other_Control; }))
        return QCoreApplication::translate("DeviceList", "名前に制御文字は使えません。");
    if (taken(trimmed, others))
        return QCoreApplication::translate("DeviceList", "「%1」という端末はすでにあります。")
            .arg(displayName(trimmed));
    return {};
}

QByteArray DeviceList::keysFileText(const QList<Device>& devices) {
    QByteArray text = "# pointrelayd keys: one device per line, KEY NAME\n";
    for (const Device& device : devices)
        text += device.key.toLatin1() + ' ' + device.name.toUtf8() + '\n';
    return text;
}

std::optional<QString> DeviceList::keyProvedBy(const QByteArray& hello,
                                               const QList<Device>& devices) {
    // A frame of 4 length bytes (big-endian 54), then the HELLO: type, "PRLY", version, the
    // 16-byte client nonce, and HMAC-SHA256("HELLO" + nonce) under the key's text.
    constexpr int kHeader = 4, kNonceAt = kHeader + 6, kNonceBytes = 16, kMacAt = kHeader + 22;
    if (hello.size() < kMacAt + 32 || hello.left(kHeader) != QByteArray::fromHex("00000036"))
        return std::nullopt;
    const QByteArray message = "HELLO" + hello.mid(kNonceAt, kNonceBytes);
    const QByteArray mac = hello.mid(kMacAt, 32);
    for (const Device& device : devices)
        if (QMessageAuthenticationCode::hash(message, device.key.toUtf8(),
                                             QCryptographicHash::Sha256) == mac)
            return device.key;
    return std::nullopt;
}

std::optional<QString> DeviceList::nameForUserAgent(const QString& userAgent) {
    // The first token that matches: Edge, Samsung's and Opera also say "Chrome" and "Safari",
    // Chrome says "Safari", on iOS every browser does.
    static const std::pair<const char*, const char*> kBrowsers[] = {
        {"Edg", "Edge"},       {"SamsungBrowser/", "Samsung Internet"},
        {"OPR/", "Opera"},     {"Firefox/", "Firefox"},
        {"FxiOS/", "Firefox"}, {"CriOS/", "Chrome"},
        {"Chrome/", "Chrome"}, {"Safari/", "Safari"}};
    static const std::pair<const char*, const char*> kSystems[] = {
        {"iPhone", "iPhone"}, {"iPad", "iPad"},     {"Android", "Android"}, {"Windows", "Windows"},
        {"CrOS", "ChromeOS"}, {"Macintosh", "Mac"}, {"Linux", "Linux"}};
    const auto first = [&](const auto& table) -> QString {
        for (const auto& [token, name] : table)
            if (userAgent.contains(QLatin1String(token)))
                return QString::fromLatin1(name);
        return {};
    };
    const QString browser = first(kBrowsers), system = first(kSystems);
    if (browser.isEmpty() && system.isEmpty())
        return std::nullopt;
    if (system.isEmpty())
        return browser;
    return (browser.isEmpty() ? QStringLiteral("Browser") : browser) + QStringLiteral(" on ") +
           system;
}

// The list as stored; nothing when it is damaged. Names are repaired rather than refused: a
// control character is written out, a long name cut, a missing or repeated one made unique.
std::optional<QList<Device>> DeviceList::parse(const QByteArray& item) const {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(item, &error);
    const QJsonValue entries = document.object().value(QLatin1String("devices"));
    if (error.error != QJsonParseError::NoError || !entries.isArray() ||
        entries.toArray().size() > kMaxDevices)
        return std::nullopt;
    QList<Device> devices;
    for (const QJsonValue& entry : entries.toArray()) {
        const QJsonObject object = entry.toObject();
        const QString key = object.value(QLatin1String("key")).toString();
        if (!KeychainPSK::isWellFormed(key))
            return std::nullopt;
        Device device{
            {},
            key.toLower(),
            QDateTime::fromString(object.value(QLatin1String("paired")).toString(), Qt::ISODate),
            QDateTime::fromString(object.value(QLatin1String("lastSeen")).toString(), Qt::ISODate),
            object.value(QLatin1String("autoNamed")).toBool()};
        const QString name = displayName(object.value(QLatin1String("name")).toString()).trimmed();
        device.name = name.isEmpty() ? defaultName(devices) : unique(name, devices, 2);
        devices << device;
    }
    return devices;
}

bool DeviceList::write(const QList<Device>& devices) {
    QJsonArray entries;
    for (const Device& device : devices) {
        QJsonObject entry{{QStringLiteral("name"), device.name},
                          {QStringLiteral("key"), device.key},
                          {QStringLiteral("paired"), stamp(device.paired)},
                          {QStringLiteral("autoNamed"), device.autoNamed}};
        if (device.lastSeen.isValid())
            entry.insert(QStringLiteral("lastSeen"), stamp(device.lastSeen));
        entries.append(entry);
    }
    const QByteArray item =
        QJsonDocument(QJsonObject{{QStringLiteral("devices"), entries}}).toJson();
    return m_legacy.store().write(m_legacy.service(), QString::fromLatin1(kAccount), item) ==
           PskStore::Status::ok;
}

std::optional<QList<Device>> DeviceList::load() {
    PskStore& store = m_legacy.store();
    const QString account = QString::fromLatin1(kAccount);
    const PskStore::ReadResult read = store.read(m_legacy.service(), account);
    if (read.status == PskStore::Status::notFound) {
        // The single key of earlier versions is the first device; it goes once the list holds it.
        const std::optional<QString> legacy = m_legacy.load();
        if (!legacy || !KeychainPSK::isWellFormed(*legacy))
            return QList<Device>{};
        const QList<Device> devices{
            Device{QStringLiteral("Phone 1"), legacy->toLower(), now(), {}, true}};
        if (write(devices))
            m_legacy.remove();
        return devices;
    }
    if (read.status != PskStore::Status::ok)
        return std::nullopt;
    if (std::optional<QList<Device>> devices = parse(read.data))
        return devices;
    // Said once: the damaged item is kept aside and an empty list takes its place.
    const QString bad = QString::fromLatin1(kSetAsideAccount);
    const bool kept = store.write(m_legacy.service(), bad, read.data) == PskStore::Status::ok;
    const bool replaced = kept && write({});
    const QString message = QCoreApplication::translate("DeviceList", "端末の一覧が壊れていました");
    const QString informative =
        (kept ? QCoreApplication::translate(
                    "DeviceList", "%1 を読めません。元の内容を %2 に残し、一覧を空にしました。"
                                  "端末をもう一度追加してください。")
                    .arg(location(), store.itemLocation(m_legacy.service(), bad))
              : QCoreApplication::translate(
                    "DeviceList",
                    "%1 を読めません。元の内容を残せなかったため、そのままにしました。")
                    .arg(location()));
    if (m_alerts)
        m_alerts->critical(message, informative);
    else
        qCWarning(lcKeyStore).noquote() << message << informative;
    return replaced ? std::optional(QList<Device>{}) : std::nullopt;
}

template <typename Edit>
DeviceList::Change DeviceList::change(Edit edit) {
    std::optional<QList<Device>> devices = load();
    if (!devices)
        return {
            QCoreApplication::translate("DeviceList", "端末の一覧を読めません: %1").arg(location()),
            {}};
    Change result = edit(*devices);
    if (result.ok() && !write(*devices))
        result.error = notStored();
    return result;
}

DeviceList::Change DeviceList::add(const QString& name) {
    return change([&](QList<Device>& devices) -> Change {
        if (devices.size() >= kMaxDevices)
            return {QCoreApplication::translate("DeviceList", "登録できる端末は %1 台までです。")
                        .arg(kMaxDevices),
                    {}};
        if (!name.isEmpty())
            if (const QString problem = nameProblem(name, devices); !problem.isEmpty())
                return {problem, {}};
        const std::optional<Device> made =
            newDevice(name.isEmpty() ? defaultName(devices) : name.trimmed(), name.isEmpty());
        if (!made)
            return {noRandom(), {}};
        devices << *made;
        return {{}, *made};
    });
}

DeviceList::Change DeviceList::rename(const QString& from, const QString& to) {
    return change([&](QList<Device>& devices) -> Change {
        const auto found = std::ranges::find(devices, from, &Device::name);
        if (found == devices.end())
            return noSuchDevice(from);
        const QList<Device> others = without(devices, *found);
        if (const QString problem = nameProblem(to, others); !problem.isEmpty())
            return {problem, {}};
        found->name = to.trimmed();
        found->autoNamed = false;
        return {{}, *found};
    });
}

DeviceList::Change DeviceList::remove(const QString& name) {
    return change([&](QList<Device>& devices) -> Change {
        const auto found = std::ranges::find(devices, name, &Device::name);
        if (found == devices.end())
            return noSuchDevice(name);
        const Device gone = *found;
        devices.erase(found);
        return {{}, gone};
    });
}

DeviceList::Change DeviceList::regenerate(const QString& name) {
    return change([&](QList<Device>& devices) -> Change {
        const auto found = std::ranges::find(devices, name, &Device::name);
        if (found == devices.end())
            return noSuchDevice(name);
        const std::optional<QString> key = KeychainPSK::makeKeyText();
        if (!key)
            return {noRandom(), {}};
        found->key = *key;
        return {{}, *found};
    });
}

DeviceList::Change DeviceList::nameAutomatically(const QString& key, const QString& name) {
    return change([&](QList<Device>& devices) -> Change {
        const auto found = std::ranges::find(devices, key, &Device::key);
        if (found == devices.end() || !found->autoNamed)
            return {QStringLiteral("-"), {}}; // nothing to do, and nothing to tell
        const QList<Device> others = without(devices, *found);
        found->name = unique(displayName(name).trimmed(), others, 2);
        found->autoNamed = false;
        return {{}, *found};
    });
}

bool DeviceList::markSeen(const QString& logged, const QDateTime& when) {
    std::optional<QList<Device>> devices = load();
    if (!devices)
        return false;
    const auto found =
        std::ranges::find_if(*devices, [&](const Device& d) { return logName(d.name) == logged; });
    if (found == devices->end())
        return false;
    // Every model on the daemon hears each arrival; the list keeps whole seconds, so the
    // second one finds the stamp in place and writes nothing.
    if (found->lastSeen.toSecsSinceEpoch() == when.toSecsSinceEpoch())
        return true;
    found->lastSeen = when;
    return write(*devices);
}

} // namespace pointrelay::app
