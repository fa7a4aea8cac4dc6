// SPDX-License-Identifier: MIT
#include "core/frame_reader.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace pointrelay::core {
namespace {

using Bytes = std::vector<uint8_t>;

class FrameReaderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, m_fds), 0); }
    void TearDown() override {
        for (const int fd : m_fds)
            if (fd >= 0)
                ::close(fd);
    }
    int reader() const { return m_fds[0]; }
    int writer() const { return m_fds[1]; }
    void closeWriter() {
        ::close(m_fds[1]);
        m_fds[1] = -1;
    }

    // Waits for data as the session does, reads once, and takes every complete frame; the
    // reads stop when the writer has closed or `count` frames came out.
    std::vector<Bytes> readFrames(FrameReader& frames, size_t count) {
        std::vector<Bytes> out;
        std::span<const uint8_t> body;
        while (out.size() < count) {
            pollfd pfd{reader(), POLLIN, 0};
            if (::poll(&pfd, 1, 2000) <= 0 || frames.fill(reader()) <= 0)
                break;
            FrameReader::Next next;
            while ((next = frames.next(body)) == FrameReader::Next::Frame)
                out.emplace_back(body.begin(), body.end());
            EXPECT_NE(next, FrameReader::Next::BadLength);
        }
        return out;
    }

    int m_fds[2] = {-1, -1};
};

Bytes bodyOf(size_t size, uint8_t seed) {
    Bytes body(size);
    for (size_t i = 0; i < size; ++i)
        body[i] = static_cast<uint8_t>(seed + i * 31);
    return body;
}

TEST_F(FrameReaderTest, FramesCutAnywhereComeOutWholeAndInOrder) {
    std::vector<Bytes> sent;
    Bytes wire;
    uint8_t seed = 1;
    for (const size_t size : {1, 5, 18, 4095, 4096, 65535, 5, 300, 65535, 1, 9000})
        for (int repeat = 0; repeat < 3; ++repeat) {
            sent.push_back(bodyOf(size, seed++));
            appendFrame(wire, sent.back());
        }
    // Pieces of every size, from single bytes (inside headers) to larger than the buffer.
    std::thread writerThread([&] {
        static constexpr size_t kPieces[] = {1, 2, 3, 7, 4093, 13, 70001, 61, 509, 65539};
        size_t at = 0;
        for (size_t i = 0; at < wire.size(); ++i) {
            const size_t n = std::min(kPieces[i % std::size(kPieces)], wire.size() - at);
            ASSERT_EQ(::send(writer(), wire.data() + at, n, 0), ssize_t(n));
            at += n;
            if (i % 5 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    FrameReader frames;
    const auto received = readFrames(frames, sent.size());
    writerThread.join();
    EXPECT_EQ(received, sent);
    EXPECT_FALSE(frames.midFrame());
    EXPECT_LE(frames.capacity(), FrameReader::kMaxCapacity);
}

TEST_F(FrameReaderTest, BadLengthIsFoundBeforeItsBodyArrives) {
    for (const Bytes& header : {Bytes{0, 0, 0, 0}, Bytes{0, 1, 0, 0}, Bytes{0xFF, 0, 0, 1}}) {
        FrameReader frames;
        Bytes wire;
        appendFrame(wire, Bytes{0x11, 0, 1, 0, 1});
        wire.insert(wire.end(), header.begin(), header.end()); // and nothing after it
        ASSERT_EQ(::send(writer(), wire.data(), wire.size(), 0), ssize_t(wire.size()));
        ASSERT_EQ(frames.fill(reader()), ssize_t(wire.size()));
        std::span<const uint8_t> body;
        ASSERT_EQ(frames.next(body), FrameReader::Next::Frame); // the frame before it is intact
        EXPECT_EQ(Bytes(body.begin(), body.end()), (Bytes{0x11, 0, 1, 0, 1}));
        EXPECT_EQ(frames.next(body), FrameReader::Next::BadLength);
    }
}

TEST_F(FrameReaderTest, PartialFramesWaitAndAClosedPeerReadsZero) {
    FrameReader frames;
    std::span<const uint8_t> body;
    const Bytes wire{0, 0, 0, 5, 0x11, 0, 2};
    ASSERT_EQ(::send(writer(), wire.data(), wire.size(), 0), ssize_t(wire.size()));
    ASSERT_EQ(frames.fill(reader()), 7);
    EXPECT_EQ(frames.next(body), FrameReader::Next::Incomplete);
    EXPECT_TRUE(frames.midFrame());
    closeWriter();
    EXPECT_EQ(frames.fill(reader()), 0);
    EXPECT_EQ(frames.next(body), FrameReader::Next::Incomplete); // never a frame cut short
}

// A connection that sends little keeps a small buffer; one that streams gets the largest,
// and a read never takes more than it is allowed to.
TEST_F(FrameReaderTest, BufferGrowsOnlyWhileReadsFillIt) {
    FrameReader frames;
    for (int i = 0; i < 100; ++i) {
        Bytes wire;
        appendFrame(wire, Bytes{0x11, 0, 1, 0, 1});
        ASSERT_EQ(::send(writer(), wire.data(), wire.size(), 0), ssize_t(wire.size()));
        ASSERT_EQ(readFrames(frames, 1).size(), 1u);
    }
    EXPECT_EQ(frames.capacity(), FrameReader::kInitialCapacity);

    Bytes wire;
    for (int i = 0; i < 20000; ++i)
        appendFrame(wire, Bytes{0x11, 0, 1, 0, 1});
    std::thread writerThread(
        [&] { ASSERT_EQ(::send(writer(), wire.data(), wire.size(), 0), ssize_t(wire.size())); });
    EXPECT_EQ(readFrames(frames, 20000).size(), 20000u);
    writerThread.join();
    EXPECT_EQ(frames.capacity(), FrameReader::kMaxCapacity);

    ASSERT_EQ(::send(writer(), wire.data(), 100, 0), 100);
    EXPECT_EQ(frames.fill(reader(), MSG_DONTWAIT, 30), 30);
}

} // namespace
} // namespace pointrelay::core
