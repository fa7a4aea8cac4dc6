// SPDX-License-Identifier: MIT
#include "dbus.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <sys/epoll.h>
#include <systemd/sd-bus.h>

namespace pointrelay::input {
namespace {

using Clock = std::chrono::steady_clock;
using Handler = std::function<void(sd_bus_message*)>;

// sd-bus waits 25 s for the bus daemon by default (e.g. while subscribing); ours answers fast.
constexpr uint64_t kBusDaemonTimeoutUsec = 5'000'000;
constexpr auto kCloseFlushTimeout = std::chrono::seconds(1);

uint64_t toUsec(std::chrono::milliseconds duration) {
    return duration.count() <= 0 ? 1 : static_cast<uint64_t>(duration.count()) * 1000;
}

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

BusMessagePtr newCall(sd_bus* bus, const BusMethod& method, const BusAppend& append) {
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus, &raw, method.destination, method.path.c_str(),
                                       method.interface, method.member) < 0)
        return nullptr;
    BusMessagePtr message(raw);
    if (append && append(raw) < 0)
        return nullptr;
    return message;
}

int appendValue(sd_bus_message* m, const BusValue& value) {
    if (const auto* b = std::get_if<bool>(&value))
        return sd_bus_message_append(m, "v", "b", static_cast<int>(*b));
    if (const auto* u = std::get_if<uint32_t>(&value))
        return sd_bus_message_append(m, "v", "u", *u);
    if (const auto* s = std::get_if<std::string>(&value))
        return sd_bus_message_append(m, "v", "s", s->c_str());
    int r = sd_bus_message_open_container(m, 'v', "as");
    if (r >= 0)
        r = sd_bus_message_open_container(m, 'a', "s");
    for (const std::string& s : std::get<std::vector<std::string>>(value)) {
        if (r >= 0)
            r = sd_bus_message_append(m, "s", s.c_str());
    }
    if (r >= 0)
        r = sd_bus_message_close_container(m);
    if (r >= 0)
        r = sd_bus_message_close_container(m);
    return r;
}

// One variant's value, when it has one of our types; the variant is consumed either way.
std::optional<BusValue> readValue(sd_bus_message* m) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != 'v' || !contents)
        return std::nullopt;
    const std::string_view signature = contents;
    if (signature == "b") {
        int b = 0;
        if (sd_bus_message_read(m, "v", "b", &b) >= 0)
            return BusValue(b != 0);
    } else if (signature == "u") {
        uint32_t u = 0;
        if (sd_bus_message_read(m, "v", "u", &u) >= 0)
            return BusValue(u);
    } else if (signature == "s" || signature == "o") {
        const char* s = nullptr;
        if (sd_bus_message_read(m, "v", contents, &s) >= 0)
            return BusValue(std::string(s));
    } else if (signature == "as" || signature == "(as)") {
        // mutter wraps its lists of MIME types in a one-field structure.
        const bool wrapped = signature[0] == '(';
        if (sd_bus_message_enter_container(m, 'v', contents) < 0 ||
            (wrapped && sd_bus_message_enter_container(m, 'r', "as") < 0))
            return std::nullopt;
        char** strv = nullptr;
        const int r = sd_bus_message_read_strv(m, &strv);
        std::vector<std::string> list;
        for (char** s = strv; s && *s; ++s) {
            list.emplace_back(*s);
            std::free(*s);
        }
        std::free(strv);
        if (r < 0 || (wrapped && sd_bus_message_exit_container(m) < 0) ||
            sd_bus_message_exit_container(m) < 0)
            return std::nullopt;
        return BusValue(std::move(list));
    }
    sd_bus_message_skip(m, "v");
    return std::nullopt;
}

} // namespace

void SdBusUnref::operator()(sd_bus* bus) const {
    // sd_bus_flush would wait without bound for a peer that stopped reading.
    flushBus(bus, kCloseFlushTimeout);
    sd_bus_close_unref(bus);
}

void SdBusUnref::operator()(sd_bus_message* message) const {
    sd_bus_message_unref(message);
}

void SdBusUnref::operator()(sd_bus_slot* slot) const {
    sd_bus_slot_unref(slot);
}

BusPtr openSessionBus() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0)
        return nullptr;
    sd_bus_set_method_call_timeout(bus, kBusDaemonTimeoutUsec);
    return BusPtr(bus);
}

