// SPDX-License-Identifier: MIT
#include "portal_backend.h"

#include "core/log.h"
#include "core/state_folder.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <utility>
#include <xkbcommon/xkbcommon-keysyms.h>

namespace pointrelay::input {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kObject = "/org/freedesktop/portal/desktop";
constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr auto kCallTimeout = 5s;
// The portal may have to start its desktop's backend before it answers.
constexpr auto kRequestTimeout = 30s;
// The person decides on the consent dialog meanwhile; generous, but not for ever.
constexpr auto kConsentTimeout = 5min;
constexpr uint32_t kKeyboardAndPointer = 1 | 2;
constexpr uint32_t kPersistUntilRevoked = 2;

// A handle token: an object path element that is unique and not guessable.
std::string newToken() {
    uint64_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != sizeof random)
        random = static_cast<uint64_t>(Clock::now().time_since_epoch().count());
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random));
    return std::string("pointrelay_") + text;
}

std::string loadRestoreToken() {
    const auto path = PortalBackend::restoreTokenPath();
    std::string token;
    if (!path)
        return token;
    const int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return token;
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n > 0)
        token.assign(buffer, static_cast<size_t>(n));
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
        token.pop_back();
    return token;
}

// Written whole under another name and renamed, so a crash leaves the old token or the new.
bool saveRestoreToken(const std::string& token) {
    const auto path = PortalBackend::restoreTokenPath();
    if (!path)
        return false;
    std::error_code ec;
    std::filesystem::create_directories(path->parent_path(), ec);
    const std::string temporary = path->string() + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::fchmod(fd, 0600);
    const std::string line = token + "\n";
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path->c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace

std::optional<std::filesystem::path> PortalBackend::restoreTokenPath() {
    const auto folder = core::stateFolder();
    return folder ? std::optional(*folder / "portal-restore-token") : std::nullopt;
}

std::unique_ptr<PortalBackend> PortalBackend::connect() {
    BusPtr bus = openSessionBus();
    if (!bus)
        return nullptr;
    const BusReply reply =
        callMethod(bus.get(), {kPortal, kObject, "org.freedesktop.DBus.Properties", "Get"},
                   kCallTimeout, [](sd_bus_message* m) {
                       return sd_bus_message_append(m, "ss", kRemoteDesktop, "version");
                   });
    uint32_t version = 0;
    if (!reply || sd_bus_message_read(reply.message.get(), "v", "u", &version) < 0)
        return nullptr;
    return std::unique_ptr<PortalBackend>(new PortalBackend(std::move(bus), version));
}

PortalBackend::PortalBackend(BusPtr bus, uint32_t version)
    : m_bus(std::move(bus)), m_version(version),
      m_interruptFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_epoll(::epoll_create1(EPOLL_CLOEXEC)) {
    watch(m_epoll, sd_bus_get_fd(m_bus.get()));
}

PortalBackend::~PortalBackend() {
    m_ei.reset();
    if (m_epoll >= 0)
        ::close(m_epoll);
    m_closedSignal.reset();
    m_bus.reset(); // the portal closes the sessions of a client that leaves the bus
    if (m_interruptFd >= 0)
        ::close(m_interruptFd);
}

void PortalBackend::interrupt() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_interruptFd, &one, sizeof one);
}

