// SPDX-License-Identifier: MIT
#pragma once

// Answers to the real, modal message boxes of MessageBoxAlerts, given from inside their event
// loops the way a user would: the box is found as the active modal widget and one of its
// buttons is pressed.

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <memory>
#include <optional>

namespace pointrelay::test {

/// Answers a message box with the Escape key instead of a button.
inline const QString kEscape = QStringLiteral("<escape>");

/// What a message box showed, taken while it was open.
struct SeenMessageBox {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString text;
    QString informativeText;
    QStringList buttons; ///< in the box's order
};

/// \brief Waits (up to 10 s) for the next application-modal message box and, inside its event
/// loop, records it in `seen` and presses the button named `buttonObjectName` (or Escape).
/// `grabTo` saves a picture of the box.
inline void answerNextMessageBox(const QString& buttonObjectName,
                                 std::shared_ptr<std::optional<SeenMessageBox>> seen,
                                 const QString& grabTo = {}) {
    seen->reset();
    auto* timer = new QTimer(qApp);
    auto deadline = std::make_shared<QDeadlineTimer>(10000);
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) {
            if (deadline->hasExpired())
                timer->deleteLater();
            return;
        }
        timer->stop();
        timer->deleteLater();
        SeenMessageBox record;
        record.icon = box->icon();
        record.text = box->text();
        record.informativeText = box->informativeText();
        for (QAbstractButton* button : box->buttons())
            record.buttons << button->text();
        if (!grabTo.isEmpty() && QDir().mkpath(QFileInfo(grabTo).path()))
            box->grab().save(grabTo);
        *seen = record;
        if (buttonObjectName == kEscape)
            QTest::keyClick(box, Qt::Key_Escape);
        else if (auto* button = box->findChild<QAbstractButton*>(buttonObjectName))
            button->click();
        else
            box->reject(); // a missing button fails the caller's checks, not the run
    });
    timer->start(10);
}

} // namespace pointrelay::test
