// SPDX-License-Identifier: MIT
// PointrelayServer: the tray application that supervises pointrelayd.
//
// POINTRELAY_SMOKE=1 makes a run for the Xvfb smoke test: it prints where the tray icon and the
// popup's Start and quit buttons are, and the popup's texts whenever the model changes, on standard
// output. POINTRELAY_SMOKE_DRIVE=1 also opens the popup and presses Start (where no tray or
// no xdotool can). POINTRELAY_SMOKE_SHOT=FILE saves the popup as a PNG at every print.

#include "model/app_state.h"
#include "pointrelay_application.h"
#include "pointrelay_version.h"
#include "single_instance.h"
#include "status_popover_view.h"

#include <QApplication>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

using pointrelay::app::AppState;
using pointrelay::app::PointrelayApplication;
using pointrelay::app::StatusPopoverView;

namespace {

int signalPipe[2] = {-1, -1};

void onQuitSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT (the session ending, Ctrl-C) take the quit sequence too, so that the
// daemon is stopped instead of left running without its supervisor. The handler only writes
// to a socket; the event loop does the rest.
void quitOnSignals(PointrelayApplication& application) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &application);
    QObject::connect(notifier, &QSocketNotifier::activated, &application, [&application] {
        char byte = 0;
        [[maybe_unused]] const ssize_t read = ::read(signalPipe[0], &byte, 1);
        application.requestQuit();
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

// Prints the open popup's texts, and saves its picture when POINTRELAY_SMOKE_SHOT names a file.
void printPopover(PointrelayApplication& application) {
    StatusPopoverView* view = application.popover();
    if (!view) {
        std::printf("[smoke] popover closed\n");
    } else {
        QStringList texts;
        for (const char* name :
             {"statusLabel", "hostLabel", "portLabel", "clientsLabel", "startStopButton"}) {
            if (auto* label = view->findChild<QLabel*>(QString::fromLatin1(name)))
                texts << label->text();
            else if (auto* button = view->findChild<QPushButton*>(QString::fromLatin1(name)))
                texts << button->text();
        }
        std::printf("[smoke] %s\n", qPrintable(texts.join(QStringLiteral(" | "))));
        const QString shot = qEnvironmentVariable("POINTRELAY_SMOKE_SHOT");
        if (!shot.isEmpty())
            view->grab().save(shot);
    }
    std::fflush(stdout);
}

void clickStart(StatusPopoverView* view) {
    if (auto* start = view->findChild<QPushButton*>(QStringLiteral("startStopButton")))
        start->click();
}

void startSmokeRun(PointrelayApplication& application) {
    AppState& state = application.state();
    const bool drive = qEnvironmentVariableIntValue("POINTRELAY_SMOKE_DRIVE") == 1;
    auto report = [&application] {
        // After the popup's own update, which is connected later than this.
        QTimer::singleShot(0, &application, [&application] { printPopover(application); });
    };
    QObject::connect(&state, &AppState::runningChanged, &application, report);
    QObject::connect(&state, &AppState::connectedClientsChanged, &application, report);
    QObject::connect(&state, &AppState::portChanged, &application, report);

    // Tells where the tray icon is once the tray has embedded it (or after three seconds
    // without), and where the Start button of every newly opened popup is, so that the test
    // can click them; and when a popup closes. With POINTRELAY_SMOKE_DRIVE=1 it opens the popup and
    // presses Start itself.
    auto* poll = new QTimer(&application);
    auto ticks = std::make_shared<int>(0);
    auto reported = std::make_shared<bool>(false);
    auto shown = std::make_shared<QPointer<StatusPopoverView>>();
    auto announced = std::make_shared<bool>(false);
    QObject::connect(poll, &QTimer::timeout, &application, [=, &application] {
        if (!*reported) {
            const QRect icon = application.trayIcon()->geometry();
            if (!icon.isValid() && ++*ticks < 30)
                return;
            *reported = true;
            std::printf("[smoke] tray: %s, icon at %d,%d size %dx%d\n",
                        QSystemTrayIcon::isSystemTrayAvailable() ? "available" : "none",
                        icon.center().x(), icon.center().y(), icon.width(), icon.height());
            std::fflush(stdout);
            if (drive)
                application.togglePopover();
        }
        StatusPopoverView* view = application.popover();
        if (!view || !view->isVisible()) {
            if (*announced) {
                *announced = false;
                std::printf("[smoke] popover closed\n");
                std::fflush(stdout);
            }
            return;
        }
        if (*announced && view == shown->data())
            return;
        *shown = view;
        *announced = true;
        const auto centre = [view](const char* name) {
            auto* button = view->findChild<QPushButton*>(QString::fromLatin1(name));
            return button->mapToGlobal(button->rect().center());
        };
        const QPoint start = centre("startStopButton");
        const QPoint quit = centre("quitButton");
        std::printf("[smoke] popover at %d,%d; Start at %d,%d; Quit at %d,%d\n", view->x(),
                    view->y(), start.x(), start.y(), quit.x(), quit.y());
        printPopover(application);
        if (drive)
            clickStart(view);
    });
    poll->start(100);
}

} // namespace

int main(int argc, char** argv) {
    // Answered before any window system is needed.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("PointrelayServer %s\n", POINTRELAY_VERSION);
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PointrelayServer"));
    // Japanese is the source language; an English desktop gets the English catalogue.
    PointrelayApplication::installTranslation(QLocale::system());
    QApplication::setOrganizationName(QStringLiteral("pointrelay"));
    QApplication::setWindowIcon(PointrelayApplication::icon());
    // A tray program lives on without windows; without a tray, closing the settings window
    // quits (the application object watches for that).
    QApplication::setQuitOnLastWindowClosed(false);

    // One instance per user: a second launch brings the first one's settings window forward.
    pointrelay::app::SingleInstance instance;
    if (!instance.claim())
        return 0;
    PointrelayApplication application;
    QObject::connect(&instance, &pointrelay::app::SingleInstance::activated, &application, [&] {
        application.showSettings();
        if (qEnvironmentVariableIntValue("POINTRELAY_SMOKE") == 1) {
            std::printf("[smoke] settings window shown for another launch\n");
            std::fflush(stdout);
        }
    });
    quitOnSignals(application);
    // At login the application serves at once and stays in the tray (the entry it installs
    // says --background); started by hand it opens its settings.
    application.launch(QApplication::arguments().contains(QStringLiteral("--background")));
    if (qEnvironmentVariableIntValue("POINTRELAY_SMOKE") == 1)
        startSmokeRun(application);
    return app.exec();
}
