// SPDX-License-Identifier: MIT
// The input is the byte stream a peer sends on one connection. recvFrame and the session's
// buffered FrameReader (its reads cut to sizes taken from the stream) must hand out the same
// frames and stop only where no complete frame of 1 to 65535 bytes follows; the daemon's side
// of the handshake, run on the same bytes, succeeds exactly when the first frame is the HELLO
// built under the key for its nonce, and answers with the matching WELCOME.
#include "core/frame.h"
#include "core/frame_reader.h"
#include "core/handshake.h"
#include "core/log.h"
#include "fixed_handshake.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace pointrelay;
using Bytes = std::vector<uint8_t>;

void require(bool condition, const char* what) {
    if (!condition)
        std::fprintf(stderr, "frame reader fuzzer: %s\n", what), std::abort();
}

// A connection whose peer sent as much of the input as the socket takes, then shut its side.
struct Stream {
    Stream(const uint8_t* data, size_t size) {
        require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
        ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
        for (ssize_t n = 0; sent < size && (n = ::send(fds[1], data + sent, size - sent, 0)) > 0;)
            sent += size_t(n);
        ::shutdown(fds[1], SHUT_WR);
    }
    ~Stream() { ::close(fds[0]), ::close(fds[1]); }
    int fds[2] = {-1, -1}; ///< the daemon's side, the peer's side
    size_t sent = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool quiet = // the handshake's log lines are not needed
        (core::setLogObserver([](std::string_view) {}), true);
    const Stream once(data, size), again(data, size), handshake(data, size);
    std::vector<Bytes> direct, buffered;
    size_t used = 0;
    for (Bytes body; core::recvFrame(once.fds[0], body, 0); used += 4 + body.size())
        direct.push_back(body);
    const uint8_t* rest = data + used;
    const size_t left = once.sent - used,
                 length =
                     left < 4 ? 0 : size_t(rest[0]) << 24 | rest[1] << 16 | rest[2] << 8 | rest[3];
    require(left < 4 || length < 1 || length > 65535 || left - 4 < length,
            "recvFrame stopped before a complete frame");

    core::FrameReader reader;
    std::span<const uint8_t> body;
    for (size_t fills = 0;; ++fills) {
        const auto next = reader.next(body);
        if (next == core::FrameReader::Next::Frame) {
            buffered.emplace_back(body.begin(), body.end());
            continue;
        }
        const uint8_t pick = size ? data[fills * 7919 % size] : 0;
        if (next == core::FrameReader::Next::BadLength ||
            reader.fill(again.fds[0], 0, pick ? pick * 97u : core::FrameReader::kMaxCapacity) <= 0)
            break;
        require(reader.capacity() <= core::FrameReader::kMaxCapacity, "the buffer outgrew a frame");
    }
    require(buffered == direct, "the buffered reader and recvFrame disagree");

    core::HandshakeNonce client{};
    const bool hello =
        !direct.empty() && core::checkHello(direct[0], fuzz::kPsk, client) == core::HelloCheck::Ok;
    const auto built = core::buildHello(fuzz::kPsk, client);
    require(!hello || direct[0] == Bytes(built.begin(), built.end()), "a foreign HELLO passed");
    const core::ServerConfig config{.psk = std::string(fuzz::kPsk)};
    core::SessionKeys keys;
    require(core::performHandshake(handshake.fds[0], config, {}, keys) == hello,
            "the handshake's outcome disagrees with the HELLO check");
    Bytes welcome;
    core::HandshakeNonce server{};
    if (hello && core::recvFrame(handshake.fds[1], welcome, 0) && welcome.size() > 16)
        std::copy_n(welcome.begin() + 1, 16, server.begin());
    const auto expected = core::buildWelcome(fuzz::kPsk, client, server);
    require(!hello || welcome == Bytes(expected.begin(), expected.end()), "a wrong WELCOME");
    return 0;
}
