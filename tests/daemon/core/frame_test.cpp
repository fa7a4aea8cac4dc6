// SPDX-License-Identifier: MIT
#include "core/frame.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace pointrelay::core {
namespace {

using Bytes = std::vector<uint8_t>;

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, m_fds), 0); }
    void TearDown() override {
        for (const int fd : m_fds)
            if (fd >= 0)
                ::close(fd);
    }
    void write(const Bytes& bytes) {
        ASSERT_EQ(::send(m_fds[1], bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    }
    void closePeer() {
        ::close(m_fds[1]);
        m_fds[1] = -1;
    }
    int reader() const { return m_fds[0]; }
    // Bytes still waiting in the socket, read without blocking.
    size_t pending() {
        uint8_t buffer[70000];
        const ssize_t n = ::recv(m_fds[0], buffer, sizeof buffer, MSG_DONTWAIT);
        return n > 0 ? size_t(n) : 0;
    }

    int m_fds[2] = {-1, -1};
};

TEST_F(FrameTest, LengthLimitsAreCheckedBeforeTheBodyIsRead) {
    Bytes body;
    write({0, 0, 0, 0, 0x10});
    EXPECT_FALSE(recvFrame(reader(), body, 100));
    EXPECT_EQ(pending(), 1u); // the byte after the header was not read

    write({0, 1, 0, 0, 0x10});
    EXPECT_FALSE(recvFrame(reader(), body, 100));
    EXPECT_EQ(pending(), 1u);
}

TEST_F(FrameTest, LargestFrameIsReceivedWhole) {
    Bytes wire{0, 0, 0xFF, 0xFF};
    for (int i = 0; i < 65535; ++i)
        wire.push_back(static_cast<uint8_t>(i));
    std::thread sender([&] { write(wire); });
    Bytes body;
    EXPECT_TRUE(recvFrame(reader(), body, 1000));
    sender.join();
    ASSERT_EQ(body.size(), 65535u);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), wire.begin() + 4));
}

TEST_F(FrameTest, StalledOrClosedBodyFailsTheReceive) {
    Bytes body;
    write({0, 0, 0, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    EXPECT_FALSE(recvFrame(reader(), body, 200)); // nine of ten bytes, then silence

    write({0, 0, 0, 10, 1, 2, 3});
    closePeer();
    EXPECT_FALSE(recvFrame(reader(), body, 2000));
}

TEST_F(FrameTest, PerWaitTimeoutVersusTotalDeadline) {
    // One byte every 50 ms: each wait is short, so the per-wait read succeeds...
    std::thread trickle([&] {
        for (uint8_t i = 0; i < 8; ++i) {
            write({i});
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    uint8_t out[8];
    EXPECT_TRUE(readExact(reader(), out, 200));
    trickle.join();

    // ...while the same trickle cannot beat a 200 ms deadline for the whole read.
    std::thread again([&] {
        for (uint8_t i = 0; i < 8; ++i) {
            write({i});
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    EXPECT_FALSE(readExactUntil(reader(), out, Clock::now() + std::chrono::milliseconds(200)));
    again.join();
}

TEST_F(FrameTest, SendWritesBigEndianHeaderThenBody) {
    const Bytes one{0x42};
    ASSERT_TRUE(sendFrame(m_fds[1], one));
    uint8_t wire[5];
    ASSERT_TRUE(readExact(reader(), wire, 100));
    EXPECT_EQ(Bytes(wire, wire + 5), (Bytes{0, 0, 0, 1, 0x42}));

    Bytes batch;
    appendFrame(batch, Bytes(300, 7));
    EXPECT_EQ(Bytes(batch.begin(), batch.begin() + 4), (Bytes{0, 0, 1, 0x2C}));
    EXPECT_EQ(batch.size(), 304u);
}

TEST_F(FrameTest, SendToClosedPeerFailsInsteadOfKillingTheProcess) {
    closePeer();
    EXPECT_FALSE(sendFrame(m_fds[0], Bytes{1, 2, 3}));
}

TEST(SessionSocket, OptionsOfAnAcceptedConnection) {
    auto get = [](int fd, int level, int name) {
        int value = -1;
        socklen_t length = sizeof value;
        ::getsockopt(fd, level, name, &value, &length);
        return value;
    };
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    applySessionSocketOptions(fd, true);
    EXPECT_EQ(get(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(get(fd, IPPROTO_TCP, TCP_KEEPIDLE), 60);
    EXPECT_EQ(get(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    linger lingerValue{};
    socklen_t length = sizeof lingerValue;
    ::getsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerValue, &length);
    EXPECT_EQ(lingerValue.l_onoff, 1);
    EXPECT_EQ(lingerValue.l_linger, 1);
    timeval sendTimeout{};
    length = sizeof sendTimeout;
    ::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, &length);
    EXPECT_EQ(sendTimeout.tv_sec, 5); // a peer that stops reading cannot hold a write forever
    ::close(fd);

    const int plain = ::socket(AF_INET, SOCK_STREAM, 0);
    applySessionSocketOptions(plain, false);
    EXPECT_EQ(get(plain, SOL_SOCKET, SO_KEEPALIVE), 0);
    ::close(plain);
}

} // namespace
} // namespace pointrelay::core
