// SPDX-License-Identifier: MIT
#pragma once

// The few text styles the windows use, derived from the application font so that they scale
// with it: the sizes keep the proportions of the desktop text styles they stand for (body 13,
// title 17, footnote and caption 10 points on the Mac).

#include <QFont>

class QWidget;

namespace pointrelay::app {

enum class TextStyle {
    body,
    title2,   ///< window headings, about 1.3 × body
    footnote, ///< explanatory text, about 0.77 × body
    caption,  ///< lines under an image, about 0.77 × body
    caption2, ///< a smaller caption, about 0.7 × body
};

/// \brief The application font at the style's size; monospaced digits and letters on request.
QFont textStyleFont(TextStyle style, bool monospaced = false);

/// \brief Gives the label (or any widget) the secondary, dimmer text colour of its palette.
void useSecondaryTextColor(QWidget* widget);

} // namespace pointrelay::app
