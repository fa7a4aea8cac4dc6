// SPDX-License-Identifier: MIT
#include "core/handshake_admission.h"
#include "core/replay_guard.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pointrelay::core {
namespace {

namespace fs = std::filesystem;

HandshakeNonce nonce(uint32_t n) {
    HandshakeNonce out{};
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(n >> (8 * i));
    return out;
}

class ReplayGuardTest : public ::testing::Test {
protected:
    fs::path file() const { return m_dir.path() / "pointrelay" / "replay-nonces"; }

    test::TempDir m_dir;
};

TEST_F(ReplayGuardTest, RefusesSeenNoncesAcrossRestartsOfTheSameKey) {
    {
        ReplayGuard guard("key one");
        ASSERT_TRUE(guard.attachFile(file()));
        EXPECT_TRUE(guard.admit(nonce(1)));
        EXPECT_TRUE(guard.admit(nonce(2)));
        EXPECT_FALSE(guard.admit(nonce(1)));
    }
    struct stat info {};
    ASSERT_EQ(::stat(file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    {
        ReplayGuard restarted("key one");
        ASSERT_TRUE(restarted.attachFile(file()));
        EXPECT_FALSE(restarted.admit(nonce(1)));
        EXPECT_FALSE(restarted.admit(nonce(2)));
        EXPECT_TRUE(restarted.admit(nonce(3)));
    }
    ReplayGuard newKey("key two"); // a new key starts a new set
    ASSERT_TRUE(newKey.attachFile(file()));
    EXPECT_TRUE(newKey.admit(nonce(1)));
}

TEST_F(ReplayGuardTest, KeepsOnlyTheNewestNoncesOnDiskAndInMemory) {
    constexpr size_t kCapacity = 8;
    {
        ReplayGuard guard("k", kCapacity);
        ASSERT_TRUE(guard.attachFile(file()));
        for (uint32_t i = 0; i < 100; ++i)
            ASSERT_TRUE(guard.admit(nonce(i)));
        EXPECT_EQ(guard.size(), kCapacity);
        EXPECT_FALSE(guard.admit(nonce(99)));
        EXPECT_TRUE(guard.admit(nonce(0))); // long forgotten
    }
    EXPECT_LE(fs::file_size(file()), 40 + 2 * kCapacity * 16);
    ReplayGuard restarted("k", kCapacity);
    ASSERT_TRUE(restarted.attachFile(file()));
    EXPECT_FALSE(restarted.admit(nonce(98)));
    EXPECT_FALSE(restarted.admit(nonce(0)));
}

TEST_F(ReplayGuardTest, TornOrForeignFilesAreRecovered) {
    {
        ReplayGuard guard("k");
        ASSERT_TRUE(guard.attachFile(file()));
        guard.admit(nonce(7));
    }
    { std::ofstream(file(), std::ios::app | std::ios::binary) << "torn"; }
    {
        ReplayGuard guard("k");
        ASSERT_TRUE(guard.attachFile(file()));
        EXPECT_FALSE(guard.admit(nonce(7)));
    }
    { std::ofstream(file(), std::ios::trunc) << "not ours"; }
    ReplayGuard guard("k");
    ASSERT_TRUE(guard.attachFile(file()));
    EXPECT_TRUE(guard.admit(nonce(7)));
}

TEST_F(ReplayGuardTest, UnusableFileFallsBackToMemory) {
    { std::ofstream(m_dir.path() / "pointrelay") << "a file where the folder should be"; }
    ReplayGuard guard("k");
    EXPECT_FALSE(guard.attachFile(file()));
    EXPECT_TRUE(guard.admit(nonce(1)));
    EXPECT_FALSE(guard.admit(nonce(1)));
}

TEST(ReplayGuardPath, FollowsXdgStateHome) {
    const char* saved = std::getenv("XDG_STATE_HOME");
    ::setenv("XDG_STATE_HOME", "/tmp/state", 1);
    EXPECT_EQ(ReplayGuard::defaultPath(), fs::path("/tmp/state/pointrelay/replay-nonces"));
    ::setenv("XDG_STATE_HOME", "relative", 1); // not absolute: ignored, as XDG says
    EXPECT_EQ(ReplayGuard::defaultPath()->filename(), "replay-nonces");
    EXPECT_NE(ReplayGuard::defaultPath(), fs::path("relative/pointrelay/replay-nonces"));
    if (saved)
        ::setenv("XDG_STATE_HOME", saved, 1);
    else
        ::unsetenv("XDG_STATE_HOME");
}

// A socket pair per pending connection; the test holds the far end and sees the eviction.
struct Pending {
    Pending() { ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds); }
    ~Pending() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    bool evicted() const {
        uint8_t b;
        return ::recv(fds[1], &b, 1, MSG_DONTWAIT) == 0; // EOF: the daemon's end was shut
    }
    int fds[2];
};

TEST(HandshakeAdmission, EvictsTheOldestOfTheSameAddressThenOverall) {
    test::LogCapture log;
    HandshakeAdmission admission(2, 4);
    Pending a1, a2, a3, b1, c1, d1;
    const uint64_t t1 = admission.admit(a1.fds[0], 1);
    admission.admit(a2.fds[0], 1);
    admission.admit(a3.fds[0], 1); // third from address 1: its oldest goes
    EXPECT_TRUE(a1.evicted());
    EXPECT_FALSE(a2.evicted());
    admission.release(t1); // releasing an evicted ticket is harmless
    admission.admit(b1.fds[0], 2);
    admission.admit(c1.fds[0], 3);
    EXPECT_EQ(admission.pendingCount(), 4u);
    EXPECT_FALSE(a2.evicted());

    const uint64_t td = admission.admit(d1.fds[0], 4); // a fifth would wait: the oldest goes
    EXPECT_TRUE(a2.evicted());
    EXPECT_FALSE(a3.evicted());
    admission.release(td);
    EXPECT_EQ(admission.pendingCount(), 3u);
    EXPECT_FALSE(d1.evicted());
    // Evictions in quick succession are reported once.
    EXPECT_EQ(log.count("Too many pending handshakes -> closing the oldest"), 1u);

    admission.shutdownAll();
    EXPECT_TRUE(b1.evicted());
    EXPECT_TRUE(c1.evicted());
    EXPECT_EQ(admission.pendingCount(), 0u);
}

} // namespace
} // namespace pointrelay::core
