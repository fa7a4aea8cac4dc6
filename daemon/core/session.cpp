// SPDX-License-Identifier: MIT
#include "session.h"

#include "counters.h"
#include "frame.h"
#include "input_handler.h"
#include "log.h"
#include "record.h"

#include <arpa/inet.h>
#include <cstdio>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace pointrelay::core {
namespace {

using std::chrono::milliseconds;

constexpr int kWaitMs = 1000;            // one loop turn waits at most this long for a frame
constexpr milliseconds kPongSlack{2000}; // a PONG deadline falls this long after a ping interval

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

private:
    enum class Outcome { Continue, CloseNormally, Closed };

    Outcome dispatch(const std::vector<uint8_t>& body);
    Outcome openAead(const std::vector<uint8_t>& body);
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
    std::vector<uint8_t> m_plaintext;
    int32_t m_missedPongs = 0;
};

void Session::serve() {
    if (!performHandshake(m_fd, m_config, m_context.guards, m_keys)) {
        ::close(m_fd); // no linger after a failed handshake
        logLine("Disconnected (handshake fail)");
        return;
    }

    auto now = Clock::now();
    auto lastReceived = now;
    auto lastPing = now;
    // Missed PONG deadlines are measured from the last sign of life (any frame) or the last
    // counted deadline, not from the last PING: a PING goes out every interval, so measuring
    // from it would never let a deadline pass.
    auto pongReference = now;
    std::vector<uint8_t> body;

    while (runningFlag.load()) {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_context.stopFd, POLLIN, 0}};
        const bool readable =
            ::poll(fds, m_context.stopFd >= 0 ? 2 : 1, kWaitMs) > 0 && fds[0].revents != 0;
        now = Clock::now();

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
            if (!recvFrame(m_fd, body, kWaitMs)) {
                logLine("recvFrame fail (peer closed or timeout)");
                closeNormally();
                return;
            }
            switch (dispatch(body)) {
            case Outcome::Continue:
                break;
            case Outcome::CloseNormally:
                closeNormally();
                return;
            case Outcome::Closed:
                return;
            }
            now = Clock::now();
            lastReceived = now;
            pongReference = now;
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
    closeNormally(); // the daemon is stopping
}

Session::Outcome Session::dispatch(const std::vector<uint8_t>& body) {
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
        moveCount.fetch_add(1, std::memory_order_relaxed);
        return Outcome::Continue;
    case FrameType::Scroll:
        if (n < 5) {
            logLine("bad scroll");
            return Outcome::Continue;
        }
        input.injectScroll(readInt16(p + 1), readInt16(p + 3));
        scrollCount.fetch_add(1, std::memory_order_relaxed);
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

Session::Outcome Session::openAead(const std::vector<uint8_t>& body) {
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
    Session(fd, std::move(config), context).serve();

    const int32_t left = activeClients.fetch_sub(1) - 1;
    logLine("Client disconnected (" + std::to_string(left) + " active)");
}

} // namespace pointrelay::core
