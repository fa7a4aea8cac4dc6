// SPDX-License-Identifier: MIT
#pragma once

#include "core/input_handler.h"

#include <mutex>
#include <string>
#include <vector>

namespace pointrelay::test {

/// Records every call the sessions make into the input layer, as readable strings.
class RecordingInput final : public core::InputHandler {
public:
    void injectMove(double dx, double dy) override { add("move " + num(dx) + " " + num(dy)); }
    void injectScroll(double dx, double dy) override { add("scroll " + num(dx) + " " + num(dy)); }
    void injectButton(bool isLeft, bool down) override {
        add(std::string("button ") + (isLeft ? "left" : "right") + (down ? " down" : " up"));
    }
    void handleTextMessage(int, std::string_view text) override {
        add("text " + std::string(text));
    }

    std::vector<std::string> calls() const {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }

private:
    static std::string num(double v) {
        std::string s = std::to_string(v);
        s.erase(s.find_last_not_of('0') + 1);
        if (s.back() == '.')
            s.pop_back();
        return s;
    }
    void add(std::string call) {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
    }

    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

} // namespace pointrelay::test
