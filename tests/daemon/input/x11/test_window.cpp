// SPDX-License-Identifier: MIT
#include "test_window.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <chrono>
#include <clocale>
#include <poll.h>
#include <stdexcept>
#include <utility>

namespace pointrelay::test {
namespace {

// The modifiers and buttons held, as the tests name them, after " @X,Y" for pointer events.
std::string held(unsigned int state, std::string text = "") {
    for (auto [mask, name] : {std::pair{ShiftMask, " shift"}, std::pair{ControlMask, " ctrl"},
                              std::pair{Mod1Mask, " alt"}, std::pair{Button1Mask, " b1"},
                              std::pair{Button3Mask, " b3"}})
        if (state & mask)
            text += name;
    return text;
}

std::string at(int x, int y, unsigned int state) {
    return held(state, " @" + std::to_string(x) + "," + std::to_string(y));
}

} // namespace

TestWindow::TestWindow() {
    // Xutf8LookupString converts through the locale; the built-in input method keeps the
    // lookup free of whatever input method the environment names.
    std::setlocale(LC_ALL, "C.UTF-8");
    XSetLocaleModifiers("@im=none");
    if (!(m_display = XOpenDisplay(nullptr)) || !(m_control = XOpenDisplay(nullptr)))
        throw std::runtime_error("cannot open $DISPLAY");
    Display* display = m_display;
    const int screen = DefaultScreen(display);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                            PointerMotionMask | StructureNotifyMask;
    m_window =
        XCreateWindow(display, RootWindow(display, screen), 0, 0, DisplayWidth(display, screen),
                      DisplayHeight(display, screen), 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    m_marker = XInternAtom(display, "POINTRELAY_TEST_MARKER", False);
    if ((m_im = XOpenIM(display, nullptr, nullptr, nullptr)))
        m_ic = XCreateIC(static_cast<XIM>(m_im), XNInputStyle, XIMPreeditNothing | XIMStatusNothing,
                         XNClientWindow, m_window, XNFocusWindow, m_window, nullptr);
    if (!m_ic)
        throw std::runtime_error("no input context");
    XMapWindow(display, m_window);
    for (XEvent event{}; event.type != MapNotify;)
        XWindowEvent(display, m_window, StructureNotifyMask, &event);
    // Focus can only go to a viewable window, hence after MapNotify.
    XSetInputFocus(display, m_window, RevertToParent, CurrentTime);
    XSetICFocus(static_cast<XIC>(m_ic));
    // Xlib reads the keyboard map, and asks to hear of its changes, at the first lookup; an
    // application does so long before it is typed into, so this window does it now.
    XKeysymToKeycode(display, XK_a);
    XSync(display, False);
    m_thread = std::thread([this] { // reads what is there, then waits up to 20 ms for more
        for (pollfd ready{ConnectionNumber(m_display), POLLIN, 0}; !m_stop; poll(&ready, 1, 20))
            for (XEvent event; XPending(m_display) > 0;) {
                XNextEvent(m_display, &event);
                if (!XFilterEvent(&event, None))
                    record(&event);
            }
    });
}

TestWindow::~TestWindow() {
    m_stop = true;
    m_thread.join();
    XDestroyIC(static_cast<XIC>(m_ic));
    XCloseIM(static_cast<XIM>(m_im));
    XDestroyWindow(m_display, m_window);
    XCloseDisplay(m_display);
    XCloseDisplay(m_control);
}

void TestWindow::record(void* xevent) {
    XEvent& event = *static_cast<XEvent*>(xevent);
    std::string line, text;
    const auto name = [](KeySym keysym) {
        const char* known = keysym == NoSymbol ? nullptr : XKeysymToString(keysym);
        return std::string(known ? known : "?");
    };
    if (event.type == MappingNotify) // as every application must, or keys read the old map
        return XRefreshKeyboardMapping(&event.xmapping), void();
    std::lock_guard lock(m_mutex);
    if (event.type == ClientMessage && event.xclient.message_type == m_marker) {
        m_markersSeen = event.xclient.data.l[0];
        return m_changed.notify_all();
    } else if (event.type == KeyPress) {
        char buffer[64];
        KeySym keysym = NoSymbol;
        Status status = 0;
        const int length = Xutf8LookupString(static_cast<XIC>(m_ic), &event.xkey, buffer,
                                             sizeof buffer, &keysym, &status);
        if (status == XLookupChars || status == XLookupBoth)
            text.assign(buffer, static_cast<size_t>(length));
        line = "key " + name(keysym) + held(event.xkey.state);
    } else if (event.type == KeyRelease) {
        line = "key-up " + name(XLookupKeysym(&event.xkey, 0)) + held(event.xkey.state);
    } else if (event.type == ButtonPress || event.type == ButtonRelease) {
        line = (event.type == ButtonPress ? "button " : "button-up ") +
               std::to_string(event.xbutton.button) +
               at(event.xbutton.x_root, event.xbutton.y_root, event.xbutton.state);
    } else if (event.type == MotionNotify) {
        line = "move" + at(event.xmotion.x_root, event.xmotion.y_root, event.xmotion.state);
    } else {
        return;
    }
    m_events.push_back(std::move(line));
    m_text += text;
}

std::vector<std::string> TestWindow::take() {
    // The server handles requests in order: a message sent after the sink's last request
    // arrives after every event that request caused.
    const long marker = ++m_markersSent; // only this thread counts them
    XEvent event{.xclient = {.type = ClientMessage,
                             .window = m_window,
                             .message_type = m_marker,
                             .format = 32,
                             .data = {.l = {marker}}}};
    XSendEvent(m_control, m_window, False, NoEventMask, &event);
    XSync(m_control, False);
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_markersSeen >= marker; }))
        throw std::runtime_error("the test window's events did not arrive within 5 s");
    return std::exchange(m_events, {});
}

std::string TestWindow::takeText() {
    take();
    std::lock_guard lock(m_mutex);
    return std::exchange(m_text, {});
}

void TestWindow::fakeKey(const char* keysym, bool down) {
    XTestFakeKeyEvent(m_control, XKeysymToKeycode(m_control, XStringToKeysym(keysym)), down,
                      CurrentTime);
    XSync(m_control, False);
}

std::vector<unsigned long> TestWindow::keyboardMap() {
    int minKeycode = 0, maxKeycode = 0, width = 0;
    XDisplayKeycodes(m_control, &minKeycode, &maxKeycode);
    const int count = maxKeycode - minKeycode + 1;
    KeySym* keysyms = XGetKeyboardMapping(m_control, KeyCode(minKeycode), count, &width);
    std::vector<unsigned long> map(keysyms, keysyms + count * width);
    XFree(keysyms);
    map.insert(map.begin(), static_cast<unsigned long>(width));
    return map;
}

} // namespace pointrelay::test
