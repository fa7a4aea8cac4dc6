// SPDX-License-Identifier: MIT
// The one place that knows which platform adapters exist.
#include "input_factory.h"

#include "core/log.h"
#include "input_route.h"
#include "input_service.h"
#include "null/null_event_sink.h"

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
// The sink of one route, or null when the route does not open here. Says which route it is.
std::unique_ptr<EventSink> openRoute(InputRoute route, bool waylandSession) {
    std::unique_ptr<InjectionBackend> backend;
    switch (route) {
    case InputRoute::wlroots:
#if defined(POINTRELAY_HAVE_WAYLAND)
        backend = WlrootsBackend::connect();
#endif
        break;
    case InputRoute::gnome:
#if defined(POINTRELAY_HAVE_DBUS_ROUTES)
        backend = GnomeBackend::connect();
#endif
        break;
    case InputRoute::portal:
#if defined(POINTRELAY_HAVE_DBUS_ROUTES)
        backend = PortalBackend::connect();
#endif
        break;
    case InputRoute::x11:
#if defined(POINTRELAY_HAVE_X11)
        if (auto sink = createX11EventSink()) {
            core::logLine("Input: X11 (XTest)");
            if (waylandSession)
                core::logLine("Input: this is a Wayland session: only X applications will "
                              "receive the events");
            return sink;
        }
#endif
        return nullptr;
    case InputRoute::none:
        return nullptr;
    }
#if defined(POINTRELAY_HAVE_WAYLAND)
    if (backend) {
        core::logLine("Input: " + std::string(backend->name()));
        return std::make_unique<RelativeEventSink>(std::move(backend));
    }
#endif
    (void)waylandSession;
    return nullptr;
}

// The route the person chose with POINTRELAY_INPUT, when the value names one.
std::optional<InputRoute> forcedRoute() {
    const char* value = std::getenv("POINTRELAY_INPUT");
    if (!value || !*value)
        return std::nullopt;
    const auto route = routeNamed(value);
    if (!route)
        core::logLine("Input: POINTRELAY_INPUT=" + core::escapeForLog(value) +
                      " names no route (x11, wlroots, gnome, portal, null); choosing as usual");
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
        if ((sink = openRoute(route, waylandSession)))
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
