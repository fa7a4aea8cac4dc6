// SPDX-License-Identifier: MIT
// The input is the byte stream a peer sends on one connection. Its frames are read off socket
// pairs twice, by recvFrame and by the session's buffered FrameReader, and each body goes
// through the HELLO check; the daemon's side of the handshake then runs on the same bytes.
#include "core/frame.h"
#include "core/frame_reader.h"
#include "core/handshake.h"
#include "core/log.h"
#include "fixed_handshake.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <span>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace pointrelay;
using Bytes = std::vector<uint8_t>;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "frame reader fuzzer: %s\n", what);
        std::abort();
    }
}

// A connection whose peer has sent `data` (as much of it as the socket takes) and then shut
// its sending side, so reads find everything at once and end instead of waiting.
class Stream {
public:
    explicit Stream(std::span<const uint8_t> data) {
        require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds) == 0, "socketpair");
        ::fcntl(m_fds[1], F_SETFL, O_NONBLOCK);
        while (m_sent < data.size()) {
            const ssize_t n = ::send(m_fds[1], data.data() + m_sent, data.size() - m_sent, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break; // the buffer is full: the rest never arrives
            m_sent += static_cast<size_t>(n);
        }
        ::shutdown(m_fds[1], SHUT_WR);
    }
    ~Stream() {
        ::close(m_fds[0]);
        ::close(m_fds[1]);
    }
    int daemonSide() const { return m_fds[0]; }
    int peerSide() const { return m_fds[1]; }
    size_t sent() const { return m_sent; }

private:
    int m_fds[2] = {-1, -1};
    size_t m_sent = 0;
};

uint32_t bigEndian32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// The stream as the wire layout reads it (4-byte big-endian length, 1 to 65535 body bytes):
// its complete frames, and whether it then breaks on a header outside the limits (otherwise it
// ends, possibly inside a frame).
struct Layout {
    std::vector<std::span<const uint8_t>> frames;
    bool badHeader = false;
};

Layout layoutOf(std::span<const uint8_t> sent) {
    Layout layout;
    size_t at = 0;
    while (sent.size() - at >= core::kFrameHeaderSize) {
        const std::span<const uint8_t, core::kFrameHeaderSize> header(sent.data() + at,
                                                                      core::kFrameHeaderSize);
        const uint32_t length = bigEndian32(header.data());
        uint32_t decoded = 0;
        const bool valid = core::decodeFrameHeader(header, decoded);
        require(decoded == length, "the header's length is misread");
        require(valid == (length >= 1 && length <= core::kMaxFrameBody),
                "a header outside the limits is accepted, or one inside refused");
        if (!valid) {
            layout.badHeader = true;
            break;
        }
        if (sent.size() - at - core::kFrameHeaderSize < length)
            break;
        layout.frames.push_back(sent.subspan(at + core::kFrameHeaderSize, length));
        at += core::kFrameHeaderSize + length;
    }
    return layout;
}

