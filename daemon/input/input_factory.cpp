// SPDX-License-Identifier: MIT
// The one place that knows which platform adapters exist.
#include "input_factory.h"

#include "core/log.h"
#include "input_route.h"
#include "input_service.h"
#include "null/null_event_sink.h"
#include "recovering_event_sink.h"

#include <cstdlib>
#include <string>

#if defined(__APPLE__)
#include "apple/apple_accessibility.h"
#include "apple/apple_event_sink.h"
#else
#include "linux/proc_accessibility.h"
#if defined(POINTRELAY_HAVE_X11)
#include "x11/x11_event_sink.h"
#endif
#if defined(POINTRELAY_HAVE_WAYLAND)
#include "kwin/kwin_backend.h"
#include "libei/ei_client.h"
#include "linux/relative_event_sink.h"
#include "wlroots/wlroots_backend.h"
#endif
#if defined(POINTRELAY_HAVE_DBUS_ROUTES)
#include "gnome/gnome_backend.h"
#include "portal/portal_backend.h"
#endif
#endif

namespace pointrelay::input {
namespace {

#if !defined(__APPLE__)
// A route's sink and what the log calls it; or, when it does not open, why.
struct OpenedRoute {
    std::unique_ptr<EventSink> sink;
    std::string name;
    std::string whyNot;
};

// One route, tried quietly, so that it can be tried again and again while a desktop restarts.
OpenedRoute openRoute(InputRoute route) {
    OpenedRoute opened;
    std::unique_ptr<InjectionBackend> backend;
    switch (route) {
    case InputRoute::wlroots:
#if defined(POINTRELAY_HAVE_WAYLAND)
        backend = WlrootsBackend::connect();
        opened.whyNot = "the compositor offers no virtual pointer and keyboard";
#endif
        break;
    case InputRoute::kwin:
#if defined(POINTRELAY_HAVE_WAYLAND)
        backend = KwinBackend::connect(opened.whyNot);
#endif
        break;
    case InputRoute::libei:
#if defined(POINTRELAY_HAVE_DBUS_ROUTES)
        if (!EiClient::available()) {
            opened.whyNot = "this daemon was built without libei"; // nothing to ask mutter for
            return opened;
        }
#endif
        [[fallthrough]];
    case InputRoute::gnome:
#if defined(POINTRELAY_HAVE_DBUS_ROUTES)
        backend = GnomeBackend::connect(route == InputRoute::libei ? GnomeBackend::Transport::libei
                                                                   : GnomeBackend::Transport::dbus,
                                        opened.whyNot);
#endif
        break;
    case InputRoute::portal:
#if defined(POINTRELAY_HAVE_DBUS_ROUTES)
        backend = PortalBackend::connect();
        opened.whyNot = "no desktop portal offers remote desktop on the session bus";
#endif
        break;
    case InputRoute::x11:
#if defined(POINTRELAY_HAVE_X11)
        if ((opened.sink = createX11EventSink(opened.whyNot)))
            opened.name = "X11 (XTest)";
#else
        opened.whyNot = "not built into this daemon";
#endif
        return opened;
    case InputRoute::none:
        return opened;
    }
#if defined(POINTRELAY_HAVE_WAYLAND)
    if (backend) {
        opened.name = backend->name();
        opened.sink = std::make_unique<RelativeEventSink>(std::move(backend));
    }
#endif
    if (opened.whyNot.empty())
        opened.whyNot = "not built into this daemon";
    return opened;
}

// The route the person chose with POINTRELAY_INPUT, when the value names one.
std::optional<InputRoute> forcedRoute() {
    const char* value = std::getenv("POINTRELAY_INPUT");
    if (!value || !*value)
        return std::nullopt;
    const auto route = routeNamed(value);
    if (!route)
        core::logLine("Input: POINTRELAY_INPUT=" + core::escapeForLog(value) +
                      " names no route (wlroots, kwin, libei, gnome, portal, x11, null); choosing "
                      "as usual");
    return route;
}
#endif

} // namespace

std::unique_ptr<core::InputHandler> createInputHandler() {
    std::unique_ptr<EventSink> sink;
    std::unique_ptr<AccessibilityPort> ax;
#if defined(__APPLE__)
    sink = createAppleEventSink();
    ax = createAppleAccessibility();
#else
    const char* waylandDisplay = std::getenv("WAYLAND_DISPLAY");
    const bool waylandSession = waylandDisplay && *waylandDisplay;
    const std::optional<InputRoute> forced = forcedRoute();
    for (const InputRoute route : routesToTry(waylandDisplay, forced)) {
        OpenedRoute opened = openRoute(route);
        if (!opened.sink) {
            if (route != InputRoute::none)
                core::logLine("Input: the " + std::string(routeName(route)) +
                              " route is skipped: " + core::escapeForLog(opened.whyNot));
            continue;
        }
        core::logLine("Input: " + opened.name);
        if (route == InputRoute::x11 && waylandSession)
            core::logLine("Input: this is a Wayland session: only X applications will "
                          "receive the events");
        sink = std::make_unique<RecoveringEventSink>(std::move(opened.sink), opened.name,
                                                     [route] { return openRoute(route).sink; });
        break;
    }
    if (!sink && forced && *forced != InputRoute::none)
        core::logLine("Input: POINTRELAY_INPUT=" + std::string(routeName(*forced)) +
                      ", but that route does not open here");
    ax = createProcAccessibility();
#endif
    if (!sink)
        sink = createNullEventSink();
    return std::make_unique<InputService>(std::move(sink), std::move(ax),
                                          std::make_unique<SystemTiming>());
}

} // namespace pointrelay::input
