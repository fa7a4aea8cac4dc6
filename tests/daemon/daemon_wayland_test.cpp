// SPDX-License-Identifier: MIT
// A phone client drives a Wayland desktop through pointrelayd: run under a headless compositor
// (tests/scripts/with_sway.sh or with_mutter.sh), with a witness client that prints what it
// receives. POINTRELAY_EXPECTED_ROUTE names the route the daemon must choose there.
#include "phone_client.h"
#include "support/daemon_process.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>

namespace pointrelay {
namespace {

using namespace std::chrono_literals;
using test::DaemonProcess;
using Clock = std::chrono::steady_clock;

struct Position {
    double x = 0, y = 0;
};

class DaemonOnWayland : public ::testing::Test {
protected:
    void SetUp() override {
        const char* route = std::getenv("POINTRELAY_EXPECTED_ROUTE");
        ASSERT_TRUE(route && std::getenv("WAYLAND_DISPLAY")) << "run under with_sway.sh";
        m_witness = std::make_unique<DaemonProcess>(std::vector<std::string>{WITNESS_PATH},
                                                    std::map<std::string, std::string>{}, 0,
                                                    DaemonProcess::Output::standardOutput);
        ASSERT_TRUE(m_witness->waitFor("ready\n", 10s));
        const uint16_t port = test::freePort();
        m_daemon = std::make_unique<DaemonProcess>(
            std::vector<std::string>{POINTRELAYD_PATH, "--no-mdns", "--port", std::to_string(port)},
            std::map<std::string, std::string>{{"XDG_STATE_HOME", m_state.path().string()}});
        ASSERT_TRUE(m_daemon->waitFor("Listening on port", 10s));
        ASSERT_EQ(m_daemon->count(std::string("[C++] Input: ") + route + "\n"), 1u)
            << m_daemon->output();
        ASSERT_TRUE(phone.connect("127.0.0.1", port));
        ASSERT_TRUE(phone.handshake("set-a-real-psk-here-00"));
        // A compositor gives the witness pointer focus only once a pointer exists, and may
        // animate the new window for a moment: nudge until a move arrives at full size.
        const auto deadline = Clock::now() + 10s;
        bool settled = false;
        for (int sign = 1; !settled && Clock::now() < deadline; sign = -sign) {
            const Position before = last();
            ASSERT_TRUE(phone.sendMove(static_cast<int16_t>(10 * sign), 0));
            settled = waitForMotion(before, 500ms) && last().x - before.x == 30 * sign;
        }
        ASSERT_TRUE(settled) << m_witness->output();
        ASSERT_TRUE(m_witness->waitFor("keyboard-enter", 10s)) << m_witness->output();
    }

