// SPDX-License-Identifier: MIT
#include "session.h"

#include "counters.h"
#include "device_keys.h"
#include "frame.h"
#include "frame_reader.h"
#include "input_handler.h"
#include "log.h"
#include "record.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace pointrelay::core {
namespace {

using std::chrono::milliseconds;

constexpr int kWaitMs = 1000;            // one loop turn waits at most this long for a frame
constexpr milliseconds kPongSlack{2000}; // a PONG deadline falls this long after a ping interval
// A stopping daemon still handles the frames that had reached it, for at most this long, so
// that its final counts include everything a phone sent before the stop. A phone that has
// hung up gets the same time for what it had sent; the rest is dropped, not typed into a
// desktop for a phone that is gone.
constexpr milliseconds kStopDrainTime{250};
// How many moves are handled between two looks at whether the phone has hung up (a look costs
// a system call; every slower frame is followed by one).
constexpr int kMovesBetweenHangUpChecks = 4096;

int16_t readInt16(const uint8_t* p) {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] << 8 | p[1]));
}

long long msSince(Clock::time_point then, Clock::time_point now) {
    return std::chrono::duration_cast<milliseconds>(now - then).count();
}

class Session {
public:
    Session(int fd, ServerConfig config, const SessionContext& context)
        : m_fd(fd), m_config(std::move(config)), m_context(context) {}

    // Serves frames until something ends the session; the socket is closed on return.
    void serve();
    /// The paired device that connected (no key when the config's own key served).
    const DeviceMatch& device() const { return m_device; }

private:
    enum class Outcome { Continue, CloseNormally, Closed };
    // What one read brought: complete frames (all handled), only part of a frame, or the end.
    enum class Received { Frames, Part, Failed, CloseNormally, Closed, HungUp };

    Received receive(int flags, size_t limit, Clock::time_point until);
    Received handleBuffered(Clock::time_point until);
    bool drainAfterStop();
    bool peerHungUp() const;
    size_t dropQueued();
    Outcome dispatch(std::span<const uint8_t> body);
    Outcome openAead(std::span<const uint8_t> body);
    // Counts are added to the process-wide counters once per read instead of once per frame
    // (an atomic addition costs as much as the rest of a MOVE frame), and before every PONG,
    // so a phone that has its PONG finds all its frames counted.
    void flushCounts() {
        if (m_moves != 0)
            moveCount.fetch_add(std::exchange(m_moves, 0), std::memory_order_relaxed);
        if (m_scrolls != 0)
            scrollCount.fetch_add(std::exchange(m_scrolls, 0), std::memory_order_relaxed);
    }
    void closeNormally() {
        setLingerOneSecond(m_fd);
        ::close(m_fd);
    }
    void closeWith(const char* before, const char* after) {
        logLine(before);
        closeNormally();
        logLine(after);
    }

    const int m_fd;
    const ServerConfig m_config;
    const SessionContext& m_context;
    SessionKeys m_keys;
    DeviceMatch m_device;
    FrameReader m_reader;
    std::vector<uint8_t> m_plaintext;
    int32_t m_missedPongs = 0;
    Clock::time_point m_hungUpUntil = Clock::time_point::max(); ///< set once the phone hung up
    uint64_t m_moves = 0;
    uint64_t m_scrolls = 0;
};

