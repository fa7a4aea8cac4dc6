// SPDX-License-Identifier: MIT
#include "x11_event_sink.h"

#include "core/log.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace pointrelay::input {
namespace {

// Buttons 4-7 are the X wheel: 4/5 scroll up/down, 6/7 scroll left/right. Positive deltas
// scroll up and left, as the input layer's wheel values do on the Mac, so positive vertical
// maps to 4 and positive horizontal to 6.
constexpr unsigned int kWheelUp = 4;
constexpr unsigned int kWheelDown = 5;
constexpr unsigned int kWheelLeft = 6;
constexpr unsigned int kWheelRight = 7;
constexpr double kPixelsPerWheelStep = 40;
// A bound on the steps one event may produce, so an absurd delta cannot hold the display
// for long; the excess is dropped.
constexpr double kMaxWheelStepsPerEvent = 100;

// X coordinates are 16-bit; non-finite points are no place at all.
std::optional<std::pair<int, int>> screenPoint(Point p) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y))
        return std::nullopt;
    const auto coordinate = [](double v) {
        return static_cast<int>(std::llround(std::clamp(v, -32768.0, 32767.0)));
    };
    return std::pair{coordinate(p.x), coordinate(p.y)};
}

// Xlib's default handler exits the process on any protocol error; a daemon logs it instead.
int logXError(Display* display, XErrorEvent* error) {
    char text[160] = {};
    XGetErrorText(display, error->error_code, text, sizeof text);
    core::logLine("X11 error: " + std::string(text) + " (request " +
                  std::to_string(error->request_code) + "." + std::to_string(error->minor_code) +
                  ")");
    return 0;
}

} // namespace

void X11EventSink::DisplayCloser::operator()(_XDisplay* display) const {
    XCloseDisplay(display);
}

void X11EventSink::KeyboardFreer::operator()(_XkbDesc* keyboard) const {
    XkbFreeKeyboard(keyboard, 0, True);
}

X11EventSink::X11EventSink(DisplayPtr display, KeyboardPtr keyboard)
    : m_display(std::move(display)), m_xkb(std::move(keyboard)),
      m_restorer([this] { restoreIdleKeycodes(); }) {
    // A lost connection (the X server ended) leaves the display defunct instead of ending
    // the daemon: every later request returns at once, and the sink says it is gone.
    XSetIOErrorExitHandler(
        m_display.get(),
        [](Display*, void* gone) { static_cast<std::atomic<bool>*>(gone)->store(true); }, &m_gone);
}

X11EventSink::~X11EventSink() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_bindingsChanged.notify_all();
    m_restorer.join();
    if (m_gone) {
        // Xlib must not be entered again on a lost connection (closing it writes to it): its
        // descriptor is closed, and its few kilobytes are kept for the life of the process.
        static std::mutex lostMutex;
        static std::vector<Display*> lost;
        ::close(ConnectionNumber(m_display.get()));
        std::lock_guard lock(lostMutex);
        lost.push_back(m_display.release());
        return; // nothing held there any more
    }
    for (const auto& [keysym, binding] : m_bound) {
        if (binding.pressed)
            XTestFakeKeyEvent(m_display.get(), binding.keycode, False, CurrentTime);
    }
    loadKeymap();
    for (const auto& [keysym, binding] : m_bound)
        bind(binding.keycode, NoSymbol);
    publishKeymap();
    sync();
}