std::optional<PortalBackend::Response> PortalBackend::request(const char* member,
                                                              const BusAppend& arguments,
                                                              BusDict options,
                                                              std::chrono::milliseconds timeout) {
    sd_bus* bus = m_bus.get();
    // The Request object's path follows from our unique name and our token. Subscribing to
    // its Response before the call is the only way not to miss an answer that comes at once.
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus, &unique) < 0 || !unique || *unique != ':')
        return std::nullopt;
    std::string sender = unique + 1;
    std::replace(sender.begin(), sender.end(), '.', '_');
    const std::string token = newToken();
    options["handle_token"] = token;
    std::string path = std::string(kObject) + "/request/" + sender + "/" + token;

    std::optional<Response> response;
    const auto onResponse = [&response](sd_bus_message* m) {
        Response answer;
        if (sd_bus_message_read(m, "u", &answer.code) < 0)
            return;
        answer.results = readDict(m).value_or(BusDict());
        response = std::move(answer);
    };
    BusSlotPtr signal =
        matchSignal(bus, kPortal, path, "org.freedesktop.portal.Request", "Response", onResponse);
    const BusReply reply = callMethod(bus, {kPortal, kObject, kRemoteDesktop, member}, kCallTimeout,
                                      [&](sd_bus_message* m) {
                                          const int r = arguments ? arguments(m) : 0;
                                          return r < 0 ? r : appendDict(m, options);
                                      });
    const char* handle = nullptr;
    if (!signal || !reply || sd_bus_message_read(reply.message.get(), "o", &handle) < 0) {
        core::logLine(std::string("Input: the desktop portal's ") + member +
                      " failed: " + core::escapeForLog(reply.error));
        return std::nullopt;
    }
    if (path != handle) { // a portal older than 0.9 chooses the path itself
        path = handle;
        signal = matchSignal(bus, kPortal, path, "org.freedesktop.portal.Request", "Response",
                             onResponse);
    }
    if (processUntil(
            bus, Clock::now() + timeout, [&] { return response.has_value(); }, m_interruptFd))
        return response;
    // Stopping, or no answer in time: the dialog, if any, goes too.
    sendMethod(bus, {kPortal, path, "org.freedesktop.portal.Request", "Close"});
    flushBus(bus, kCallTimeout);
    uint64_t interrupted = 0;
    if (::read(m_interruptFd, &interrupted, sizeof interrupted) <= 0)
        core::logLine(std::string("Input: the desktop portal did not answer ") + member +
                      " in time");
    return std::nullopt;
}

bool PortalBackend::start() {
    sd_bus* bus = m_bus.get();
    const auto created =
        request("CreateSession", {}, {{"session_handle_token", newToken()}}, kRequestTimeout);
    if (!created)
        return false;
    // The portal answers with a string here, though the documentation says object path.
    const auto session = dictValue<std::string>(created->results, "session_handle");
    if (created->code != 0 || !session) {
        core::logLine("Input: the desktop portal made no remote desktop session");
        return false;
    }
    m_session = *session;
    m_closedSignal = matchSignal(bus, kPortal, m_session, "org.freedesktop.portal.Session",
                                 "Closed", [this](sd_bus_message*) { m_closed = true; });

    // Version 2 can keep the person's permission: persist it until revoked, and hand back the
    // token the last start received (each token is good for one start).
    BusDict devices{{"types", kKeyboardAndPointer}};
    if (m_version >= 2) {
        devices.emplace("persist_mode", kPersistUntilRevoked);
        if (const std::string saved = loadRestoreToken(); !saved.empty())
            devices.emplace("restore_token", saved);
    }
    const BusAppend sessionArgument = [this](sd_bus_message* m) {
        return sd_bus_message_append(m, "o", m_session.c_str());
    };
    const auto selected = request("SelectDevices", sessionArgument, devices, kRequestTimeout);
    if (!selected)
        return false;
    const auto started = selected->code != 0
                             ? selected
                             : request(
                                   "Start",
                                   [this](sd_bus_message* m) {
                                       return sd_bus_message_append(m, "os", m_session.c_str(), "");
                                   },
                                   {}, kConsentTimeout);
    if (!started)
        return false;
    if (started->code != 0) {
        core::logLine("Input: the desktop refused remote input");
        return false;
    }
    if (const auto token = dictValue<std::string>(started->results, "restore_token");
        token && m_version >= 2 && !saveRestoreToken(*token))
        core::logLine("Input: the desktop portal's restore token could not be kept; the next "
                      "start asks again");
    if (m_version >= 2)
        connectEis();
    return true;
}

