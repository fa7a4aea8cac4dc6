// SPDX-License-Identifier: MIT
#include "test_window.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <chrono>
#include <clocale>
#include <poll.h>
#include <stdexcept>
#include <utility>

namespace pointrelay::test {
namespace {

Display* openDisplay() {
    if (Display* display = XOpenDisplay(nullptr))
        return display;
    throw std::runtime_error("cannot open $DISPLAY");
}

std::string keysymName(KeySym keysym) {
    const char* name = keysym == NoSymbol ? nullptr : XKeysymToString(keysym);
    return name ? name : "?";
}

std::string at(int x, int y) {
    return " @" + std::to_string(x) + "," + std::to_string(y);
}

// The modifiers and buttons held, as the tests name them.
std::string held(unsigned int state) {
    std::string names;
    for (auto [mask, name] : {std::pair{ShiftMask, " shift"},
                              {ControlMask, " ctrl"},
                              {Mod1Mask, " alt"},
                              {Button1Mask, " b1"},
                              {Button3Mask, " b3"}}) {
        if (state & mask)
            names += name;
    }
    return names;
}

} // namespace

TestWindow::TestWindow() {
    // Xutf8LookupString converts through the locale; the built-in input method keeps the
    // lookup free of whatever input method the environment names.
    std::setlocale(LC_ALL, "C.UTF-8");
    XSetLocaleModifiers("@im=none");
    m_display = openDisplay();
    m_control = openDisplay();
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
    m_markerAtom = XInternAtom(display, "POINTRELAY_TEST_MARKER", False);
    m_im = XOpenIM(display, nullptr, nullptr, nullptr);
    if (m_im)
        m_ic = XCreateIC(static_cast<XIM>(m_im), XNInputStyle, XIMPreeditNothing | XIMStatusNothing,
                         XNClientWindow, m_window, XNFocusWindow, m_window, nullptr);
    if (!m_ic)
        throw std::runtime_error("no input context");

    XMapWindow(display, m_window);
    XEvent event;
    do
        XWindowEvent(display, m_window, StructureNotifyMask, &event);
    while (event.type != MapNotify);
    // Focus can only go to a viewable window, hence after MapNotify.
    XSetInputFocus(display, m_window, RevertToParent, CurrentTime);
    XSetICFocus(static_cast<XIC>(m_ic));
    // Xlib reads the keyboard map, and asks to hear of its changes, at the first lookup; an
    // application does so long before it is typed into, so this window does it now.
    XKeysymToKeycode(display, XK_a);
    XSync(display, False);
    m_thread = std::thread([this] { run(); });
}

TestWindow::~TestWindow() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_thread.join();
    XDestroyIC(static_cast<XIC>(m_ic));
    XCloseIM(static_cast<XIM>(m_im));
    XDestroyWindow(m_display, m_window);
    XCloseDisplay(m_display);
    XCloseDisplay(m_control);
}

void TestWindow::run() {
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_stop)
                return;
        }
        while (XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            if (!XFilterEvent(&event, None))
                record(&event);
        }
        pollfd descriptor{ConnectionNumber(m_display), POLLIN, 0};
        poll(&descriptor, 1, 20);
    }
}

void TestWindow::record(const void* xevent) {
    XEvent event = *static_cast<const XEvent*>(xevent);
    std::string line, text;
    switch (event.type) {
    case MappingNotify: // as every application must, or keys are read with the old map
        XRefreshKeyboardMapping(&event.xmapping);
        return;
    case ClientMessage: {
        std::lock_guard lock(m_mutex);
        if (event.xclient.message_type == m_markerAtom)
            m_markersSeen = static_cast<uint32_t>(event.xclient.data.l[0]);
        m_changed.notify_all();
        return;
    }
    case KeyPress: {
        char buffer[64];
        KeySym keysym = NoSymbol;
        Status status = 0;
        const int length = Xutf8LookupString(static_cast<XIC>(m_ic), &event.xkey, buffer,
                                             sizeof buffer, &keysym, &status);
        if (status == XLookupChars || status == XLookupBoth)
            text.assign(buffer, static_cast<size_t>(length));
        line = "key " + keysymName(keysym) + held(event.xkey.state);
        break;
    }
    case KeyRelease:
        line = "key-up " + keysymName(XLookupKeysym(&event.xkey, 0)) + held(event.xkey.state);
        break;
    case ButtonPress:
    case ButtonRelease:
        line = (event.type == ButtonPress ? "button " : "button-up ") +
               std::to_string(event.xbutton.button) +
               at(event.xbutton.x_root, event.xbutton.y_root) + held(event.xbutton.state);
        break;
    case MotionNotify:
        line = "move" + at(event.xmotion.x_root, event.xmotion.y_root) + held(event.xmotion.state);
        break;
    default:
        return;
    }
    std::lock_guard lock(m_mutex);
    m_events.push_back(std::move(line));
    m_text += text;
}

std::vector<std::string> TestWindow::take() {
    uint32_t marker = 0;
    {
        std::lock_guard lock(m_mutex);
        marker = ++m_markersSent;
    }
    // The server handles requests in order: a message sent after the sink's last request
    // arrives after every event that request caused.
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = m_window;
    event.xclient.message_type = m_markerAtom;
    event.xclient.format = 32;
    event.xclient.data.l[0] = marker;
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

std::vector<unsigned long> TestWindow::keyboardMap() {
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(m_control, &minKeycode, &maxKeycode);
    const int count = maxKeycode - minKeycode + 1;
    KeySym* keysyms =
        XGetKeyboardMapping(m_control, static_cast<KeyCode>(minKeycode), count, &perKeycode);
    std::vector<unsigned long> map(keysyms, keysyms + count * perKeycode);
    XFree(keysyms);
    map.insert(map.begin(), static_cast<unsigned long>(perKeycode)); // the width, first
    return map;
}

} // namespace pointrelay::test
