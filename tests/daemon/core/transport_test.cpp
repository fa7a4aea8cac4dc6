// SPDX-License-Identifier: MIT
// Frames on the wire: length limits checked before a body is read, per-wait time-outs, the
// buffered reader that sessions use, and the options of a session's socket.
#include "core/frame.h"
#include "core/frame_reader.h"
#include "support/socket_pair.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <thread>

namespace pointrelay::core {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

TEST(Frames, LimitsTimeoutsAndTheWireFormat) {
    test::SocketPair link;
    Bytes body;
    for (const Bytes& header : {Bytes{0, 0, 0, 0}, Bytes{0, 1, 0, 0}}) {
        ASSERT_TRUE(link.write(header) && link.write({0x10}));
        EXPECT_FALSE(recvFrame(link.reader(), body, 100));
        EXPECT_EQ(link.pending(), 1u) << "the byte after the header was read";
    }
    Bytes largest{0, 0, 0xFF, 0xFF};
    largest.resize(4 + 65535, 7);
    std::thread sender([&] { EXPECT_TRUE(link.write(largest)); });
    EXPECT_TRUE(recvFrame(link.reader(), body, 1000));
    sender.join();
    EXPECT_EQ(body, Bytes(65535, 7));

    ASSERT_TRUE(link.write({0, 0, 0, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9})); // one byte short
    EXPECT_FALSE(recvFrame(link.reader(), body, 200));

    // One byte every 50 ms beats a 200 ms time-out per wait, but not a 200 ms deadline.
    const auto trickle = [&] {
        for (uint8_t i = 0; i < 8; ++i) {
            link.write({i});
            std::this_thread::sleep_for(50ms);
        }
    };
    uint8_t out[8];
    std::thread first(trickle);
    EXPECT_TRUE(readExact(link.reader(), out, 200));
    first.join();
    std::thread second(trickle);
    EXPECT_FALSE(readExactUntil(link.reader(), out, Clock::now() + 200ms));
    second.join();
    link.pending();

    ASSERT_TRUE(sendFrame(link.writer(), Bytes{0x42}));
    uint8_t wire[5];
    ASSERT_TRUE(readExact(link.reader(), wire, 100));
    EXPECT_EQ(Bytes(wire, wire + 5), (Bytes{0, 0, 0, 1, 0x42}));
    Bytes batch;
    appendFrame(batch, Bytes(300, 7));
    EXPECT_EQ(Bytes(batch.begin(), batch.begin() + 4), (Bytes{0, 0, 1, 0x2C}));

    link.closeWriter();
    EXPECT_FALSE(sendFrame(link.reader(), Bytes{1})); // fails, does not kill the process
}

// Reads as a session does: wait, one read, every complete frame.
std::vector<Bytes> readFrames(FrameReader& frames, int fd, size_t count) {
    std::vector<Bytes> out;
    std::span<const uint8_t> body;
    while (out.size() < count) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 2000) <= 0 || frames.fill(fd) <= 0)
            break;
        while (frames.next(body) == FrameReader::Next::Frame)
            out.emplace_back(body.begin(), body.end());
    }
    return out;
}

TEST(FrameReader, FramesCutAnywhereComeOutWholeAndInOrder) {
    test::SocketPair link;
    std::vector<Bytes> sent;
    Bytes wire;
    uint8_t seed = 1;
    for (const size_t size : {1, 18, 4095, 4096, 65535, 300, 65535, 1, 9000}) {
        sent.emplace_back(size, seed++);
        appendFrame(wire, sent.back());
    }
    std::thread writer([&] { // pieces from single bytes (inside headers) to more than a buffer
        static constexpr size_t kPieces[] = {1, 2, 3, 7, 4093, 13, 70001, 61, 509, 65539};
        for (size_t i = 0, at = 0; at < wire.size(); ++i) {
            const size_t n = std::min(kPieces[i % std::size(kPieces)], wire.size() - at);
            ASSERT_TRUE(link.write(Bytes(wire.begin() + at, wire.begin() + at + n)));
            at += n;
        }
    });
    FrameReader frames;
    EXPECT_EQ(readFrames(frames, link.reader(), sent.size()), sent);
    writer.join();
    EXPECT_FALSE(frames.midFrame());
    EXPECT_EQ(frames.capacity(), FrameReader::kMaxCapacity); // it streamed: the largest buffer

    // A bad length is found before its body arrives, after the intact frame before it; a
    // closed peer leaves an unfinished frame unfinished.
    FrameReader bad;
    std::span<const uint8_t> body;
    ASSERT_TRUE(link.write({0, 0, 0, 1, 0x11, 0, 1, 0, 0}));
    ASSERT_EQ(bad.fill(link.reader()), 9);
    EXPECT_EQ(bad.next(body), FrameReader::Next::Frame);
    EXPECT_EQ(bad.next(body), FrameReader::Next::BadLength);
    FrameReader cut;
    ASSERT_TRUE(link.write({0, 0, 0, 5, 0x11, 0}));
    ASSERT_EQ(cut.fill(link.reader()), 6);
    EXPECT_TRUE(cut.midFrame());
    link.closeWriter();
    EXPECT_EQ(cut.fill(link.reader()), 0);
    EXPECT_EQ(cut.next(body), FrameReader::Next::Incomplete);
    EXPECT_EQ(cut.capacity(), FrameReader::kInitialCapacity); // little traffic, small buffer
}

TEST(SessionSocket, OptionsOfAnAcceptedConnection) {
    const auto get = [](int fd, int level, int name) {
        int value = -1;
        socklen_t length = sizeof value;
        ::getsockopt(fd, level, name, &value, &length);
        return value;
    };
    for (const bool keepalive : {true, false}) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        applySessionSocketOptions(fd, keepalive);
        EXPECT_EQ(get(fd, SOL_SOCKET, SO_KEEPALIVE), keepalive ? 1 : 0);
        if (keepalive) {
            EXPECT_EQ(get(fd, IPPROTO_TCP, TCP_KEEPIDLE), 60);
        }
        EXPECT_EQ(get(fd, IPPROTO_TCP, TCP_NODELAY), 1);
        linger lingering{};
        timeval sendTimeout{};
        socklen_t length = sizeof lingering;
        ::getsockopt(fd, SOL_SOCKET, SO_LINGER, &lingering, &length);
        length = sizeof sendTimeout;
        ::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, &length);
        EXPECT_TRUE(lingering.l_onoff == 1 && lingering.l_linger == 1);
        EXPECT_EQ(sendTimeout.tv_sec, 5); // a peer that stops reading cannot hold a write
        ::close(fd);
    }
}

} // namespace
} // namespace pointrelay::core