bool same(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// The HELLO check, with what an accepted HELLO implies: it is exactly the HELLO the phone
// builds for its nonce under the shared key.
core::HelloCheck checkOneHello(std::span<const uint8_t> body) {
    core::HandshakeNonce nonce{};
    const core::HelloCheck result = core::checkHello(body, fuzz::kPsk, nonce);
    require((result == core::HelloCheck::InvalidSize) == (body.size() != core::kHelloSize),
            "size verdict disagrees with the body's size");
    if (result == core::HelloCheck::Ok)
        require(same(body, core::buildHello(fuzz::kPsk, nonce)),
                "an accepted HELLO differs from the one built for its nonce");
    return result;
}

// recvFrame, frame after frame, until the stream ends or breaks.
void readWithRecvFrame(const Stream& stream, const Layout& layout) {
    Bytes body;
    for (const auto& expected : layout.frames) {
        require(core::recvFrame(stream.daemonSide(), body, 0), "a complete frame is not read");
        require(same(body, expected), "a body differs from the bytes sent");
    }
    require(!core::recvFrame(stream.daemonSide(), body, 0),
            "a frame is read from a bad or incomplete stream");
}

// The session's buffered reader, its reads cut to sizes taken from the stream itself.
void readWithFrameReader(const Stream& stream, std::span<const uint8_t> sent,
                         const Layout& layout) {
    core::FrameReader reader;
    size_t frames = 0;
    for (size_t fills = 0;; ++fills) {
        std::span<const uint8_t> body;
        const core::FrameReader::Next next = reader.next(body);
        if (next == core::FrameReader::Next::Frame) {
            require(frames < layout.frames.size() && same(body, layout.frames[frames]),
                    "the buffered reader hands out a frame that was not sent");
            ++frames;
            continue;
        }
        if (next == core::FrameReader::Next::BadLength) {
            require(layout.badHeader && frames == layout.frames.size(),
                    "the buffered reader refuses a header inside the limits");
            return;
        }
        const uint8_t pick = sent.empty() ? 0 : sent[fills * 7919 % sent.size()];
        const size_t limit = pick == 0 ? core::FrameReader::kMaxCapacity : pick * 97u;
        const ssize_t n = reader.fill(stream.daemonSide(), 0, limit);
        require(n >= 0, "a read on the stream failed");
        require(reader.capacity() <= core::FrameReader::kMaxCapacity, "the buffer outgrew a frame");
        if (n == 0) {
            require(!layout.badHeader && frames == layout.frames.size(),
                    "the buffered reader missed frames or a bad header");
            return;
        }
    }
}

// Reads the stream both ways and puts every body through the HELLO check. True when the
// first frame is an accepted HELLO.
bool readEveryFrame(std::span<const uint8_t> data) {
    const Stream once(data);
    const Stream again(data);
    require(once.sent() == again.sent(), "the two streams carry different bytes");
    const std::span<const uint8_t> sent = data.first(once.sent());
    const Layout layout = layoutOf(sent);
    readWithRecvFrame(once, layout);
    readWithFrameReader(again, sent, layout);

    bool firstIsHello = false;
    for (size_t i = 0; i < layout.frames.size(); ++i)
        if (checkOneHello(layout.frames[i]) == core::HelloCheck::Ok && i == 0)
            firstIsHello = true;
    return firstIsHello;
}

// The daemon's side of the handshake on the same bytes: it succeeds exactly when the stream
// starts with an accepted HELLO, and then answers with a WELCOME for that HELLO's nonce.
void runHandshake(std::span<const uint8_t> data, bool startsWithHello) {
    const Stream stream(data);
    core::ServerConfig config;
    config.psk = std::string(fuzz::kPsk);
    core::SessionKeys keys;
    const bool done = core::performHandshake(stream.daemonSide(), config, {}, keys);
    require(done == startsWithHello, "the handshake's outcome disagrees with the HELLO check");
    if (!done)
        return;
    Bytes welcome;
    require(core::recvFrame(stream.peerSide(), welcome, 0) && welcome.size() == core::kWelcomeSize,
            "no WELCOME after an accepted HELLO");
    core::HandshakeNonce clientNonce{};
    core::HandshakeNonce serverNonce{};
    std::copy_n(data.begin() + core::kFrameHeaderSize + 6, core::kNonceSize, clientNonce.begin());
    std::copy_n(welcome.begin() + 1, core::kNonceSize, serverNonce.begin());
    const core::WelcomeFrame expected = core::buildWelcome(fuzz::kPsk, clientNonce, serverNonce);
    require(std::equal(welcome.begin(), welcome.end(), expected.begin(), expected.end()),
            "the WELCOME does not answer the HELLO's nonce");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    core::setLogObserver([](std::string_view) {}); // the handshake's log lines are not needed
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    runHandshake(input, readEveryFrame(input));
    return 0;
}
