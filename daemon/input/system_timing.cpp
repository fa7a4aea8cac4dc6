// SPDX-License-Identifier: MIT
#include "event_sink.h"

#include <chrono>
#include <thread>

namespace pointrelay::input {

double SystemTiming::absoluteTimeSeconds() {
    // Only differences between two readings matter (double-click intervals).
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(now).count();
}

void SystemTiming::sleepMicros(int64_t micros) {
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
}

} // namespace pointrelay::input