void Session::serve() {
    if (!performHandshake(m_fd, m_config, m_context.guards, m_keys, &m_device)) {
        ::close(m_fd); // no linger after a failed handshake
        logLine("Disconnected (handshake fail)");
        return;
    }

    auto now = Clock::now();
    auto lastReceived = now;
    auto lastPing = now;
    auto lastArrival = now; // of any bytes: inside a frame the rest is waited for from here
    // Missed PONG deadlines are measured from the last sign of life (any frame) or the last
    // counted deadline, not from the last PING: a PING goes out every interval, so measuring
    // from it would never let a deadline pass.
    auto pongReference = now;

    while (runningFlag.load()) {
        // Inside a frame, each wait for more of it lasts at most kWaitMs (the frame transport's
        // per-wait time-out); otherwise a loop turn waits that long for the next frame.
        int waitMs = kWaitMs;
        if (m_reader.midFrame())
            waitMs = static_cast<int>(
                std::clamp<long long>(kWaitMs - msSince(lastArrival, Clock::now()), 0, kWaitMs));
        // A negative descriptor is skipped by poll: no stop event, or no paired device.
        pollfd fds[3] = {{m_fd, POLLIN, 0},
                         {m_context.stopFd, POLLIN, 0},
                         {m_device.key ? m_device.key->revokedFd() : -1, POLLIN, 0}};
        const bool readable = ::poll(fds, 3, waitMs) > 0 && fds[0].revents != 0;
        now = Clock::now();
        if (fds[2].revents != 0) {
            logLine("Device removed (" + deviceLabel(m_device.name) + ") -> closing");
            closeNormally();
            return;
        }

        if (msSince(lastPing, now) >= m_config.pingMs) {
            static constexpr uint8_t kPing[] = {static_cast<uint8_t>(FrameType::Ping)};
            if (!sendFrame(m_fd, kPing)) {
                logLine("PING send failed");
                closeNormally();
                return;
            }
            lastPing = now;
        }

        if (readable) {
            switch (receive(0, FrameReader::kMaxCapacity, Clock::time_point::max())) {
            case Received::Frames:
                now = Clock::now();
                lastReceived = now;
                pongReference = now;
                break;
            case Received::Part:
                break;
            case Received::Failed:
                logLine("recvFrame fail (peer closed or timeout)");
                closeNormally();
                return;
            case Received::CloseNormally:
                closeNormally();
                return;
            case Received::Closed:
                return;
            case Received::HungUp:
                logLine("Phone hung up -> " + std::to_string(dropQueued()) +
                        " queued frames dropped");
                closeNormally();
                return;
            }
            lastArrival = now;
        } else if (m_reader.midFrame() && msSince(lastArrival, now) >= kWaitMs) {
            logLine("recvFrame fail (peer closed or timeout)");
            closeNormally();
            return;
        }

        if (msSince(lastReceived, now) >= m_config.idleMs) {
            logLine("Idle timeout -> closing");
            closeNormally();
            return;
        }

        if (msSince(lastReceived, now) > m_config.pingMs &&
            now - pongReference > milliseconds(m_config.pingMs) + kPongSlack) {
            ++m_missedPongs;
            pongReference = now;
        }
        if (m_missedPongs >= m_config.grace) {
            logLine("No PONGs -> closing");
            closeNormally();
            return;
        }
    }
    // The daemon is stopping.
    if (drainAfterStop())
        closeNormally();
}