    // The last pointer position the witness saw.
    Position last() const {
        Position at;
        for (const std::string& line : m_witness->lines()) {
            std::istringstream in(line);
            std::string what;
            in >> what;
            if (what == "motion" || what == "pointer-enter")
                in >> at.x >> at.y;
        }
        return at;
    }
    bool waitForMotion(Position before, std::chrono::milliseconds limit) const {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            const Position now = last();
            if (now.x != before.x || now.y != before.y)
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    // Lines of the witness after the first `skip`, whose first word is one of `words`.
    std::vector<std::string> linesAfter(size_t skip, std::initializer_list<std::string> words) {
        std::vector<std::string> found;
        const auto all = m_witness->lines();
        for (size_t i = skip; i < all.size(); ++i) {
            for (const std::string& word : words) {
                if (all[i].rfind(word + " ", 0) == 0)
                    found.push_back(all[i]);
            }
        }
        return found;
    }
    // What the witness has typed and pasted since line `skip`, in order.
    std::string typedSince(size_t skip) {
        std::string typed;
        for (const std::string& line : linesAfter(skip, {"text", "paste"}))
            typed += line.substr(line.find(' ') + 1);
        return typed;
    }
    template <typename Condition>
    bool eventually(Condition condition) {
        const auto deadline = Clock::now() + 5s;
        while (!condition()) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    size_t mark() const { return m_witness->lines().size(); }

    client::PhoneClient phone;
    std::unique_ptr<DaemonProcess> m_witness;

private:
    test::TempDir m_state;
    std::unique_ptr<DaemonProcess> m_daemon;
};

TEST_F(DaemonOnWayland, PointerButtonsWheelKeysAndTextArriveInANativeClient) {
    Position before = last();
    ASSERT_TRUE(phone.sendMove(1, -1));
    ASSERT_TRUE(waitForMotion(before, 3s));
    EXPECT_EQ(last().x - before.x, 3);
    EXPECT_EQ(last().y - before.y, -3);

    // A held left button turns moves into a drag.
    size_t from = mark();
    before = last();
    ASSERT_TRUE(phone.sendClick(0, true));
    ASSERT_TRUE(phone.sendMove(10, 10));
    ASSERT_TRUE(phone.sendClick(0, false));
    ASSERT_TRUE(eventually([&] { return linesAfter(from, {"button"}).size() == 2; }));
    const auto drag = linesAfter(from, {"button", "motion"});
    ASSERT_EQ(drag.size(), 3u) << ::testing::PrintToString(drag);
    EXPECT_EQ(drag[0], "button 272 pressed");
    EXPECT_EQ(drag[2], "button 272 released");
    EXPECT_EQ(last().x - before.x, 30);

    // One step up, then two down: wl_pointer's vertical axis grows downwards.
    from = mark();
    ASSERT_TRUE(phone.sendScroll(0, 1));
    ASSERT_TRUE(phone.sendScroll(0, -2));
    std::vector<int> steps;
    ASSERT_TRUE(eventually([&] {
        steps.clear();
        for (const std::string& line : linesAfter(from, {"axis-discrete", "axis-value120"})) {
            const int value = std::stoi(line.substr(line.rfind(' ') + 1));
            steps.push_back(line.rfind("axis-value120", 0) == 0 ? value / 120 : value);
        }
        return steps.size() >= 2;
    }));
    EXPECT_LT(steps.front(), 0) << ::testing::PrintToString(steps);
    EXPECT_GT(steps.back(), 0) << ::testing::PrintToString(steps);

    from = mark();
    ASSERT_TRUE(phone.sendText(R"({"type":"sys","action":"copy"})"));
    ASSERT_TRUE(eventually([&] {
        for (const std::string& line : linesAfter(from, {"key"}))
            if (line.find(" pressed ctrl c") != std::string::npos)
                return true;
        return false;
    })) << m_witness->output();

    // Every character exactly, whatever the keymap has: by key, or through the clipboard.
    const std::string text = "h\xC3\xA9llo \xE2\x9C\x93 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E "
                             "\xF0\x9F\x98\x80";
    from = mark();
    ASSERT_TRUE(phone.sendSealedText(text));
    EXPECT_TRUE(eventually([&] { return typedSince(from).size() >= text.size(); }));
    EXPECT_EQ(typedSince(from), text) << m_witness->output();

    // GNOME pastes what its keymap lacks: the person's own copy is offered again afterwards.
    // (In this test's only witness: mutter 43 may send a later client no clipboard offers.)
    if (std::string(std::getenv("POINTRELAY_EXPECTED_ROUTE")) != "Wayland (GNOME remote desktop)")
        return;
    from = mark();
    DaemonProcess owner({"/usr/bin/python3", CLIPBOARD_OWNER_PATH, "copied earlier"}, {}, 0,
                        DaemonProcess::Output::standardOutput);
    ASSERT_TRUE(owner.waitFor("ready\n", 10s)) << owner.output();
    ASSERT_TRUE(eventually([&] {
        const auto all = m_witness->lines();
        return std::find(all.begin() + from, all.end(), "selection") != all.end();
    })) << m_witness->output();
    from = mark();
    ASSERT_TRUE(phone.sendSealedText("\xE2\x9C\x93")); // ✓, on no keymap
    ASSERT_TRUE(eventually([&] { return !typedSince(from).empty(); }));
    EXPECT_EQ(typedSince(from), "\xE2\x9C\x93");
    from = mark();
    ASSERT_TRUE(phone.sendText(R"({"type":"sys","action":"paste"})"));
    ASSERT_TRUE(eventually([&] { return !linesAfter(from, {"paste"}).empty(); }))
        << m_witness->output();
    EXPECT_EQ(linesAfter(from, {"paste"}), std::vector<std::string>{"paste copied earlier"});
}

} // namespace
} // namespace pointrelay
