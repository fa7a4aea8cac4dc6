// SPDX-License-Identifier: MIT
#include "relative_event_sink.h"

#include "core/log.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace pointrelay::input {
namespace {

constexpr auto kDropReportInterval = std::chrono::seconds(1);

} // namespace

RelativeEventSink::RelativeEventSink(std::unique_ptr<InjectionBackend> backend)
    : m_backend(std::move(backend)), m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_worker([this] { run(); }) {}

RelativeEventSink::~RelativeEventSink() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_backend->interrupt();
    wake();
    m_worker.join();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

Point RelativeEventSink::pointerLocation() {
    std::lock_guard lock(m_mutex);
    return m_position;
}

void RelativeEventSink::warpPointer(Point to) {
    std::lock_guard lock(m_mutex);
    moveTo(to);
}

void RelativeEventSink::postMouse(const MouseEvent& event) {
    std::lock_guard lock(m_mutex);
    // Presses and releases first go to their own point, as an absolute click names it; moves
    // and drags only move, and the desktop turns motion with a held button into a drag.
    moveTo(event.location);
    switch (event.type) {
    case MouseEventType::LeftDown:
    case MouseEventType::LeftUp:
        push(Button{MouseButton::Left, event.type == MouseEventType::LeftDown});
        break;
    case MouseEventType::RightDown:
    case MouseEventType::RightUp:
        push(Button{MouseButton::Right, event.type == MouseEventType::RightDown});
        break;
    case MouseEventType::Moved:
    case MouseEventType::LeftDragged:
    case MouseEventType::RightDragged:
        break;
    }
}

void RelativeEventSink::postScroll(const ScrollEvent& event) {
    std::lock_guard lock(m_mutex);
    const int vertical = wheelSteps(m_pendingVertical, event.fixedDelta1);
    const int horizontal = wheelSteps(m_pendingHorizontal, event.fixedDelta2);
    if (vertical != 0 || horizontal != 0)
        push(Wheel{vertical, horizontal});
}

void RelativeEventSink::postKey(const KeyEvent& event) {
    std::lock_guard lock(m_mutex);
    if (event.text) {
        if (!event.down) // the matching key-up carries nothing to type
            return;
        std::u32string text;
        for (const char32_t codePoint : decodeUtf16(*event.text)) {
            if (keysymForCodePoint(codePoint) != 0)
                text.push_back(codePoint);
        }
        if (!text.empty())
            push(Text{std::move(text)});
        return;
    }
    const Keysym keysym = keysymForVirtualKey(event.keyCode);
    if (keysym == 0)
        return;
    // A flags-style event carries its modifiers: they wrap the key, pressed before it and
    // released after it. A modifier key carrying its own flag is pressed once.
    std::vector<Keysym> modifiers =
        event.flags ? modifiersForFlags(*event.flags) : std::vector<Keysym>();
    std::erase(modifiers, keysym);
    if (event.down) {
        for (const Keysym modifier : modifiers)
            pushKey(modifier, true);
        pushKey(keysym, true);
    } else {
        pushKey(keysym, false);
        for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it)
            pushKey(*it, false);
    }
}

HidOpenResult RelativeEventSink::openHidSystem() {
    // No service of its own: auxiliary keys are ordinary keysyms.
    return {.serviceFound = true, .status = 0, .connection = 1};
}

int32_t RelativeEventSink::postAuxKey(uint32_t, AuxKeyType type, bool down) {
    const Keysym keysym = keysymForAuxKey(type);
    if (keysym == 0)
        return 1;
    std::lock_guard lock(m_mutex);
    pushKey(keysym, down);
    return 0;
}

bool RelativeEventSink::waitUntilIdle(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, limit, [this] { return m_handled == m_queued; });
}

void RelativeEventSink::moveTo(Point to) {
    if (!std::isfinite(to.x) || !std::isfinite(to.y))
        return; // no place at all
    const double dx = to.x - m_position.x;
    const double dy = to.y - m_position.y;
    m_position = to;
    if (dx != 0 || dy != 0)
        push(Motion{dx, dy});
}

