// SPDX-License-Identifier: MIT
// One session run in-process (runClientSession over a loopback TCP connection), measured
// against bare loopback code doing the least the same job needs: the latency from a phone's
// write to the input layer's call, and the MOVE frames per second one session takes in.
#include "core/input_handler.h"
#include "core/log.h"
#include "core/session.h"
#include "figure.h"
#include "latency.h"
#include "loopback.h"
#include "phone_client.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace pointrelay::bench {
namespace {

using namespace std::chrono_literals;

constexpr char kPsk[] = "be7cbe7cbe7cbe7cbe7cbe7cbe7cbe7cbe7cbe7cbe7cbe7cbe7cbe7cbe7cbe7c";

// runClientSession on the server end of a loopback connection, the phone authenticated on
// the client end. The session ends when the phone hangs up.
class InProcessSession {
public:
    explicit InProcessSession(core::InputHandler& input) {
        const auto connection = connectOverLoopback();
        m_config.psk = kPsk;
        m_context.input = &input;
        m_thread = std::thread([this, fd = connection.server, peer = connection.peer] {
            core::runClientSession(fd, peer, m_config, m_context);
        });
        phone.adopt(connection.client);
        authenticated = phone.handshake(kPsk);
    }
    ~InProcessSession() {
        phone.close();
        m_thread.join();
    }

    client::PhoneClient phone;
    bool authenticated = false;

private:
    core::ServerConfig m_config;
    core::SessionContext m_context;
    std::thread m_thread;
};

Percentiles sessionLatency() {
    StampingInput input;
    InProcessSession session(input);
    if (!session.authenticated)
        return {};
    const auto frame = moveFrame();
    return moveLatency(input, [&] { return session.phone.sendRaw(frame); });
}

// Half the round trip of the same 9 bytes echoed by a thread blocked in recv.
Percentiles bareOneWay() {
    const auto connection = connectOverLoopback();
    const auto frame = moveFrame();
    std::thread echo([fd = connection.server, size = frame.size()] {
        std::vector<uint8_t> buffer(size);
        while (recvAll(fd, buffer.data(), size) && sendAll(fd, buffer.data(), size)) {
        }
    });
    std::vector<uint8_t> back(frame.size());
    std::vector<uint64_t> samples;
    const auto deadline = std::chrono::steady_clock::now() + kSampleTimeLimit;
    for (int i = 0; i < kWarmup + kSamples && std::chrono::steady_clock::now() < deadline; ++i) {
        const uint64_t sent = nowNs();
        if (!sendAll(connection.client, frame.data(), frame.size()) ||
            !recvAll(connection.client, back.data(), back.size()))
            break;
        if (i >= kWarmup)
            samples.push_back((nowNs() - sent) / 2);
    }
    ::shutdown(connection.client, SHUT_RDWR);
    echo.join();
    ::close(connection.client);
    ::close(connection.server);
    return samples.empty() ? Percentiles{} : percentiles(std::move(samples));
}

// ---- throughput ----

// Writes large batches of MOVE frames until told to stop.
class FramePump {
public:
    explicit FramePump(int fd) {
        m_thread = std::thread([this, fd] {
            std::vector<uint8_t> batch;
            const auto frame = moveFrame(1, -1);
            while (batch.size() + frame.size() <= 63 * 1024)
                batch.insert(batch.end(), frame.begin(), frame.end());
            while (!m_stop.load(std::memory_order_relaxed) &&
                   sendAll(fd, batch.data(), batch.size())) {
            }
        });
    }
    void stop() {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class CountingInput final : public InputStub {
public:
    void injectMove(double dx, double) override {
        // One writer: a plain store is enough for the sampler to read.
        moves.store(moves.load(std::memory_order_relaxed) + (dx != 0), std::memory_order_relaxed);
    }
    std::atomic<uint64_t> moves{0};
};

constexpr auto kSettle = 300ms;
constexpr auto kWindow = 1000ms;

// Frames a second counted over a window, after the flow has settled.
template <typename Counter>
double rateOver(Counter count) {
    std::this_thread::sleep_for(kSettle);
    const uint64_t before = count();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kWindow);
    const uint64_t after = count();
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    return (after - before) / seconds.count();
}

double sessionMovesPerSecond() {
    CountingInput input;
    InProcessSession session(input);
    if (!session.authenticated)
        return 0;
    FramePump pump(session.phone.fd());
    const double rate = rateOver([&] { return input.moves.load(std::memory_order_relaxed); });
    pump.stop();
    return rate;
}

// The least a frame reader does: one recv into a buffer, then every whole frame in it is
// checked and decoded, and each move handed to the same input layer as the session's.
double bareReaderMovesPerSecond() {
    const auto connection = connectOverLoopback();
    CountingInput countingInput;
    core::InputHandler& input = countingInput;
    std::thread reader([&, fd = connection.server] {
        std::vector<uint8_t> buffer(64 * 1024 + core::kFrameHeaderSize);
        size_t have = 0;
        for (;;) {
            const ssize_t n = ::recv(fd, buffer.data() + have, buffer.size() - have, 0);
            if (n <= 0)
                return;
            have += static_cast<size_t>(n);
            size_t at = 0;
            uint32_t length = 0;
            while (have - at >= core::kFrameHeaderSize &&
                   core::decodeFrameHeader(std::span(buffer).subspan(at).first<4>(), length) &&
                   have - at >= core::kFrameHeaderSize + length) {
                const uint8_t* body = buffer.data() + at + core::kFrameHeaderSize;
                if (body[0] == 0x11 && length >= 5)
                    input.injectMove(static_cast<int16_t>(body[1] << 8 | body[2]),
                                     static_cast<int16_t>(body[3] << 8 | body[4]));
                at += core::kFrameHeaderSize + length;
            }
            std::copy(buffer.begin() + at, buffer.begin() + have, buffer.begin());
            have -= at;
        }
    });
    FramePump pump(connection.client);
    const double rate =
        rateOver([&] { return countingInput.moves.load(std::memory_order_relaxed); });
    pump.stop();
    ::shutdown(connection.client, SHUT_RDWR);
    reader.join();
    ::close(connection.client);
    ::close(connection.server);
    return rate;
}

} // namespace
} // namespace pointrelay::bench

int main() {
    using namespace pointrelay::bench;
    pointrelay::core::setLogObserver([](std::string_view) {}); // the session's lines are not timed

    heading("End-to-end latency, phone write -> input layer call, one 9-byte MOVE frame "
            "(lower is better)");
    const auto bare = bareOneWay();
    const auto session = sessionLatency();
    print({"session p50", session.p50, "us", "bare loopback one-way p50", bare.p50, "", {}});
    print({"session p99", session.p99, "us", "bare loopback one-way p99", bare.p99, "ratio <= 2",
           bare.p99 > 0 && session.p99 / bare.p99 <= 2});

    heading("MOVE frames per second through one session (higher is better; best of 3 runs)");
    double bareRate = 0, sessionRate = 0;
    for (int run = 0; run < 3; ++run) { // alternating, so both see the same machine
        bareRate = std::max(bareRate, bareReaderMovesPerSecond());
        sessionRate = std::max(sessionRate, sessionMovesPerSecond());
    }
    print({"session (runClientSession)", sessionRate, "frames/s", "bare loopback frame reader",
           bareRate, "ratio >= 0.8", bareRate > 0 && sessionRate / bareRate >= 0.8});
    return figuresStatus();
}
