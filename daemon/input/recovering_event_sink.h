// SPDX-License-Identifier: MIT
#pragma once

#include "input/event_sink.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace pointrelay::input {

/// A route that comes back by itself. When the desktop behind the sink goes (the compositor
/// or the X server restarts, a person logs out and in), events are dropped and one line says
/// so; the route is then opened anew every kRetryInterval until it answers, and one line says
/// that it is back. The first event after that reaches the new desktop.
///
/// Like every sink it is called from several session threads at once; the reopening happens
/// on a thread of its own, so no session waits for a desktop that is not there.
class RecoveringEventSink final : public EventSink {
public:
    using Opener = std::function<std::unique_ptr<EventSink>()>;

    static constexpr std::chrono::milliseconds kRetryInterval{250};

    /// \a name is the route as the log calls it; \a reopen opens it again (null: not yet).
    RecoveringEventSink(std::unique_ptr<EventSink> sink, std::string name, Opener reopen);
    ~RecoveringEventSink() override;

    Point pointerLocation() override;
    void warpPointer(Point to) override;
    void postMouse(const MouseEvent& event) override;
    void postScroll(const ScrollEvent& event) override;
    void postKey(const KeyEvent& event) override;
    HidOpenResult openHidSystem() override;
    int32_t postAuxKey(uint32_t connection, AuxKeyType type, bool down) override;
    bool gone() override;

private:
    /// The sink to post to; null while the desktop is gone (the event is then dropped).
    std::shared_ptr<EventSink> live();
    void watch();

    const std::string m_name;
    const Opener m_reopen;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::shared_ptr<EventSink> m_sink; ///< null while gone
    bool m_stopping = false;
    std::thread m_watcher; // last: starts once everything above exists
};

} // namespace pointrelay::input
