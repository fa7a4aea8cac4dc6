// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct _XDisplay;

namespace pointrelay::test {

/// A focused window covering the whole screen of $DISPLAY, read by its own thread the way an
/// application reads its events: keyboard-map changes refresh Xlib's map, key presses are
/// looked up as UTF-8 through an input context while the map is current.
struct TestWindow {
    TestWindow();
    ~TestWindow();

    /// The events since the last take(), once every event the server generated so far has
    /// been read. One line each, with the modifiers and buttons held before it:
    /// "key c ctrl", "key-up c ctrl", "button 1 @200,200", "button-up 1 @260,230 b1",
    /// "move @260,230 b1".
    std::vector<std::string> take();
    /// The text key presses typed since the last call, after take().
    std::string takeText();
    /// Presses or releases the key of `keysym` ("Shift_L") on the server's keyboard, as a
    /// person at it would.
    void fakeKey(const char* keysym, bool down);
    /// The whole keyboard map as the server holds it now, its width first.
    std::vector<unsigned long> keyboardMap();

    void record(void* xevent);

    _XDisplay* m_display = nullptr; ///< read only by m_thread once it runs
    _XDisplay* m_control = nullptr; ///< the test thread's own connection
    unsigned long m_window = 0, m_marker = 0;
    void *m_im = nullptr, *m_ic = nullptr; ///< the input method and its context
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
    std::string m_text;
    long m_markersSent = 0, m_markersSeen = 0;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

} // namespace pointrelay::test