// One recv of what the socket holds, then every frame it completed, in order.
Session::Received Session::receive(int flags, size_t limit, Clock::time_point until) {
    ssize_t n;
    do {
        n = m_reader.fill(m_fd, flags, limit);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return Received::Part;
    if (n <= 0)
        return Received::Failed; // closed or reset; every complete frame was handled before
    return handleBuffered(until);
}

// Handles the complete frames in the buffer until it holds no more, the session ends, the
// daemon stops, or (while draining) `until` passes. A phone found to have hung up meanwhile
// gets kStopDrainTime more; then the session reports HungUp with the rest unhandled.
Session::Received Session::handleBuffered(Clock::time_point until) {
    const bool draining = until != Clock::time_point::max();
    InputHandler& input = *m_context.input;
    Received result = Received::Part;
    std::span<const uint8_t> body;
    int movesUnchecked = 0;
    const auto checkHangUp = [&] {
        movesUnchecked = 0;
        if (m_hungUpUntil == Clock::time_point::max() && !draining && peerHungUp())
            m_hungUpUntil = Clock::now() + kStopDrainTime;
    };
    for (;;) {
        if (draining ? Clock::now() >= until : !runningFlag.load(std::memory_order_relaxed))
            break; // the rest is left to the drain, or to nobody
        if (m_hungUpUntil != Clock::time_point::max() && Clock::now() >= m_hungUpUntil) {
            result = Received::HungUp;
            break;
        }
        const FrameReader::Next next = m_reader.next(body);
        if (next == FrameReader::Next::Incomplete)
            break;
        if (next == FrameReader::Next::BadLength) {
            result = Received::Failed;
            break;
        }
        result = Received::Frames;
        // Pointer moves are most of the traffic; they take the shortest way.
        if (body[0] == static_cast<uint8_t>(FrameType::Move) && body.size() >= 5) {
            input.injectMove(readInt16(&body[1]), readInt16(&body[3]));
            ++m_moves;
            if (++movesUnchecked == kMovesBetweenHangUpChecks)
                checkHangUp();
            continue;
        }
        const Outcome outcome = dispatch(body);
        if (outcome != Outcome::Continue) {
            result = outcome == Outcome::Closed ? Received::Closed : Received::CloseNormally;
            break;
        }
        checkHangUp();
    }
    flushCounts();
    return result;
}

// Whether the phone has closed its side or reset the connection, whatever it sent before is
// still unread: the kernel tells a half-close (POLLRDHUP) apart from data waiting.
bool Session::peerHungUp() const {
    pollfd fd{m_fd, POLLRDHUP, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Counts (and discards) the complete frames that the phone had sent and nobody will handle.
size_t Session::dropQueued() {
    size_t dropped = 0;
    std::span<const uint8_t> body;
    do {
        while (m_reader.next(body) == FrameReader::Next::Frame)
            ++dropped;
    } while (m_reader.fill(m_fd, MSG_DONTWAIT) > 0);
    return dropped;
}

// Handles what had arrived when the session noticed the stop: the bytes queued in the socket
// then, read without waiting. Returns false if a frame ended the session (socket closed).
bool Session::drainAfterStop() {
    const auto until = Clock::now() + kStopDrainTime;
    int queued = 0;
    if (::ioctl(m_fd, FIONREAD, &queued) != 0 || queued < 0)
        queued = 0;
    size_t left = static_cast<size_t>(queued);
    // First the frames already read but not handled when the stop came.
    for (bool first = true; first || (left > 0 && Clock::now() < until); first = false) {
        if (!first) {
            const ssize_t n = m_reader.fill(m_fd, MSG_DONTWAIT, left);
            if (n <= 0)
                return true;
            left -= static_cast<size_t>(n);
        }
        switch (handleBuffered(until)) {
        case Received::CloseNormally:
            closeNormally();
            return false;
        case Received::Closed:
            return false;
        case Received::Failed:
            return true; // a broken header: the rest cannot be framed
        case Received::Frames:
        case Received::Part:
        case Received::HungUp:
            break;
        }
    }
    return true;
}

Session::Outcome Session::dispatch(std::span<const uint8_t> body) {
    const size_t n = body.size();
    const uint8_t* p = body.data();
    InputHandler& input = *m_context.input;

    switch (static_cast<FrameType>(p[0])) {
    case FrameType::Hello:
        closeWith("PROTO: HELLO received after handshake -> closing (client bug).",
                  "Closed due to re-HELLO");
        return Outcome::Closed;
    case FrameType::Text:
        input.handleTextMessage(m_fd,
                                std::string_view(reinterpret_cast<const char*>(p + 1), n - 1));
        return Outcome::Continue;
    case FrameType::Move:
        if (n < 5) {
            logLine("bad mouse move");
            return Outcome::Continue;
        }
        input.injectMove(readInt16(p + 1), readInt16(p + 3));
        ++m_moves;
        return Outcome::Continue;
    case FrameType::Scroll:
        if (n < 5) {
            logLine("bad scroll");
            return Outcome::Continue;
        }
        input.injectScroll(readInt16(p + 1), readInt16(p + 3));
        ++m_scrolls;
        return Outcome::Continue;
    case FrameType::Click: {
        if (n < 3) {
            logLine("bad click");
            return Outcome::Continue;
        }
        const bool down = p[2] != 0;
        logLine("CLICK: btn=" + std::to_string(p[1]) + (down ? " down" : " up"));
        input.injectButton(p[1] == 0, down);
        return Outcome::Continue;
    }
    case FrameType::Aead:
        return openAead(body);
    case FrameType::Ping: {
        static constexpr uint8_t kPong[] = {static_cast<uint8_t>(FrameType::Pong)};
        flushCounts();
        sendFrame(m_fd, kPong); // a failure shows at the next PING or receive
        return Outcome::Continue;
    }
    case FrameType::Pong:
        m_missedPongs = 0;
        return Outcome::Continue;
    case FrameType::Welcome:
        break;
    }
    char line[64];
    std::snprintf(line, sizeof line, "Unknown frame type: 0x%02X (len=%zu)", p[0], n);
    logLine(line);
    return Outcome::Continue;
}

Session::Outcome Session::openAead(std::span<const uint8_t> body) {
    switch (openRecord(m_keys, body, m_plaintext)) {
    case RecordOpen::TooShort:
        logLine("AEAD: bad frame size");
        return Outcome::Continue;
    case RecordOpen::Failed:
        closeWith("WARN AEAD decrypt failed (all attempts) -> closing connection",
                  "Closed due to AEAD failure");
        return Outcome::Closed;
    case RecordOpen::Opened:
        break;
    }
    m_context.input->handleTextMessage(
        m_fd,
        std::string_view(reinterpret_cast<const char*>(m_plaintext.data()), m_plaintext.size()));
    return Outcome::Continue;
}

} // namespace

void runClientSession(int fd, const sockaddr_in& peer, ServerConfig config,
                      const SessionContext& context) {
    char address[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    logLine(std::string("Client connected: ") + address);
    const int32_t active = activeClients.fetch_add(1) + 1;
    logLine("Client connected (" + std::to_string(active) + " active)");

    applySessionSocketOptions(fd, config.keepalive);
    Session session(fd, std::move(config), context);
    session.serve();
    if (!session.device().name.empty())
        logLine("Session ended (" + deviceLabel(session.device().name) + ")");
    if (context.input->releaseHeld())
        logLine("Released the buttons the client held down");

    const int32_t left = activeClients.fetch_sub(1) - 1;
    logLine("Client disconnected (" + std::to_string(left) + " active)");
}

} // namespace pointrelay::core