bool X11EventSink::gone() {
    if (m_gone)
        return true;
    // The server sends nothing unasked but errors: a connection that reads as ended has ended.
    // Looked at without Xlib, which must not be entered on a connection already lost.
    char byte = 0;
    if (::recv(ConnectionNumber(m_display.get()), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
        m_gone = true;
    return m_gone;
}

Point X11EventSink::pointerLocation() {
    std::lock_guard lock(m_mutex);
    return queryPointer();
}

void X11EventSink::warpPointer(Point to) {
    std::lock_guard lock(m_mutex);
    moveTo(to);
}

void X11EventSink::postMouse(const MouseEvent& event) {
    std::lock_guard lock(m_mutex);
    // Moves and drags only move: the server turns motion with a held button into a drag.
    // Presses and releases first go to their own point, as an absolute click names it.
    // clickState is not needed: X clients count clicks by their timing.
    moveUnlessThere(event.location);
    switch (event.type) {
    case MouseEventType::LeftDown:
    case MouseEventType::LeftUp:
        button(Button1, event.type == MouseEventType::LeftDown);
        break;
    case MouseEventType::RightDown:
    case MouseEventType::RightUp:
        button(Button3, event.type == MouseEventType::RightDown);
        break;
    case MouseEventType::Moved:
    case MouseEventType::LeftDragged:
    case MouseEventType::RightDragged:
        break;
    }
}

void X11EventSink::postScroll(const ScrollEvent& event) {
    std::lock_guard lock(m_mutex);
    scrollAxis(m_pendingScrollY, event.fixedDelta1, kWheelUp, kWheelDown);
    scrollAxis(m_pendingScrollX, event.fixedDelta2, kWheelLeft, kWheelRight);
}

void X11EventSink::postKey(const KeyEvent& event) {
    Lock lock(m_mutex);
    if (event.text) {
        if (event.down) // the matching key-up carries nothing to type
            typeText(*event.text, lock);
        return;
    }
    const Keysym keysym = keysymForVirtualKey(event.keyCode);
    if (keysym == NoSymbol)
        return;
    if (!event.flags) {
        key(keysym, event.down, lock);
        return;
    }
    // A flags-style event carries its modifiers: they wrap the key, pressed before it and
    // released after it. A modifier key carrying its own flag is pressed once.
    std::vector<Keysym> modifiers = modifiersForFlags(*event.flags);
    std::erase(modifiers, keysym);
    if (event.down) {
        for (Keysym modifier : modifiers)
            key(modifier, true, lock);
        key(keysym, true, lock);
    } else {
        key(keysym, false, lock);
        for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it)
            key(*it, false, lock);
    }
}

HidOpenResult X11EventSink::openHidSystem() {
    // X needs no service of its own: auxiliary keys are ordinary keysyms.
    return {.serviceFound = true, .status = 0, .connection = 1};
}

int32_t X11EventSink::postAuxKey(uint32_t, AuxKeyType type, bool down) {
    Lock lock(m_mutex);
    const Keysym keysym = keysymForAuxKey(type);
    return keysym != NoSymbol && key(keysym, down, lock) ? 0 : 1;
}

// Waits until the server has handled every request. We select no events; whatever arrives
// anyway (keyboard-map notices, depending on the server and on Xlib's use of XKB) is dropped
// so that Xlib's queue cannot grow for the life of the daemon.
void X11EventSink::sync() {
    Display* display = m_display.get();
    XSync(display, False);
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
    }
}

Point X11EventSink::queryPointer() {
    Display* display = m_display.get();
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
    unsigned int mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &windowX,
                  &windowY, &mask);
    return {static_cast<double>(rootX), static_cast<double>(rootY)};
}

// Sent without waiting for the server: whatever follows on this connection is handled after
// it, and the next round trip drains what the server sent meanwhile.
void X11EventSink::moveTo(Point to) {
    if (const auto point = screenPoint(to)) {
        // Screen -1 is the screen the pointer is on. A real motion, not XWarpPointer: the
        // server then reports it with the held buttons, which makes drags.
        XTestFakeMotionEvent(m_display.get(), -1, point->first, point->second, CurrentTime);
        XFlush(m_display.get());
        m_lastMotion = point;
    }
}

// A move that follows our own motion to the same point (a pointer move posts both) costs no
// round trip; any other point is compared with where the pointer is.
void X11EventSink::moveUnlessThere(Point to) {
    const auto point = screenPoint(to);
    if (!point || point == m_lastMotion)
        return;
    const Point current = queryPointer();
    if (point->first != current.x || point->second != current.y)
        moveTo(to);
}

void X11EventSink::button(unsigned int button, bool down) {
    XTestFakeButtonEvent(m_display.get(), button, down ? True : False, CurrentTime);
    sync();
}

