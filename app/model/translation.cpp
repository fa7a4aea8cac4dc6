// SPDX-License-Identifier: MIT
#include "translation.h"

#include <QCoreApplication>
#include <QLocale>
#include <QLoggingCategory>
#include <QTranslator>

namespace pointrelay::app {

Q_LOGGING_CATEGORY(lcTranslation, "pointrelay.translation")

bool installTranslation(const QLocale& locale) {
    static QTranslator english; // installed for the rest of the process
    if (locale.language() != QLocale::English)
        return false;
    if (!english.load(QStringLiteral(":/i18n/pointrelay_en.qm"))) {
        qCWarning(lcTranslation) << "the English catalogue is missing from the program";
        return false;
    }
    return QCoreApplication::installTranslator(&english);
}

} // namespace pointrelay::app
