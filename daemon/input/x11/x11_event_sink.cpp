// SPDX-License-Identifier: MIT
#include "x11_event_sink.h"

#include "core/log.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
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

// Clients translate a keycode into a keysym when they handle the event, which may be well
// after the server delivered it. A borrowed keycode therefore stays bound this long after
// its last use: 2 ms suffice on an idle desktop, a loaded one has needed 20-50 ms.
constexpr std::chrono::milliseconds kRestoreDelay{30};

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

X11EventSink::X11EventSink(DisplayPtr display) : m_display(std::move(display)) {}

X11EventSink::~X11EventSink() {
    std::lock_guard lock(m_mutex);
    for (const auto& [keysym, keycode] : m_borrowed) {
        XTestFakeKeyEvent(m_display.get(), keycode, False, CurrentTime);
        bindKeycode(keycode, NoSymbol);
    }
    sync();
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
    std::lock_guard lock(m_mutex);
    if (event.text) {
        if (event.down) // the matching key-up carries nothing to type
            typeText(*event.text);
        return;
    }
    const Keysym keysym = keysymForVirtualKey(event.keyCode);
    if (keysym == NoSymbol)
        return;
    if (!event.flags) {
        key(keysym, event.down);
        return;
    }
    // A flags-style event carries its modifiers: they wrap the key, pressed before it and
    // released after it. A modifier key carrying its own flag is pressed once.
    std::vector<Keysym> modifiers = modifiersForFlags(*event.flags);
    std::erase(modifiers, keysym);
    if (event.down) {
        for (Keysym modifier : modifiers)
            key(modifier, true);
        key(keysym, true);
    } else {
        key(keysym, false);
        for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it)
            key(*it, false);
    }
}

HidOpenResult X11EventSink::openHidSystem() {
    // X needs no service of its own: auxiliary keys are ordinary keysyms.
    return {.serviceFound = true, .status = 0, .connection = 1};
}

