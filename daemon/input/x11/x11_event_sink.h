// SPDX-License-Identifier: MIT
#pragma once

#include "input/event_sink.h"
#include "input/linux/keysyms.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct _XDisplay; // Xlib's Display; declared here so includers need no Xlib headers
struct _XkbDesc;  // Xlib's XKB keyboard description

namespace pointrelay::input {

/// The X11 window system: events enter through the XTest extension as if from real devices,
/// so the server derives drags, double-clicks and key repeat itself. Text is typed on the
/// keyboard's own keys where they give its characters as things stand, and otherwise on
/// spare keycodes (ones without any keysym) bound to its characters through XKB, so that
/// neither the layout nor Shift nor Caps Lock changes what arrives.
///
/// Clients look a keycode up only when they handle its event, which may be well after the
/// server delivered it, so a spare keycode keeps its character for a while: it is reused while
/// that character is typed again, given back to NoSymbol by a timer once idle for 30 ms, and
/// bound to another character only once its last use is 30 ms old (the one case that waits,
/// and it waits without holding the sink). Typing costs what the X server takes, not 30 ms.
///
/// Every method may be called from several session threads at once. One mutex guards the
/// display connection and the sink's state, and keeps each event's requests together.
class X11EventSink final : public EventSink {
public:
    struct DisplayCloser {
        void operator()(_XDisplay* display) const;
    };
    using DisplayPtr = std::unique_ptr<_XDisplay, DisplayCloser>;
    struct KeyboardFreer {
        void operator()(_XkbDesc* keyboard) const;
    };
    using KeyboardPtr = std::unique_ptr<_XkbDesc, KeyboardFreer>;

    /// How long a spare keycode keeps a character after its last use: long enough for a
    /// client busy for a moment (a loaded machine) to look up the keys typed with it, which
    /// it does only when it handles their events. At 30 ms a loaded client read a batch of
    /// characters as the next batch's.
    static constexpr std::chrono::milliseconds kBindingLife{200};

    /// Takes an open display whose server has the XTest and XKB extensions, and its keyboard
    /// description with key types and symbols.
    X11EventSink(DisplayPtr display, KeyboardPtr keyboard);
    /// Releases keys still held on spare keycodes and gives every spare keycode back.
    ~X11EventSink() override;

    Point pointerLocation() override;
    void warpPointer(Point to) override;
    void postMouse(const MouseEvent& event) override;
    void postScroll(const ScrollEvent& event) override;
    void postKey(const KeyEvent& event) override;

    HidOpenResult openHidSystem() override;
    int32_t postAuxKey(uint32_t connection, AuxKeyType type, bool down) override;
    /// True once the connection to the X server is lost: the server ended.
    bool gone() override;

private:
    using Clock = std::chrono::steady_clock;
    using Lock = std::unique_lock<std::mutex>;
    /// A spare keycode bound to a keysym that the keyboard map lacks.
    struct Binding {
        unsigned int keycode = 0;
        Clock::time_point lastUse;
        bool pressed = false; ///< a key held down on it: never given back meanwhile
    };

    // All helpers expect m_mutex to be held (as `lock` where they may wait).
    void sync();
    Point queryPointer();
    void moveTo(Point to);
    void moveUnlessThere(Point to);
    void button(unsigned int button, bool down);
    void scrollAxis(double& pending, double delta, unsigned int positive, unsigned int negative);
    void loadKeymap();
    unsigned int keycodeFor(Keysym keysym);
    unsigned int freeKeycode() const;
    unsigned int ownKeyFor(Keysym keysym, unsigned int coreState) const;
    unsigned int spareFor(Keysym keysym, Lock& lock);
    void bind(unsigned int keycode, Keysym keysym);
    void publishKeymap();
    bool key(Keysym keysym, bool down, Lock& lock);
    void typeText(std::u16string_view text, Lock& lock);
    void restoreIdleKeycodes();

    std::atomic<bool> m_gone = false;
    std::mutex m_mutex;
    std::condition_variable m_bindingsChanged;
    DisplayPtr m_display;
    double m_pendingScrollY = 0; ///< vertical pixels not yet worth a wheel step
    double m_pendingScrollX = 0; ///< horizontal pixels not yet worth a wheel step
    std::optional<std::pair<int, int>> m_lastMotion; ///< where our last motion went

    /// The server's key types and symbols as last read (see loadKeymap), with our bindings.
    KeyboardPtr m_xkb;
    std::vector<unsigned int> m_unpublished; ///< keycodes bound in m_xkb but not on the server
    /// Spare keycodes bound now, by the keysym they give.
    std::map<Keysym, Binding> m_bound;
    bool m_stopping = false;
    std::thread m_restorer; ///< gives idle keycodes back; last, so it starts once all exists
};

/// The X11 sink for the display named by DISPLAY, or null (\a whyNot says why) when DISPLAY is
/// unset, the display cannot be opened or its server lacks the XTest or the XKB extension.
std::unique_ptr<EventSink> createX11EventSink(std::string& whyNot);

} // namespace pointrelay::input
