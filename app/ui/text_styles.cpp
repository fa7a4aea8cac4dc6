// SPDX-License-Identifier: MIT
#include "text_styles.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>
#include <QWidget>
#include <algorithm>

namespace pointrelay::app {
namespace {

double scaleOf(TextStyle style) {
    switch (style) {
    case TextStyle::body:
        return 1.0;
    case TextStyle::title2:
        return 17.0 / 13.0;
    case TextStyle::footnote:
    case TextStyle::caption:
        return 10.0 / 13.0;
    case TextStyle::caption2:
        return 9.0 / 13.0;
    }
    return 1.0;
}

} // namespace

QFont textStyleFont(TextStyle style, bool monospaced) {
    const QFont base = QApplication::font();
    QFont font = monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : base;
    const double basePoints = base.pointSizeF() > 0 ? base.pointSizeF() : 10.0;
    // Below about 7 points the Japanese glyphs stop being legible on ordinary screens.
    font.setPointSizeF(std::max(7.0, basePoints * scaleOf(style)));
    return font;
}

void useSecondaryTextColor(QWidget* widget) {
    QPalette palette = widget->palette();
    const QColor secondary = palette.color(QPalette::PlaceholderText);
    palette.setColor(QPalette::WindowText, secondary);
    palette.setColor(QPalette::Text, secondary);
    widget->setPalette(palette);
}

} // namespace pointrelay::app
