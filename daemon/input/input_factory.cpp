// SPDX-License-Identifier: MIT
// The one place that knows which platform adapters exist.
#include "input_factory.h"

#include "input_service.h"
#include "null/null_event_sink.h"

#if defined(__APPLE__)
#include "apple/apple_accessibility.h"
#include "apple/apple_event_sink.h"
#else
#include "linux/proc_accessibility.h"
#if defined(POINTRELAY_HAVE_X11)
#include "x11/x11_event_sink.h"
#endif
#endif

namespace pointrelay::input {

std::unique_ptr<core::InputHandler> createInputHandler() {
    std::unique_ptr<EventSink> sink;
    std::unique_ptr<AccessibilityPort> ax;
#if defined(__APPLE__)
    sink = createAppleEventSink();
    ax = createAppleAccessibility();
#else
#if defined(POINTRELAY_HAVE_X11)
    sink = createX11EventSink();
#endif
    ax = createProcAccessibility();
#endif
    if (!sink)
        sink = createNullEventSink();
    return std::make_unique<InputService>(std::move(sink), std::move(ax),
                                          std::make_unique<SystemTiming>());
}

} // namespace pointrelay::input
