// SPDX-License-Identifier: MIT
#include "preferences.h"

#include <QFile>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

namespace pointrelay::app {
namespace {

bool readJson(QIODevice& device, QSettings::SettingsMap& map) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(device.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QJsonValue value = it.value();
        // JSON has one number type; whole numbers come back as integers.
        if (value.isDouble() && std::trunc(value.toDouble()) == value.toDouble() &&
            std::abs(value.toDouble()) < 9.0e15)
            map.insert(it.key(), static_cast<qint64>(value.toDouble()));
        else
            map.insert(it.key(), value.toVariant());
    }
    return true;
}

bool writeJson(QIODevice& device, const QSettings::SettingsMap& map) {
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it)
        object.insert(it.key(), QJsonValue::fromVariant(it.value()));
    return device.write(QJsonDocument(object).toJson()) >= 0;
}

} // namespace

QSettings::Format Preferences::jsonFormat() {
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("json"), readJson, writeJson, Qt::CaseSensitive);
    return format;
}

Preferences::Preferences(const QString& filePath) {
    if (filePath.isEmpty())
        m_settings = std::make_unique<QSettings>(jsonFormat(), QSettings::UserScope,
                                                 QStringLiteral("pointrelay"),
                                                 QStringLiteral("PointrelayServer"));
    else
        m_settings = std::make_unique<QSettings>(filePath, jsonFormat());
}

bool Preferences::setAside(const QString& path) {
    const QString file = m_settings->fileName();
    QFile::remove(path);
    if (!QFile::rename(file, path))
        return false;
    // A new QSettings: the old one keeps the unreadable file's state and would not write.
    m_settings = std::make_unique<QSettings>(file, jsonFormat());
    return true;
}

Preferences& Preferences::standard() {
    static Preferences instance;
    return instance;
}

} // namespace pointrelay::app