void PortalBackend::connectEis() {
    const BusReply eis = callMethod(m_bus.get(), {kPortal, kObject, kRemoteDesktop, "ConnectToEIS"},
                                    kCallTimeout, [this](sd_bus_message* m) {
                                        const int r =
                                            sd_bus_message_append(m, "o", m_session.c_str());
                                        return r < 0 ? r : appendDict(m, {});
                                    });
    int fd = -1;
    std::string error = eis.error;
    if (eis && sd_bus_message_read(eis.message.get(), "h", &fd) >= 0)
        m_ei = EiClient::connect(fd, kCallTimeout, error);
    if (!m_ei) {
        core::logLine("Input: the desktop portal offers no libei connection (" +
                      core::escapeForLog(error) + "); events go as D-Bus calls");
        return;
    }
    watch(m_epoll, m_ei->fd());
    core::logLine("Input: Wayland (libei, desktop portal)");
}

void PortalBackend::notify(const char* member, const BusAppend& arguments) {
    if (m_closed)
        return;
    sendMethod(m_bus.get(), {kPortal, kObject, kRemoteDesktop, member}, [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "o", m_session.c_str());
        if (r >= 0)
            r = appendDict(m, {});
        return r < 0 ? r : arguments(m);
    });
}

void PortalBackend::motion(double dx, double dy) {
    if (m_ei)
        return m_ei->motion(dx, dy);
    notify("NotifyPointerMotion",
           [&](sd_bus_message* m) { return sd_bus_message_append(m, "dd", dx, dy); });
}

void PortalBackend::button(MouseButton button, bool down) {
    const int32_t code = evdevButton(button);
    if (m_ei)
        return m_ei->button(static_cast<uint32_t>(code), down);
    notify("NotifyPointerButton",
           [&](sd_bus_message* m) { return sd_bus_message_append(m, "iu", code, uint32_t(down)); });
}

void PortalBackend::wheel(int vertical, int horizontal) {
    forEachWheelAxis(vertical, horizontal, [&](uint32_t axis, int32_t steps) {
        if (m_ei)
            return m_ei->wheel(axis == 0 ? steps : 0, axis == 1 ? steps : 0);
        notify("NotifyPointerAxisDiscrete",
               [&](sd_bus_message* m) { return sd_bus_message_append(m, "ui", axis, steps); });
    });
}

void PortalBackend::keysym(Keysym keysym, bool down) {
    if (m_ei) {
        // The portal has no clipboard: a character the keymap lacks cannot be typed.
        if (!m_ei->key(keysym, down) && !std::exchange(m_unkeyedLogged, true))
            core::logLine("Input: the desktop's keymap lacks a character typed; the desktop "
                          "portal has no clipboard to paste it, so it is lost");
        return;
    }
    notify("NotifyKeyboardKeysym", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "iu", static_cast<int32_t>(keysym), uint32_t(down));
    });
}

void PortalBackend::key(Keysym keysym, bool down) {
    this->keysym(keysym, down);
}

void PortalBackend::text(std::u32string_view text) {
    for (const char32_t codePoint : text) {
        if (const Keysym typed = keysymForTyping(codePoint)) {
            keysym(typed, true);
            keysym(typed, false);
        }
    }
}

void PortalBackend::endOfBatch() {
    if (m_ei)
        m_ei->flush();
    flushBus(m_bus.get(), kCallTimeout);
}

int PortalBackend::pollFd() const {
    return m_epoll;
}

std::optional<std::chrono::milliseconds> PortalBackend::serviceTimeout() const {
    return busTimeout(m_bus.get());
}

bool PortalBackend::service() {
    if (m_ei && !m_ei->dispatch()) {
        core::logLine("Input: the desktop portal's libei connection ended");
        return false;
    }
    if (!processPending(m_bus.get())) {
        core::logLine("Input: the session bus connection to the desktop portal was lost");
        return false;
    }
    if (m_closed) {
        core::logLine("Input: the desktop portal closed the remote desktop session");
        return false;
    }
    return true;
}

} // namespace pointrelay::input
