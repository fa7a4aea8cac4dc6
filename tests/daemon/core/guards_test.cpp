// SPDX-License-Identifier: MIT
// The memory of accepted HELLO nonces (across restarts, bounded, recovering from bad files)
// and the limits on connections that wait for their HELLO.
#include "core/handshake_admission.h"
#include "core/replay_guard.h"
#include "support/log_capture.h"
#include "support/socket_pair.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace pointrelay::core {
namespace {

namespace fs = std::filesystem;

HandshakeNonce nonce(uint32_t n) {
    return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16)};
}

TEST(ReplayGuard, RemembersTheNewestNoncesOfAKeyAcrossRestarts) {
    test::TempDir dir;
    const fs::path file = dir.path() / "pointrelay" / "replay-nonces";
    {
        ReplayGuard guard("key one", 8);
        ASSERT_TRUE(guard.attachFile(file));
        for (uint32_t i = 0; i < 100; ++i)
            ASSERT_TRUE(guard.admit(nonce(i)));
        EXPECT_FALSE(guard.admit(nonce(99)));
        EXPECT_EQ(guard.size(), 8u);
        EXPECT_TRUE(guard.admit(nonce(0))); // long forgotten
    }
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_LE(fs::file_size(file), 40u + 2 * 8 * 16); // compacted, never unbounded
    {
        ReplayGuard restarted("key one", 8);
        ASSERT_TRUE(restarted.attachFile(file));
        EXPECT_FALSE(restarted.admit(nonce(98)));
        EXPECT_TRUE(restarted.admit(nonce(50)));
    }
    ReplayGuard newKey("key two"); // a new key starts a new set
    ASSERT_TRUE(newKey.attachFile(file));
    EXPECT_TRUE(newKey.admit(nonce(98)));
}

TEST(ReplayGuard, RecoversTornAndForeignFilesAndFallsBackToMemory) {
    test::TempDir dir;
    const fs::path file = dir.path() / "pointrelay" / "replay-nonces";
    {
        ReplayGuard guard("k");
        ASSERT_TRUE(guard.attachFile(file));
        guard.admit(nonce(7));
    }
    std::ofstream(file, std::ios::app | std::ios::binary) << "torn";
    {
        ReplayGuard guard("k");
        ASSERT_TRUE(guard.attachFile(file));
        EXPECT_FALSE(guard.admit(nonce(7)));
    }
    std::ofstream(file, std::ios::trunc) << "not ours";
    {
        ReplayGuard guard("k");
        ASSERT_TRUE(guard.attachFile(file));
        EXPECT_TRUE(guard.admit(nonce(7)));
    }
    fs::remove_all(dir.path() / "pointrelay");
    std::ofstream(dir.path() / "pointrelay") << "a file where the folder should be";
    ReplayGuard guard("k");
    EXPECT_FALSE(guard.attachFile(file));
    EXPECT_TRUE(guard.admit(nonce(1)));
    EXPECT_FALSE(guard.admit(nonce(1)));

    ::setenv("XDG_STATE_HOME", "/tmp/state", 1);
    EXPECT_EQ(ReplayGuard::defaultPath(), fs::path("/tmp/state/pointrelay/replay-nonces"));
    ::setenv("XDG_STATE_HOME", "relative", 1); // not absolute: ignored, as XDG says
    EXPECT_NE(ReplayGuard::defaultPath(), fs::path("relative/pointrelay/replay-nonces"));
    ::unsetenv("XDG_STATE_HOME");
}

TEST(HandshakeAdmission, EvictsTheOldestOfTheSameAddressThenOverall) {
    test::LogCapture log;
    HandshakeAdmission admission(2, 4);
    test::SocketPair a1, a2, a3, b1, c1, d1;
    // The daemon holds the reader ends; an evicted one is shut, which its writer end sees.
    const auto evicted = [](const test::SocketPair& pair) {
        uint8_t b;
        return ::recv(pair.writer(), &b, 1, MSG_DONTWAIT) == 0;
    };
    const uint64_t first = admission.admit(a1.reader(), 1);
    admission.admit(a2.reader(), 1);
    admission.admit(a3.reader(), 1); // a third from address 1: its oldest goes
    EXPECT_TRUE(evicted(a1) && !evicted(a2));
    admission.release(first); // releasing an evicted ticket is harmless
    admission.admit(b1.reader(), 2);
    admission.admit(c1.reader(), 3);
    EXPECT_EQ(admission.pendingCount(), 4u);
    const uint64_t last = admission.admit(d1.reader(), 4); // a fifth: the oldest goes
    EXPECT_TRUE(evicted(a2) && !evicted(a3));
    admission.release(last);
    EXPECT_EQ(admission.pendingCount(), 3u);
    EXPECT_EQ(log.count("Too many pending handshakes -> closing the oldest"), 1u); // once a second
    admission.shutdownAll();
    EXPECT_TRUE(evicted(b1) && evicted(c1) && !evicted(d1));
    EXPECT_EQ(admission.pendingCount(), 0u);
}

} // namespace
} // namespace pointrelay::core
