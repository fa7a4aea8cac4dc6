// SPDX-License-Identifier: MIT
#pragma once

// What the latency benchmarks share: an input layer that stamps the time of each move, and
// percentiles of the samples.

#include "core/input_handler.h"
#include "loopback.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

namespace pointrelay::bench {

class InputStub : public core::InputHandler {
public:
    void injectScroll(double, double) override {}
    void injectButton(bool, bool) override {}
    void handleTextMessage(int, std::string_view) override {}
};

// Notes the time of every move and wakes the waiting phone.
class StampingInput final : public InputStub {
public:
    void injectMove(double, double) override {
        stamp.store(nowNs(), std::memory_order_relaxed);
        calls.fetch_add(1, std::memory_order_release);
        calls.notify_one();
    }
    std::atomic<uint64_t> stamp{0};
    std::atomic<uint64_t> calls{0};
};

struct Percentiles {
    double p50 = 0, p99 = 0; // microseconds
};

inline Percentiles percentiles(std::vector<uint64_t> ns) {
    std::sort(ns.begin(), ns.end());
    const auto at = [&](double q) { return ns[static_cast<size_t>(q * (ns.size() - 1))] / 1e3; };
    return {at(0.50), at(0.99)};
}

constexpr int kWarmup = 2000;
constexpr int kSamples = 20000;
constexpr auto kSampleTimeLimit = std::chrono::seconds(5);

/// The latency of moves from just before `send()` writes one to the input layer's call, over
/// kSamples moves after kWarmup (or what the time limit allows); `send` returns false to stop.
template <typename Send>
Percentiles moveLatency(StampingInput& input, Send send) {
    std::vector<uint64_t> samples;
    const auto deadline = std::chrono::steady_clock::now() + kSampleTimeLimit;
    for (int i = 0; i < kWarmup + kSamples && std::chrono::steady_clock::now() < deadline; ++i) {
        const uint64_t before = input.calls.load(std::memory_order_acquire);
        const uint64_t sent = nowNs();
        if (!send())
            break;
        input.calls.wait(before, std::memory_order_acquire);
        if (i >= kWarmup)
            samples.push_back(input.stamp.load(std::memory_order_relaxed) - sent);
    }
    return samples.empty() ? Percentiles{} : percentiles(std::move(samples));
}

} // namespace pointrelay::bench
