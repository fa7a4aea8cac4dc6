// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

namespace pointrelay::app {

class Alerts;
class KeychainPSK;

/// One paired phone (or browser): its own key, so that it can be revoked alone.
struct Device {
    QString name;
    QString key; ///< 64 lowercase hexadecimal digits
    QDateTime paired;
    QDateTime lastSeen;     ///< invalid when it never connected
    bool autoNamed = false; ///< named "Phone N" by us, so a browser may name it after itself

    bool operator==(const Device&) const = default;
};

/// The paired devices, kept as one item of the key store (the legacy key's service, account
/// "devices") holding JSON: {"devices":[{"name","key","paired","lastSeen","autoNamed"}]}.
/// Every operation reads the item afresh and every change writes it once; when the write
/// fails the earlier item stays and the change is reported as failed. Called on the GUI thread.
class DeviceList {
public:
    static constexpr const char* kAccount = "devices";
    static constexpr const char* kSetAsideAccount = "devices.bad";
    /// As many as the daemon takes from its keys file.
    static constexpr int kMaxDevices = 64;
    static constexpr int kMaxNameLength = 40;

    /// What a change did: the device as it is now, or the message for the user.
    struct Change {
        QString error;
        Device device;
        bool ok() const { return error.isEmpty(); }
    };

    /// `legacy` is the single key of earlier versions; its store and service hold the list.
    /// `alerts` hears of a damaged list (may be null: then the log does).
    DeviceList(KeychainPSK& legacy, Alerts* alerts);

    /// \brief The devices. Without a list, a well-formed legacy key becomes "Phone 1" (and the
    /// legacy item goes once the list is stored). A damaged list is told once, kept as
    /// "devices.bad" and replaced by an empty one. Nothing when the store cannot be read.
    std::optional<QList<Device>> load();
    /// \brief A new device with a new key; named "Phone N" (the lowest free N) when `name` is
    /// empty.
    Change add(const QString& name = {});
    Change rename(const QString& from, const QString& to);
    Change remove(const QString& name);
    /// \brief A new key for the device (its earlier key opens nothing afterwards).
    Change regenerate(const QString& name);
    /// \brief Names a device after what connected with it, unless the user named it: `name`
    /// made unique by a number ("Chrome on Android 2").
    Change nameAutomatically(const QString& key, const QString& name);
    /// \brief Stamps the device whose name the daemon logged (`logName`) as seen at `when`.
    bool markSeen(const QString& logName, const QDateTime& when);
    /// \brief Where the list is, for messages.
    QString location() const;

    /// The name as shown: control characters as \xNN.
    static QString displayName(const QString& name);
    /// The name as the daemon logs it: bytes below 0x20, 0x7f and "\" as \xNN (upper case).
    static QString logName(const QString& name);
    /// \brief Why a name typed by the user cannot be used (empty when it can), given the
    /// others' names; `name` is trimmed first.
    static QString nameProblem(const QString& name, const QList<Device>& others);
    /// \brief The daemon's keys file: "KEY NAME" per line.
    static QByteArray keysFileText(const QList<Device>& devices);
    /// \brief The key whose HMAC a phone's first frame (its HELLO, with the frame's length)
    /// carries; nothing when none of the devices' keys made it.
    static std::optional<QString> keyProvedBy(const QByteArray& hello,
                                              const QList<Device>& devices);
    /// \brief A browser's device as its User-Agent header tells it: "Chrome on Android",
    /// "Safari on iPhone"; nothing when it tells neither browser nor system.
    static std::optional<QString> nameForUserAgent(const QString& userAgent);

private:
    std::optional<QList<Device>> parse(const QByteArray& item) const;
    bool write(const QList<Device>& devices);
    template <typename Edit>
    Change change(Edit edit);

    KeychainPSK& m_legacy;
    Alerts* m_alerts;
};

} // namespace pointrelay::app
