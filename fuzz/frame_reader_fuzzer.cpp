// SPDX-License-Identifier: MIT
// The input is the byte stream a peer sends on one connection. Its frames are read off socket
// pairs twice, by recvFrame and by the session's buffered FrameReader (reads cut to sizes
// taken from the stream), and each body goes through the HELLO check; the daemon's side of
// the handshake then runs on the same bytes.
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
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace pointrelay;
using Span = std::span<const uint8_t>;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "frame reader fuzzer: %s\n", what);
        std::abort();
    }
}

bool same(Span a, Span b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// A connection whose peer has sent `data` (as much of it as the socket takes) and then shut
// its sending side, so reads find everything at once and end instead of waiting.
struct Stream {
    explicit Stream(Span data) {
        require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
        ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
        while (sent < data.size()) {
            const ssize_t n = ::send(fds[1], data.data() + sent, data.size() - sent, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break; // the buffer is full: the rest never arrives
            sent += size_t(n);
        }
        ::shutdown(fds[1], SHUT_WR);
    }
    ~Stream() { ::close(fds[0]), ::close(fds[1]); }
    int fds[2] = {-1, -1}; ///< the daemon's side, the peer's side
    size_t sent = 0;
};

// The stream as the wire layout reads it (4-byte big-endian length, 1 to 65535 body bytes):
// its complete frames, and whether it then breaks on a header outside the limits.
struct Layout {
    std::vector<Span> frames;
    bool badHeader = false;
};

Layout layoutOf(Span sent) {
    Layout layout;
    for (size_t at = 0; sent.size() - at >= core::kFrameHeaderSize;) {
        const uint8_t* p = sent.data() + at;
        const uint32_t length =
            uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
        uint32_t decoded = 0;
        const bool valid = core::decodeFrameHeader(std::span<const uint8_t, 4>(p, 4), decoded);
        require(decoded == length, "the header's length is misread");
        require(valid == (length >= 1 && length <= core::kMaxFrameBody),
                "a header outside the limits is accepted, or one inside refused");
        if (!(layout.badHeader = !valid) && sent.size() - at - core::kFrameHeaderSize >= length) {
            layout.frames.push_back(sent.subspan(at + core::kFrameHeaderSize, length));
            at += core::kFrameHeaderSize + length;
        } else {
            break;
        }
    }
    return layout;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    core::setLogObserver([](std::string_view) {}); // the handshake's log lines are not needed
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Stream once({data, size}), again({data, size}), handshake({data, size});
    require(once.sent == again.sent && once.sent == handshake.sent, "the streams differ");
    const Span sent(data, once.sent);
    const Layout layout = layoutOf(sent);

    std::vector<uint8_t> body;
    for (const Span expected : layout.frames)
        require(core::recvFrame(once.fds[0], body, 0) && same(body, expected),
                "recvFrame does not read a complete frame as it was sent");
    require(!core::recvFrame(once.fds[0], body, 0), "a frame is read from a bad or cut stream");

    core::FrameReader reader;
    size_t frames = 0;
    for (size_t fills = 0;; ++fills) {
        Span next;
        const auto result = reader.next(next);
        if (result == core::FrameReader::Next::Frame) {
            require(frames < layout.frames.size() && same(next, layout.frames[frames++]),
                    "the buffered reader hands out a frame that was not sent");
            continue;
        }
        if (result == core::FrameReader::Next::BadLength) {
            require(layout.badHeader && frames == layout.frames.size(),
                    "the buffered reader refuses a header inside the limits");
            break;
        }
        const uint8_t pick = sent.empty() ? 0 : sent[fills * 7919 % sent.size()];
        const ssize_t n =
            reader.fill(again.fds[0], 0, pick ? pick * 97u : core::FrameReader::kMaxCapacity);
        require(n >= 0, "a read on the stream failed");
        require(reader.capacity() <= core::FrameReader::kMaxCapacity, "the buffer outgrew a frame");
        if (n == 0) {
            require(!layout.badHeader && frames == layout.frames.size(),
                    "the buffered reader missed frames or a bad header");
            break;
        }
    }

    // Only a HELLO equal to the one built for its nonce under the key is accepted, and the
    // handshake succeeds exactly when the stream starts with one, answering with its WELCOME.
    bool startsWithHello = false;
    for (size_t i = 0; i < layout.frames.size(); ++i) {
        const Span frame = layout.frames[i];
        core::HandshakeNonce nonce{};
        const core::HelloCheck check = core::checkHello(frame, fuzz::kPsk, nonce);
        require((check == core::HelloCheck::InvalidSize) == (frame.size() != core::kHelloSize),
                "the size verdict disagrees with the body's size");
        const bool accepted = check == core::HelloCheck::Ok;
        require(!accepted || same(frame, core::buildHello(fuzz::kPsk, nonce)),
                "an accepted HELLO differs from the one built for its nonce");
        startsWithHello |= accepted && i == 0;
    }
    core::ServerConfig config;
    config.psk = std::string(fuzz::kPsk);
    core::SessionKeys keys;
    const bool done = core::performHandshake(handshake.fds[0], config, {}, keys);
    require(done == startsWithHello, "the handshake's outcome disagrees with the HELLO check");
    if (done) {
        core::HandshakeNonce client{}, server{};
        require(core::recvFrame(handshake.fds[1], body, 0) && body.size() == core::kWelcomeSize,
                "no WELCOME after an accepted HELLO");
        std::copy_n(data + core::kFrameHeaderSize + 6, core::kNonceSize, client.begin());
        std::copy_n(body.begin() + 1, core::kNonceSize, server.begin());
        require(same(body, core::buildWelcome(fuzz::kPsk, client, server)),
                "the WELCOME does not answer the HELLO's nonce");
    }
    return 0;
}