// Pixels accumulate across events so slow, small scrolls still add up to wheel steps.
void X11EventSink::scrollAxis(double& pending, double delta, unsigned int positive,
                              unsigned int negative) {
    if (!std::isfinite(delta))
        return;
    pending += delta;
    const double steps = std::trunc(pending / kPixelsPerWheelStep);
    pending -= steps * kPixelsPerWheelStep;
    const int count = static_cast<int>(std::min(std::fabs(steps), kMaxWheelStepsPerEvent));
    for (int i = 0; i < count; ++i) {
        XTestFakeButtonEvent(m_display.get(), steps > 0 ? positive : negative, True, CurrentTime);
        XTestFakeButtonEvent(m_display.get(), steps > 0 ? positive : negative, False, CurrentTime);
    }
    if (count > 0)
        sync();
}

// Read afresh before every lookup: other clients (xmodmap, setxkbmap, xdotool) change the
// map at any time, and a client is not reliably told so (under Xvfb this connection receives
// no notice at all). One round trip costs little next to a key press. A spare keycode that
// another client has taken over is no longer ours.
void X11EventSink::loadKeymap() {
    XkbGetUpdatedMap(m_display.get(), XkbKeyTypesMask | XkbKeySymsMask, m_xkb.get());
    std::erase_if(m_bound, [this](const auto& entry) {
        const unsigned int keycode = entry.second.keycode;
        return XkbKeyNumSyms(m_xkb.get(), keycode) == 0 ||
               XkbKeySymEntry(m_xkb.get(), keycode, 0, 0) != entry.first;
    });
}

// The keycode that gives `keysym` in the first group without modifiers, or 0. Keysyms
// reachable only with Shift or Num Lock are typed on a spare keycode instead.
unsigned int X11EventSink::keycodeFor(Keysym keysym) {
    loadKeymap();
    const XkbDescPtr xkb = m_xkb.get();
    for (unsigned int keycode = xkb->min_key_code; keycode <= xkb->max_key_code; ++keycode) {
        if (XkbKeyNumSyms(xkb, keycode) > 0 && XkbKeySymEntry(xkb, keycode, 0, 0) == keysym)
            return keycode;
    }
    return 0;
}

// A keycode without any keysym (the keyboard has no key there) that is not bound yet, or 0.
unsigned int X11EventSink::freeKeycode() const {
    const XkbDescPtr xkb = m_xkb.get();
    for (unsigned int keycode = xkb->min_key_code; keycode <= xkb->max_key_code; ++keycode) {
        const KeySym* syms = XkbKeySymsPtr(xkb, keycode);
        const bool empty = std::all_of(syms, syms + XkbKeyNumSyms(xkb, keycode),
                                       [](KeySym k) { return k == NoSymbol; });
        if (empty && std::none_of(m_bound.begin(), m_bound.end(), [&](const auto& entry) {
                return entry.second.keycode == keycode;
            }))
            return keycode;
    }
    return 0;
}

// A spare keycode giving `keysym`: the one bound to it already, else a free one, else the one
// idle longest once its character is kBindingLife old. 0 when the map has no spare keycode. Expects
// the keyboard map freshly read unless `keysym` is bound.
unsigned int X11EventSink::spareFor(Keysym keysym, Lock& lock) {
    for (;;) {
        if (const auto bound = m_bound.find(keysym); bound != m_bound.end())
            return bound->second.keycode;
        if (const unsigned int keycode = freeKeycode()) {
            bind(keycode, keysym);
            publishKeymap();
            return keycode;
        }
        auto oldest = m_bound.end();
        for (auto it = m_bound.begin(); it != m_bound.end(); ++it) {
            if (!it->second.pressed &&
                (oldest == m_bound.end() || it->second.lastUse < oldest->second.lastUse))
                oldest = it;
        }
        if (oldest == m_bound.end())
            return 0;
        const auto free = oldest->second.lastUse + kBindingLife;
        if (Clock::now() >= free) {
            const unsigned int keycode = oldest->second.keycode;
            m_bound.erase(oldest);
            bind(keycode, keysym);
            publishKeymap();
            return keycode;
        }
        // Every spare keycode is in use by a character typed within kBindingLife: wait for the
        // oldest, without holding the sink, and look again (others may have typed meanwhile).
        sync();
        lock.unlock();
        std::this_thread::sleep_until(free);
        lock.lock();
        loadKeymap();
    }
}

