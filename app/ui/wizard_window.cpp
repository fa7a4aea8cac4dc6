// SPDX-License-Identifier: MIT
#include "wizard_window.h"

#include "first_run_wizard_view.h"
#include "model/app_state.h"

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>

namespace pointrelay::app {
namespace {

// The one wizard window; cleared when the window goes.
QPointer<QWidget>& slot() {
    static QPointer<QWidget> window;
    return window;
}

} // namespace

void WizardWindow::open(AppState& state, Alerts& alerts) {
    // Two wizards would share one "完了" slot, and one's "完了" would close the other.
    if (QWidget* previous = slot().data()) {
        qCInfo(lcWizard) << "replacing the open wizard";
        previous->close();
    }
    auto* window =
        new QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                                 Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint);
    window->setObjectName(QStringLiteral("wizardWindow"));
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QObject::tr("初回セットアップ"));
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize); // the window follows its content
    layout->addWidget(new FirstRunWizardView(state, alerts, window));
    // The model outlives the wizard in the application; a window on a dead model must not stay.
    QObject::connect(&state, &QObject::destroyed, window, &QWidget::close);
    window->adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    slot() = window;
    window->show();
    window->raise();
    window->activateWindow();
}

void WizardWindow::finish() {
    if (QWidget* window = slot().data())
        window->close();
    slot() = nullptr;
}

QWidget* WizardWindow::window() {
    return slot().data();
}

} // namespace pointrelay::app
