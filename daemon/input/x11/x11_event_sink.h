// SPDX-License-Identifier: MIT
#pragma once

#include "input/event_sink.h"
#include "input/linux/keysyms.h"

#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

struct _XDisplay; // Xlib's Display; declared here so includers need no Xlib headers

namespace pointrelay::input {

/// The X11 window system: events enter through the XTest extension as if from real devices,
/// so the server derives drags, double-clicks and key repeat itself. Characters the keyboard
/// map lacks are typed by binding them to spare keycodes for a moment.
///
/// Every method may be called from several session threads at once. One mutex guards the
/// display connection and the sink's state, and keeps each event's requests together (a text
/// binds, types and restores keycodes that no other event may touch meanwhile).
class X11EventSink final : public EventSink {
public:
    struct DisplayCloser {
        void operator()(_XDisplay* display) const;
    };
    using DisplayPtr = std::unique_ptr<_XDisplay, DisplayCloser>;

    /// Takes an open display whose server has the XTest extension.
    explicit X11EventSink(DisplayPtr display);
    /// Releases keys still held on borrowed keycodes and gives those keycodes back.
    ~X11EventSink() override;

    Point pointerLocation() override;
    void warpPointer(Point to) override;
    void postMouse(const MouseEvent& event) override;
    void postScroll(const ScrollEvent& event) override;
    void postKey(const KeyEvent& event) override;

    HidOpenResult openHidSystem() override;
    int32_t postAuxKey(uint32_t connection, AuxKeyType type, bool down) override;

private:
    // All helpers expect m_mutex to be held.
    void sync();
    Point queryPointer();
    void moveTo(Point to);
    void moveUnlessThere(Point to);
    void button(unsigned int button, bool down);
    void scrollAxis(double& pending, double delta, unsigned int positive, unsigned int negative);
    void loadKeymap();
    unsigned int keycodeFor(Keysym keysym);
    std::vector<unsigned int> spareKeycodes();
    void bindKeycode(unsigned int keycode, Keysym keysym);
    bool key(Keysym keysym, bool down);
    void typeText(std::u16string_view text);

    std::mutex m_mutex;
    DisplayPtr m_display;
    double m_pendingScrollY = 0; ///< vertical pixels not yet worth a wheel step
    double m_pendingScrollX = 0; ///< horizontal pixels not yet worth a wheel step

    /// The server's keyboard map as last read (see loadKeymap).
    std::vector<Keysym> m_keymap;
    int m_minKeycode = 0;
    int m_keysymsPerKeycode = 0;
    /// Keys pressed on a borrowed spare keycode, bound until their release.
    std::map<Keysym, unsigned int> m_borrowed;
};

/// The X11 sink for the display named by DISPLAY, or null when DISPLAY is unset, the display
/// cannot be opened or its server lacks the XTest extension.
std::unique_ptr<EventSink> createX11EventSink();

} // namespace pointrelay::input