BusReply callMethod(sd_bus* bus, const BusMethod& method, std::chrono::milliseconds timeout,
                    const BusAppend& append) {
    BusReply result;
    const BusMessagePtr call = newCall(bus, method, append);
    if (!call) {
        result.error = "the call could not be made";
        return result;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call(bus, call.get(), toUsec(timeout), &error, &reply) < 0)
        result.error = error.message ? error.message : (error.name ? error.name : "no reply");
    else
        result.message.reset(reply);
    sd_bus_error_free(&error);
    return result;
}

bool sendMethod(sd_bus* bus, const BusMethod& method, const BusAppend& append) {
    const BusMessagePtr call = newCall(bus, method, append);
    return call && sd_bus_message_set_expect_reply(call.get(), 0) >= 0 &&
           sd_bus_send(bus, call.get(), nullptr) >= 0;
}

bool flushBus(sd_bus* bus, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const int events = sd_bus_get_events(bus);
        if (events < 0)
            return false;
        if (!(events & POLLOUT))
            return true;
        pollfd fd{sd_bus_get_fd(bus), POLLOUT, 0};
        const int ready = ::poll(&fd, 1, remainingMs(deadline));
        if (ready == 0 || (ready < 0 && errno != EINTR))
            return false;
        if (sd_bus_process(bus, nullptr) < 0) // writes the queue before it reads
            return false;
    }
}

BusSlotPtr matchSignal(sd_bus* bus, const char* sender, const std::string& path,
                       const char* interface, const char* member, Handler handler) {
    auto* owned = new Handler(std::move(handler));
    sd_bus_slot* slot = nullptr;
    const auto dispatch = [](sd_bus_message* m, void* data, sd_bus_error*) {
        (*static_cast<Handler*>(data))(m);
        return 0;
    };
    if (sd_bus_match_signal(bus, &slot, sender, path.c_str(), interface, member, dispatch, owned) <
        0) {
        delete owned;
        return nullptr;
    }
    sd_bus_slot_set_destroy_callback(slot, [](void* data) { delete static_cast<Handler*>(data); });
    return BusSlotPtr(slot);
}

bool processPending(sd_bus* bus) {
    for (;;) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0)
            return false;
        if (r == 0)
            return sd_bus_is_open(bus) > 0;
    }
}

bool processUntil(sd_bus* bus, std::chrono::steady_clock::time_point deadline,
                  const std::function<bool()>& done, int interruptFd) {
    for (;;) {
        if (done())
            return true;
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0)
            return false;
        if (r > 0)
            continue;
        int wait = remainingMs(deadline);
        if (wait == 0)
            return false;
        if (const auto due = busTimeout(bus); due && due->count() < wait)
            wait = static_cast<int>(due->count());
        const int events = sd_bus_get_events(bus);
        if (events < 0)
            return false;
        pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(events), 0},
                         {interruptFd, POLLIN, 0}};
        if (::poll(fds, 2, wait) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents != 0)
            return done();
    }
}

std::optional<std::chrono::milliseconds> busTimeout(sd_bus* bus) {
    uint64_t due = 0;
    if (sd_bus_get_timeout(bus, &due) <= 0 || due == UINT64_MAX)
        return std::nullopt;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t nowUsec = static_cast<uint64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
    return std::chrono::milliseconds(due > nowUsec ? (due - nowUsec + 999) / 1000 : 0);
}

int appendDict(sd_bus_message* m, const BusDict& dict) {
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    for (const auto& [key, value] : dict) {
        if (r >= 0)
            r = sd_bus_message_open_container(m, 'e', "sv");
        if (r >= 0)
            r = sd_bus_message_append(m, "s", key.c_str());
        if (r >= 0)
            r = appendValue(m, value);
        if (r >= 0)
            r = sd_bus_message_close_container(m);
    }
    if (r >= 0)
        r = sd_bus_message_close_container(m);
    return r;
}

std::optional<BusDict> readDict(sd_bus_message* m) {
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0)
        return std::nullopt;
    BusDict dict;
    int r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(m, "s", &key) < 0)
            return std::nullopt;
        if (auto value = readValue(m))
            dict.emplace(key, std::move(*value));
        if (sd_bus_message_exit_container(m) < 0)
            return std::nullopt;
    }
    if (r < 0 || sd_bus_message_exit_container(m) < 0)
        return std::nullopt;
    return dict;
}

void watch(int epoll, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
}

void unwatch(int epoll, int fd) {
    ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
}

} // namespace pointrelay::input