// Binds `keycode` to `keysym` in our copy of the map, or gives it back with NoSymbol; the
// server learns of it with the next publishKeymap(). A bound keycode gives its keysym on both
// levels of the ALPHABETIC key type, which consumes Shift and Caps Lock, so no client converts
// the case of what it reads (é stays é with Caps Lock on). With a single group it gives the
// same keysym whichever layout group is active.
void X11EventSink::bind(unsigned int keycode, Keysym keysym) {
    int types[XkbNumKbdGroups] = {XkbAlphabeticIndex};
    XkbMapChangesRec unused{};
    const int groups = keysym == NoSymbol ? 0 : 1;
    if (XkbChangeTypesOfKey(m_xkb.get(), static_cast<int>(keycode), groups, XkbGroup1Mask, types,
                            &unused) != Success)
        return;
    if (groups > 0) {
        KeySym* levels = XkbKeySymsPtr(m_xkb.get(), keycode);
        levels[0] = levels[1] = keysym;
        m_bound[keysym] = {keycode, Clock::now(), false};
        m_bindingsChanged.notify_all(); // the timer gives it back once idle
    }
    m_unpublished.push_back(keycode);
}

// Sends the server the keycodes whose binding changed, each alone: a range of them would
// also rewrite the keyboard's own keys in between, from a copy that may be a moment old.
void X11EventSink::publishKeymap() {
    for (const unsigned int keycode : m_unpublished) {
        XkbMapChangesRec changes{};
        changes.changed = XkbKeySymsMask;
        changes.first_key_sym = static_cast<KeyCode>(keycode);
        changes.num_key_syms = 1;
        XkbChangeMap(m_display.get(), m_xkb.get(), &changes);
    }
    m_unpublished.clear();
}

// Presses or releases the key of `keysym`; a keysym without a key of its own is held on a
// spare keycode from press to release. False when no keycode can be had.
bool X11EventSink::key(Keysym keysym, bool down, Lock& lock) {
    const auto bound = m_bound.find(keysym);
    unsigned int keycode = bound != m_bound.end() ? bound->second.keycode : keycodeFor(keysym);
    if (keycode == 0 && down)
        keycode = spareFor(keysym, lock);
    if (keycode == 0)
        return false;
    XTestFakeKeyEvent(m_display.get(), keycode, down ? True : False, CurrentTime);
    sync();
    if (const auto it = m_bound.find(keysym); it != m_bound.end()) {
        it->second = {keycode, Clock::now(), down};
        m_bindingsChanged.notify_all(); // released: the timer may give it back
    }
    return true;
}

// The keyboard's own key that gives `keysym` in the keyboard's present state (`coreState`:
// its group and its held and locked modifiers), or 0. A key whose character Caps Lock would
// have a client change does not count.
unsigned int X11EventSink::ownKeyFor(Keysym keysym, unsigned int coreState) const {
    const XkbDescPtr xkb = m_xkb.get();
    for (unsigned int keycode = xkb->min_key_code; keycode <= xkb->max_key_code; ++keycode) {
        KeySym produced = NoSymbol, lower = NoSymbol, upper = NoSymbol;
        unsigned int consumed = 0;
        if (!XkbTranslateKeyCode(xkb, static_cast<KeyCode>(keycode), coreState, &consumed,
                                 &produced) ||
            produced != keysym)
            continue;
        XConvertCase(produced, &lower, &upper);
        if ((coreState & LockMask) && !(consumed & LockMask) && upper != produced)
            continue;
        if (std::none_of(m_bound.begin(), m_bound.end(),
                         [&](const auto& entry) { return entry.second.keycode == keycode; }))
            return keycode;
    }
    return 0;
}

