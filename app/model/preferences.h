// SPDX-License-Identifier: MIT
#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>
#include <memory>

namespace pointrelay::app {

/// The application's user defaults: a store that keeps the type of every value (an integer
/// stays an integer, a string a string), which the loading rules of the settings depend on.
/// A JSON file under the user's configuration folder, on every platform.
class Preferences {
public:
    /// The store at `filePath` (tests), or the user's standard store when empty.
    explicit Preferences(const QString& filePath = {});

    static Preferences& standard();

    QVariant value(const QString& key) const { return m_settings->value(key); }
    void setValue(const QString& key, const QVariant& value) { m_settings->setValue(key, value); }
    void sync() { m_settings->sync(); }
    QString fileName() const { return m_settings->fileName(); }

    /// The JSON format registered with QSettings.
    static QSettings::Format jsonFormat();

private:
    std::unique_ptr<QSettings> m_settings;
};

} // namespace pointrelay::app
