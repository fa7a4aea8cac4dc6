// SPDX-License-Identifier: MIT
#include "pairing.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QStringList>
#include <QTextBoundaryFinder>
#include <QUrl>
#include <array>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <iostream>
#include <memory>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pointrelay::app {

namespace {

Q_LOGGING_CATEGORY(lcPairing, "pointrelay.app.pairing")

struct IfAddrsDeleter {
    void operator()(ifaddrs* list) const noexcept { freeifaddrs(list); }
};
using IfAddrsPtr = std::unique_ptr<ifaddrs, IfAddrsDeleter>;

// Apple Wireless Direct Link, low-latency WLAN, user tunnels and bridges: addresses on these are
// not where a phone on the same network reaches the computer.
bool isExcludedInterface(const QString& name) {
    for (const char* prefix : {"awdl", "llw", "utun", "bridge"}) {
        if (name.startsWith(QLatin1StringView(prefix)))
            return true;
    }
    return false;
}

// The first label of a host name, or nothing when that is empty.
std::optional<QString> firstLabel(const QString& name) {
    QString label = name.section(QLatin1Char('.'), 0, 0).trimmed();
    if (label.isEmpty())
        return std::nullopt;
    return label;
}

std::optional<QByteArray> systemHostName() {
    std::array<char, 256> buffer{};
    if (gethostname(buffer.data(), buffer.size()) != 0) {
        const int error = errno;
        qCDebug(lcPairing) << "gethostname failed:" << std::strerror(error);
        return std::nullopt;
    }
    // A name that fills the buffer need not be terminated; never read past it.
    return QByteArray(buffer.data(), static_cast<qsizetype>(strnlen(buffer.data(), buffer.size())));
}

// Grapheme cluster boundaries of the text, first and last position included.
std::vector<qsizetype> graphemeBoundaries(const QString& text) {
    std::vector<qsizetype> boundaries{0};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    while (finder.toNextBoundary() != -1)
        boundaries.push_back(finder.position());
    if (boundaries.back() != text.size())
        boundaries.push_back(text.size());
    return boundaries;
}

} // namespace

NetworkInterfaceList localNetworkInterfaces() {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        const int error = errno;
        qCWarning(lcPairing) << "getifaddrs failed:" << std::strerror(error);
        return {};
    }
    const IfAddrsPtr list(raw);

    NetworkInterfaceList interfaces;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        NetworkInterface item;
        item.name = QString::fromUtf8(entry->ifa_name != nullptr ? entry->ifa_name : "");
        item.up = (entry->ifa_flags & IFF_UP) != 0;
        item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        item.running = (entry->ifa_flags & IFF_RUNNING) != 0;
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
            std::array<char, NI_MAXHOST> host{};
            if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host.data(), host.size(), nullptr,
                            0, NI_NUMERICHOST) == 0)
                item.ipv4Address = QString::fromLatin1(host.data());
        }
        interfaces.push_back(std::move(item));
    }
    return interfaces;
}

std::optional<QString> primaryIPv4Address(const NetworkInterfaceList& interfaces) {
    std::optional<QString> fallback;
    for (const NetworkInterface& entry : interfaces) {
        if (!entry.ipv4Address || !entry.up || entry.loopback)
            continue;
        if (isExcludedInterface(entry.name))
            continue;
        // The built-in Ethernet and Wi-Fi ports of a Mac; either wins over anything else.
        if (entry.name == QLatin1StringView("en0") || entry.name == QLatin1StringView("en1"))
            return entry.ipv4Address;
        if (!fallback)
            fallback = entry.ipv4Address;
    }
    return fallback;
}

std::optional<QString> primaryIPv4Address() {
    return primaryIPv4Address(localNetworkInterfaces());
}

QString pairingHost(const NetworkInterfaceList& interfaces) {
    return primaryIPv4Address(interfaces).value_or(fallbackHost());
}

std::optional<QString> readStaticHostName(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    // A host name is at most 64 bytes; a few lines of comments before it are plenty.
    const QByteArray content = file.read(4096);
    for (const QByteArray& rawLine : content.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
            return line;
    }
    return std::nullopt;
}