void RelativeEventSink::pushKey(Keysym keysym, bool down) {
    push(Key{keysym, down});
}

void RelativeEventSink::push(Item item) {
    // A burst of moves is one move by the sum: the desktop loses nothing but the steps.
    if (auto* motion = std::get_if<Motion>(&item); motion && !m_queue.empty()) {
        if (auto* last = std::get_if<Motion>(&m_queue.back())) {
            last->dx += motion->dx;
            last->dy += motion->dy;
            return;
        }
    }
    const bool release = (std::holds_alternative<Key>(item) && !std::get<Key>(item).down) ||
                         (std::holds_alternative<Button>(item) && !std::get<Button>(item).down);
    if (m_queue.size() >= kMaxQueued && !release) {
        ++m_dropped;
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastDropReport >= kDropReportInterval) {
            core::logLine("Input: " + std::string(m_backend->name()) + " is not keeping up, " +
                          std::to_string(m_dropped) + " events dropped");
            m_dropped = 0;
            m_lastDropReport = now;
        }
        return;
    }
    m_queue.push_back(std::move(item));
    ++m_queued;
    if (m_queue.size() == 1)
        wake();
}

int RelativeEventSink::wheelSteps(double& pending, double pixels) {
    if (!std::isfinite(pixels))
        return 0;
    pending += pixels;
    const double steps = std::trunc(pending / kPixelsPerWheelStep);
    pending -= steps * kPixelsPerWheelStep;
    return static_cast<int>(std::clamp(steps, -kMaxWheelStepsPerEvent, kMaxWheelStepsPerEvent));
}

bool RelativeEventSink::stopping() {
    std::lock_guard lock(m_mutex);
    return m_stopping;
}

void RelativeEventSink::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

void RelativeEventSink::handle(const Item& item) {
    std::visit(
        [this](const auto& event) {
            using T = std::decay_t<decltype(event)>;
            if constexpr (std::is_same_v<T, Motion>)
                m_backend->motion(event.dx, event.dy);
            else if constexpr (std::is_same_v<T, Button>)
                m_backend->button(event.button, event.down);
            else if constexpr (std::is_same_v<T, Wheel>)
                m_backend->wheel(event.vertical, event.horizontal);
            else if constexpr (std::is_same_v<T, Key>)
                m_backend->key(event.keysym, event.down);
            else
                m_backend->text(event.text);
        },
        item);
}

void RelativeEventSink::run() {
    bool working = m_backend->start();
    if (!working && !stopping())
        core::logLine("Input: " + std::string(m_backend->name()) +
                      " could not be started, events are not posted");
    std::deque<Item> batch;
    for (;;) {
        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {working ? m_backend->pollFd() : -1, POLLIN, 0}};
        const auto timeout = working ? m_backend->serviceTimeout() : std::nullopt;
        const int ready = ::poll(fds, 2, timeout ? static_cast<int>(timeout->count()) : -1);
        if (ready < 0 && errno != EINTR)
            break;
        if (working && (fds[1].revents != 0 || (ready == 0 && timeout)) && !m_backend->service()) {
            working = false; // whoever holds the sink says so, and opens the route anew
            m_gone = true;
        }
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &count, sizeof count);
        bool stopping = false;
        {
            std::lock_guard lock(m_mutex);
            batch.swap(m_queue);
            stopping = m_stopping;
        }
        for (const Item& item : batch) {
            if (working)
                handle(item);
        }
        if (working && !batch.empty())
            m_backend->endOfBatch();
        {
            std::lock_guard lock(m_mutex);
            m_handled += batch.size();
            if (m_handled == m_queued)
                m_idle.notify_all();
        }
        batch.clear();
        if (stopping)
            break;
    }
}

} // namespace pointrelay::input
