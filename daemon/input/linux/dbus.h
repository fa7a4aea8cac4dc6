// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct sd_bus;
struct sd_bus_message;
struct sd_bus_slot;

// What the D-Bus routes (GNOME's remote desktop, the desktop portal) share: owning pointers
// for sd-bus objects, calls with a bounded wait, fire-and-forget sends for events, signal
// subscriptions that own their handler, and the a{sv} dictionaries both services speak.
namespace pointrelay::input {

struct SdBusUnref {
    void operator()(sd_bus* bus) const;
    void operator()(sd_bus_message* message) const;
    void operator()(sd_bus_slot* slot) const;
};
using BusPtr = std::unique_ptr<sd_bus, SdBusUnref>;
using BusMessagePtr = std::unique_ptr<sd_bus_message, SdBusUnref>;
/// A signal subscription: dropping it unsubscribes (and frees the handler).
using BusSlotPtr = std::unique_ptr<sd_bus_slot, SdBusUnref>;

/// One method of one object of a service.
struct BusMethod {
    const char* destination;
    std::string path;
    const char* interface;
    const char* member;
};

/// The values our dictionaries carry: b, u, s (and o, read as a string), as.
using BusValue = std::variant<bool, uint32_t, std::string, std::vector<std::string>>;
using BusDict = std::map<std::string, BusValue>;
/// Appends a method's arguments; returns a negative errno on failure, as sd-bus does.
using BusAppend = std::function<int(sd_bus_message*)>;

/// \brief A connection of our own to the session bus (DBUS_SESSION_BUS_ADDRESS), or null.
BusPtr openSessionBus();

struct BusReply {
    BusMessagePtr message; ///< null on failure
    std::string error;     ///< why, when it failed
    explicit operator bool() const { return message != nullptr; }
};
/// \brief Calls a method and waits for its reply at most \a timeout.
BusReply callMethod(sd_bus* bus, const BusMethod& method, std::chrono::milliseconds timeout,
                    const BusAppend& append = {});
/// \brief Sends a method call that asks for no reply: one per input event, so neither side
/// waits. False when it could not even be queued.
bool sendMethod(sd_bus* bus, const BusMethod& method, const BusAppend& append = {});
/// \brief Writes what is queued, waiting at most \a timeout for a full socket.
bool flushBus(sd_bus* bus, std::chrono::milliseconds timeout);

/// \brief Subscribes to a signal; the handler runs while the bus is processed.
BusSlotPtr matchSignal(sd_bus* bus, const char* sender, const std::string& path,
                       const char* interface, const char* member,
                       std::function<void(sd_bus_message*)> handler);

/// \brief Handles everything that has arrived without waiting; false once the connection is
/// lost.
bool processPending(sd_bus* bus);
/// \brief Handles arriving messages until \a done holds, waiting at most until \a deadline.
/// A readable \a interruptFd ends the wait early. True once \a done holds.
bool processUntil(sd_bus* bus, std::chrono::steady_clock::time_point deadline,
                  const std::function<bool()>& done, int interruptFd = -1);
/// \brief How long until sd-bus wants to be processed anyway (zero: it has messages queued).
std::optional<std::chrono::milliseconds> busTimeout(sd_bus* bus);

/// \brief Appends an a{sv} dictionary.
int appendDict(sd_bus_message* message, const BusDict& dict);
/// \brief Reads an a{sv} dictionary; values of other types are skipped.
std::optional<BusDict> readDict(sd_bus_message* message);

/// Adds \a fd to (or removes it from) an epoll set that waits for it to be readable: a route
/// that waits on the bus and on a connection of its own hands the set out as its descriptor.
void watch(int epoll, int fd);
void unwatch(int epoll, int fd);
/// \brief The value under \a key when it has type T.
template <typename T>
std::optional<T> dictValue(const BusDict& dict, const std::string& key) {
    const auto it = dict.find(key);
    if (it == dict.end() || !std::holds_alternative<T>(it->second))
        return std::nullopt;
    return std::get<T>(it->second);
}

} // namespace pointrelay::input
