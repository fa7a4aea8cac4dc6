// SPDX-License-Identifier: MIT
#pragma once

// What the phone needs to connect (host, port, key) as the JSON text that the QR code
// carries, the choice of the host text, and the texts shown next to the code.

#include "host_advertise_mode.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <iosfwd>
#include <optional>
#include <vector>

namespace pointrelay::app {

/// One entry of the system's interface address list (getifaddrs gives one per address, so an
/// interface can appear several times).
struct NetworkInterface {
    QString name;
    bool up = false;       ///< IFF_UP
    bool loopback = false; ///< IFF_LOOPBACK
    bool running = false;  ///< IFF_RUNNING (reported, never used to choose)
    /// Numeric dotted-decimal text; present only for an AF_INET address that getnameinfo
    /// converted. Entries without an address, of other families or failing the conversion
    /// carry nothing here.
    std::optional<QString> ipv4Address;
};
using NetworkInterfaceList = std::vector<NetworkInterface>;

/// \brief The interface address list from getifaddrs, in its order; empty when that fails.
NetworkInterfaceList localNetworkInterfaces();

/// \brief The IPv4 address to pair with: the first up, non-loopback address whose interface is
/// not a link-local/tunnel/bridge kind ("awdl", "llw", "utun", "bridge" prefixes), except that
/// an address on "en0" or "en1" wins at once wherever it appears.
std::optional<QString> primaryIPv4Address(const NetworkInterfaceList& interfaces);
std::optional<QString> primaryIPv4Address();

/// Host used when no interface qualifies.
inline QString fallbackHost() {
    return QStringLiteral("127.0.0.1");
}

/// \brief `primaryIPv4Address`, or "127.0.0.1" when there is none.
QString pairingHost(const NetworkInterfaceList& interfaces);

/// The two host names `localHostName` chooses from, in order of preference.
struct HostNameSources {
    /// The computer's configured name; on Linux the static host name.
    std::optional<QString> computerName;
    /// The raw bytes gethostname gave (up to the first zero byte), when it succeeded.
    std::optional<QByteArray> systemHostName;
};

/// \brief The static host name from a hostname(5) file: its first line that is neither empty
/// nor a comment, trimmed. Nothing when the file cannot be read or holds no name.
std::optional<QString> readStaticHostName(const QString& path = QStringLiteral("/etc/hostname"));

/// \brief The computer's name without any domain, never empty: the computer name, else the
/// system host name (invalid UTF-8 repaired), else "localhost".
///
/// Only the first label of a name is used, since ".local" is appended to it: a configured
/// "box.example.org" or "box.local" must give "box.local", not a name nobody answers for.
/// A source whose first label is empty counts as missing.
QString localHostName(const HostNameSources& sources);
QString localHostName();

/// \brief The host text shown to the user for the mode: the local host name followed by
/// ".local", or `pairingHost`.
QString advertisedHost(HostAdvertiseMode mode, const NetworkInterfaceList& interfaces,
                       const QString& hostName);
QString advertisedHost(HostAdvertiseMode mode);

/// The object the QR code carries. The host is always an address (never the ".local" name),
/// whatever the host mode says.
struct PairingPayload {
    QString host;
    quint16 port = 0;
    QString psk;

    /// \brief Compact UTF-8 JSON with exactly the members "host", "port" (a bare integer) and
    /// "psk", no white space. Members come in key order; readers must accept any order.
    QByteArray toJson() const;
};

/// \brief The payload for this computer: host from `pairingHost`, the stored key or the empty
/// text when none is stored.
PairingPayload makePairingPayload(quint16 port, const std::optional<QString>& storedKey,
                                  const NetworkInterfaceList& interfaces);

/// \brief The key's length in user-perceived characters (grapheme clusters); 0 for no key.
qsizetype keyCharacterCount(const std::optional<QString>& key);

/// \brief The key shown under the code without revealing it: "未設定" for no or an empty key,
/// one "•" per character for a key under 16 characters, otherwise the first 4 characters, one
/// "•" per character beyond 8, and the last 4.
QString keyHint(const std::optional<QString>& key);

/// \brief "IP: <host>:<port>".
QString pairingAddressLine(const QString& host, quint16 port);

/// \brief The browser remote's address for its QR code: "http://<host>:<port>/#k=<key>", the
/// key percent-encoded in the fragment, which a browser never sends to any server.
QString webRemoteUrl(const QString& host, quint16 webPort, const QString& key);

/// \brief "ブラウザ: http://<host>:<port>/", the address shown under that code (without the key).
QString webRemoteAddressLine(const QString& host, quint16 webPort);

/// \brief "PSKヒント: <hint>  (<count>桁)".
QString pairingKeyHintLine(const std::optional<QString>& key);

/// \brief Writes the IPv4 entries of the list as diagnostics: a "[LocalIPv4] ---- interfaces ----"
/// header, then "  <name> -> <address>" for every IPv4 entry in list order, whatever its flags
/// or name. Writes nothing for an empty list.
void logLocalIPv4Interfaces(const NetworkInterfaceList& interfaces, std::ostream& out);

/// \brief The same for this computer's interfaces, on standard output (flushed).
void logLocalIPv4Interfaces();

} // namespace pointrelay::app
