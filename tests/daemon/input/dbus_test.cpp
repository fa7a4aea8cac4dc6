// SPDX-License-Identifier: MIT
// The D-Bus routes' shared helpers where no bus is needed to see them fail.
#include "input/linux/dbus.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

namespace pointrelay::input {
namespace {

// A bus that is not connected has nothing to flush into: told, not taken as flushed.
TEST(DBus, AnUnconnectedBusIsNotFlushed) {
    sd_bus* bus = nullptr;
    ASSERT_GE(sd_bus_new(&bus), 0);
    EXPECT_FALSE(flushBus(bus, std::chrono::milliseconds(10)));
    sd_bus_unref(bus);
}

} // namespace
} // namespace pointrelay::input