QString localHostName(const HostNameSources& sources) {
    if (sources.computerName) {
        if (auto label = firstLabel(*sources.computerName))
            return *label;
    }
    if (sources.systemHostName) {
        if (auto label = firstLabel(QString::fromUtf8(*sources.systemHostName)))
            return *label;
    }
    return QStringLiteral("localhost");
}

QString localHostName() {
    return localHostName(HostNameSources{readStaticHostName(), systemHostName()});
}

QString advertisedHost(HostAdvertiseMode mode, const NetworkInterfaceList& interfaces,
                       const QString& hostName) {
    switch (mode) {
    case HostAdvertiseMode::bonjourLocalName:
        return hostName + QStringLiteral(".local");
    case HostAdvertiseMode::ipv4Address:
        return pairingHost(interfaces);
    }
    return pairingHost(interfaces);
}

QString advertisedHost(HostAdvertiseMode mode) {
    // Ask only for what the mode needs.
    if (mode == HostAdvertiseMode::bonjourLocalName)
        return advertisedHost(mode, {}, localHostName());
    return advertisedHost(mode, localNetworkInterfaces(), QString());
}

QByteArray PairingPayload::toJson() const {
    QJsonObject object;
    object.insert(QStringLiteral("host"), host);
    object.insert(QStringLiteral("port"), static_cast<int>(port));
    object.insert(QStringLiteral("psk"), psk);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

PairingPayload makePairingPayload(quint16 port, const std::optional<QString>& storedKey,
                                  const NetworkInterfaceList& interfaces) {
    return PairingPayload{pairingHost(interfaces), port, storedKey.value_or(QString())};
}

qsizetype keyCharacterCount(const std::optional<QString>& key) {
    if (!key || key->isEmpty())
        return 0;
    return static_cast<qsizetype>(graphemeBoundaries(*key).size()) - 1;
}

QString keyHint(const std::optional<QString>& key) {
    if (!key || key->isEmpty())
        return QStringLiteral("未設定");
    // Cut at grapheme boundaries so that the hint never splits a character (a surrogate pair
    // or a combining sequence) in two.
    const std::vector<qsizetype> bounds = graphemeBoundaries(*key);
    const auto count = static_cast<qsizetype>(bounds.size()) - 1;
    // Never more than the first and last four characters, and none of a key so short that
    // they would be most of it.
    if (count < 16)
        return QString(count, QChar(0x2022));
    const qsizetype headEnd = bounds[4];
    const qsizetype tailStart = bounds[static_cast<std::size_t>(count - 4)];
    return key->left(headEnd) + QString(count - 8, QChar(0x2022)) + key->mid(tailStart);
}

QString webRemoteUrl(const QString& host, quint16 webPort, const QString& key) {
    return QStringLiteral("http://%1:%2/#k=%3")
        .arg(host, QString::number(webPort), QString::fromLatin1(QUrl::toPercentEncoding(key)));
}

QString webRemoteAddressLine(const QString& host, quint16 webPort) {
    return QCoreApplication::translate("Pairing", "ブラウザ: http://%1:%2/")
        .arg(host, QString::number(webPort));
}

QString pairingAddressLine(const QString& host, quint16 port) {
    // One-pass substitution: a "%1" inside an argument must stay as it is.
    return QStringLiteral("IP: %1:%2").arg(host, QString::number(port));
}

QString pairingKeyHintLine(const std::optional<QString>& key) {
    return QCoreApplication::translate("Pairing", "PSKヒント: %1  (%2桁)")
        .arg(keyHint(key), QString::number(keyCharacterCount(key)));
}

void logLocalIPv4Interfaces(const NetworkInterfaceList& interfaces, std::ostream& out) {
    if (interfaces.empty())
        return;
    out << "[LocalIPv4] ---- interfaces ----\n";
    for (const NetworkInterface& entry : interfaces) {
        if (entry.ipv4Address)
            out << "  " << entry.name.toStdString() << " -> " << entry.ipv4Address->toStdString()
                << '\n';
    }
    out.flush();
}

void logLocalIPv4Interfaces() {
    logLocalIPv4Interfaces(localNetworkInterfaces(), std::cout);
}

} // namespace pointrelay::app