int32_t X11EventSink::postAuxKey(uint32_t, AuxKeyType type, bool down) {
    std::lock_guard lock(m_mutex);
    const Keysym keysym = keysymForAuxKey(type);
    return keysym != NoSymbol && key(keysym, down) ? 0 : 1;
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

void X11EventSink::moveTo(Point to) {
    if (const auto point = screenPoint(to)) {
        // Screen -1 is the screen the pointer is on. A real motion, not XWarpPointer: the
        // server then reports it with the held buttons, which makes drags.
        XTestFakeMotionEvent(m_display.get(), -1, point->first, point->second, CurrentTime);
        sync();
    }
}

void X11EventSink::moveUnlessThere(Point to) {
    const auto point = screenPoint(to);
    const Point current = queryPointer();
    if (point && (point->first != current.x || point->second != current.y))
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

// Read afresh for every lookup: other clients (xmodmap, setxkbmap, a layout switch) change the
// map at any time, and a client that has not initialised XKB is not reliably told so (under
// Xvfb this connection receives no MappingNotify at all). One round trip costs little next to
// a key press.
void X11EventSink::loadKeymap() {
    Display* display = m_display.get();
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    KeySym* keysyms = XGetKeyboardMapping(display, static_cast<KeyCode>(minKeycode),
                                          maxKeycode - minKeycode + 1, &perKeycode);
    m_keymap.clear();
    if (keysyms) {
        m_keymap.assign(keysyms, keysyms + (maxKeycode - minKeycode + 1) * perKeycode);
        XFree(keysyms);
    }
    m_minKeycode = minKeycode;
    m_keysymsPerKeycode = perKeycode;
}

// The keycode that gives `keysym` without modifiers (first column), or 0. Keysyms reachable
// only with Shift or Num Lock are typed on a borrowed keycode instead.
unsigned int X11EventSink::keycodeFor(Keysym keysym) {
    loadKeymap();
    for (size_t i = 0; m_keysymsPerKeycode > 0 && i < m_keymap.size(); i += m_keysymsPerKeycode) {
        if (m_keymap[i] == keysym)
            return m_minKeycode + static_cast<unsigned int>(i / m_keysymsPerKeycode);
    }
    return 0;
}

// Keycodes with no keysym at all: the server has no key there, so we may borrow them.
std::vector<unsigned int> X11EventSink::spareKeycodes() {
    loadKeymap();
    std::vector<unsigned int> spare;
    for (size_t i = 0; m_keysymsPerKeycode > 0 && i < m_keymap.size(); i += m_keysymsPerKeycode) {
        const auto row = m_keymap.begin() + static_cast<std::ptrdiff_t>(i);
        if (std::all_of(row, row + m_keysymsPerKeycode, [](Keysym k) { return k == NoSymbol; }))
            spare.push_back(m_minKeycode + static_cast<unsigned int>(i / m_keysymsPerKeycode));
    }
    return spare;
}

// Every column gets the keysym: with one in the first column only, the server would derive
// the shifted column by case conversion (é → É under Shift or Caps Lock).
void X11EventSink::bindKeycode(unsigned int keycode, Keysym keysym) {
    std::vector<KeySym> row(static_cast<size_t>(std::max(m_keysymsPerKeycode, 1)), keysym);
    XChangeKeyboardMapping(m_display.get(), static_cast<int>(keycode), static_cast<int>(row.size()),
                           row.data(), 1);
    const size_t start = (keycode - m_minKeycode) * row.size();
    if (start + row.size() <= m_keymap.size())
        std::copy(row.begin(), row.end(), m_keymap.begin() + static_cast<std::ptrdiff_t>(start));
}

// Presses or releases the key of `keysym`. A keysym without a key of its own is bound to a
// spare keycode on press and unbound after release. False when no keycode can be had.
bool X11EventSink::key(Keysym keysym, bool down) {
    auto borrowed = m_borrowed.find(keysym);
    unsigned int keycode = borrowed != m_borrowed.end() ? borrowed->second : keycodeFor(keysym);
    if (keycode == 0) {
        if (!down)
            return false; // never pressed
        const std::vector<unsigned int> spare = spareKeycodes();
        if (spare.empty())
            return false;
        keycode = spare.front();
        bindKeycode(keycode, keysym);
        sync();
        borrowed = m_borrowed.emplace(keysym, keycode).first;
    }
    XTestFakeKeyEvent(m_display.get(), keycode, down ? True : False, CurrentTime);
    sync();
    if (!down && borrowed != m_borrowed.end()) {
        std::this_thread::sleep_for(kRestoreDelay);
        bindKeycode(keycode, NoSymbol);
        sync();
        m_borrowed.erase(borrowed);
    }
    return true;
}

// Text is typed on borrowed keycodes, never on the keyboard's own keys: that way neither the
// layout nor held modifiers nor Caps Lock change a character. Each batch binds as many distinct
// characters as there are spare keycodes, types them, and restores the keycodes after
// kRestoreDelay; a batch of hundreds of characters costs one delay, not hundreds.
void X11EventSink::typeText(std::u16string_view text) {
    std::vector<Keysym> keysyms;
    for (char32_t codePoint : decodeUtf16(text)) {
        if (const Keysym keysym = keysymForCodePoint(codePoint))
            keysyms.push_back(keysym);
    }
    Display* display = m_display.get();
    for (size_t next = 0; next < keysyms.size();) {
        const std::vector<unsigned int> spare = spareKeycodes();
        if (spare.empty()) {
            core::logLine("X11: no spare keycode to type text with");
            return;
        }
        std::map<Keysym, unsigned int> batch;
        size_t end = next;
        for (; end < keysyms.size(); ++end) {
            if (batch.contains(keysyms[end]))
                continue;
            if (batch.size() == spare.size())
                break;
            batch.emplace(keysyms[end], spare[batch.size()]);
        }
        for (const auto& [keysym, keycode] : batch)
            bindKeycode(keycode, keysym);
        sync();
        for (; next < end; ++next) {
            const unsigned int keycode = batch.at(keysyms[next]);
            XTestFakeKeyEvent(display, keycode, True, CurrentTime);
            XTestFakeKeyEvent(display, keycode, False, CurrentTime);
        }
        sync();
        std::this_thread::sleep_for(kRestoreDelay);
        for (const auto& [keysym, keycode] : batch)
            bindKeycode(keycode, NoSymbol);
        sync();
    }
}

std::unique_ptr<EventSink> createX11EventSink() {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name)
        return nullptr;
    X11EventSink::DisplayPtr display(XOpenDisplay(name));
    if (!display) {
        core::logLine("X11: cannot open display " + core::escapeForLog(name));
        return nullptr;
    }
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor)) {
        core::logLine("X11: display " + core::escapeForLog(name) + " lacks the XTest extension");
        return nullptr;
    }
    static std::once_flag handlerInstalled;
    std::call_once(handlerInstalled, [] { XSetErrorHandler(logXError); });
    // Our events are processed even while another client grabs the server.
    XTestGrabControl(display.get(), True);
    return std::make_unique<X11EventSink>(std::move(display));
}

} // namespace pointrelay::input
