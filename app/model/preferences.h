// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QSettings>
#include <QString>
#include <QVariant>
#include <memory>

namespace pointrelay::app {

/// The application's user defaults: a store that keeps the type of every value (an integer
/// stays an integer, a string a string), which the loading rules of the settings depend on.
/// A JSON file under the user's configuration folder, on every platform.
class Preferences : public QObject {
    Q_OBJECT
public:
    /// The store at `filePath` (tests), or the user's standard store when empty.
    explicit Preferences(const QString& filePath = {});

    static Preferences& standard();

    QVariant value(const QString& key) const { return m_settings->value(key); }
    void setValue(const QString& key, const QVariant& value) { m_settings->setValue(key, value); }
    void sync() { m_settings->sync(); }
    QString fileName() const { return m_settings->fileName(); }
    /// False when the file exists but is no JSON object (its values then read as unset).
    bool readable() const { return m_settings->status() != QSettings::FormatError; }
    /// \brief Moves the file aside to \a path (replacing what was there) and starts an empty
    /// one; false when it could not be moved.
    bool setAside(const QString& path);

    /// \brief Tells every reader of these preferences that \a writer has just saved its
    /// settings (the other settings models then load them again).
    void announceSaved(const QObject* writer) { emit saved(writer); }

    /// The JSON format registered with QSettings.
    static QSettings::Format jsonFormat();

signals:
    void saved(const QObject* writer);

private:
    std::unique_ptr<QSettings> m_settings;
};

} // namespace pointrelay::app