// Text is typed so that neither the layout nor held modifiers nor Caps Lock change a
// character: one that a key of the keyboard gives as things stand is typed on that key, as a
// person would type it; every other one on a spare keycode bound to it. A character typed a
// moment ago finds its spare keycode still bound, so a phone typing key by key costs one
// round trip a key. The characters new to the map are bound together, in one change of it.
void X11EventSink::typeText(std::u16string_view text, Lock& lock) {
    Display* display = m_display.get();
    std::vector<std::pair<Keysym, unsigned int>> keys; // keysym, own key or 0
    for (const char32_t codePoint : decodeUtf16(text)) {
        if (const Keysym keysym = keysymForCodePoint(codePoint))
            keys.emplace_back(keysym, 0);
    }
    if (keys.empty())
        return;
    loadKeymap();
    XkbStateRec state{};
    XkbGetState(display, XkbUseCoreKbd, &state);
    const unsigned int coreState = XkbBuildCoreState(state.mods, state.group);
    for (auto& [keysym, own] : keys) {
        if (m_bound.contains(keysym) || (own = ownKeyFor(keysym, coreState)))
            continue;
        if (const unsigned int keycode = freeKeycode())
            bind(keycode, keysym);
    }
    publishKeymap();
    for (const auto& [keysym, own] : keys) {
        const unsigned int keycode = own ? own : spareFor(keysym, lock);
        if (keycode == 0) {
            core::logLine("X11: no spare keycode to type text with");
            break;
        }
        XTestFakeKeyEvent(display, keycode, True, CurrentTime);
        XTestFakeKeyEvent(display, keycode, False, CurrentTime);
        if (!own)
            m_bound[keysym].lastUse = Clock::now();
    }
    sync();
}

// Gives a spare keycode back to NoSymbol once it has been idle for kBindingLife, so that the
// keyboard map is left as it was found when nobody types.
void X11EventSink::restoreIdleKeycodes() {
    Lock lock(m_mutex);
    while (!m_stopping) {
        auto next = Clock::time_point::max();
        std::vector<unsigned int> idle;
        for (const auto& [keysym, binding] : m_bound) {
            const auto expiry = binding.lastUse + kBindingLife;
            if (!binding.pressed && expiry <= Clock::now())
                idle.push_back(binding.keycode);
            else if (!binding.pressed)
                next = std::min(next, expiry);
        }
        if (!idle.empty()) {
            loadKeymap(); // gives back only what is still ours, on the map as it is now
            std::erase_if(m_bound, [&](const auto& entry) {
                if (std::find(idle.begin(), idle.end(), entry.second.keycode) == idle.end())
                    return false;
                bind(entry.second.keycode, NoSymbol);
                return true;
            });
            publishKeymap();
            sync();
        }
        if (next == Clock::time_point::max())
            m_bindingsChanged.wait(lock);
        else
            m_bindingsChanged.wait_until(lock, next);
    }
}

std::unique_ptr<EventSink> createX11EventSink(std::string& whyNot) {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) {
        whyNot = "DISPLAY is not set";
        return nullptr;
    }
    X11EventSink::DisplayPtr display(XOpenDisplay(name));
    if (!display) {
        whyNot = "cannot open display " + core::escapeForLog(name);
        return nullptr;
    }
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor)) {
        whyNot = "display " + core::escapeForLog(name) + " lacks the XTest extension";
        return nullptr;
    }
    X11EventSink::KeyboardPtr keyboard(
        XkbGetMap(display.get(), XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd));
    if (!keyboard) {
        whyNot = "display " + core::escapeForLog(name) + " lacks the XKB extension";
        return nullptr;
    }
    static std::once_flag handlerInstalled;
    std::call_once(handlerInstalled, [] {
        XSetErrorHandler(logXError);
        XSetIOErrorHandler([](Display*) { return 0; }); // the sink's route says it has gone
    });
    // Our events are processed even while another client grabs the server.
    XTestGrabControl(display.get(), True);
    return std::make_unique<X11EventSink>(std::move(display), std::move(keyboard));
}

} // namespace pointrelay::input
