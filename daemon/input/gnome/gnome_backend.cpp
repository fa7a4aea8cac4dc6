// SPDX-License-Identifier: MIT
#include "gnome_backend.h"

#include "core/log.h"
#include "input/linux/descriptor_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

namespace pointrelay::input {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kService = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kSessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr auto kCallTimeout = 5s;
// After a session that did not open, events are dropped for this long before the next try.
constexpr auto kRetryInterval = 1s;
// How long Control+V may take to turn into the application's request for the clipboard.
constexpr auto kPasteTimeout = 500ms;
// How long reading the person's clipboard (to offer it again afterwards) may take in all.
constexpr auto kClipboardReadTimeout = 500ms;
constexpr auto kTransferWriteTimeout = 1s;
// Applications read a paste while they go on handling key events (mutter copies our data to
// them meanwhile): a key sent right after a paste may overtake it.
constexpr auto kPasteSettle = 50ms;
constexpr size_t kMaxClipboardBytes = 16 << 20;
constexpr auto kKeymapWait = 300ms;
// What a paste offers: UTF-8 text under the names Wayland and X applications ask for.
constexpr const char* kTextTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain"};

// Clipboard formats worth keeping: MIME types and X's text names, not X's protocol targets
// (TARGETS, MULTIPLE, TIMESTAMP, ...) that Xwayland lists among them.
bool isContentType(const std::string& type) {
    return type.find('/') != std::string::npos || type == "UTF8_STRING" || type == "STRING" ||
           type == "TEXT";
}

const wl_registry_listener kRegistryListener = {
    [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        static_cast<GnomeBackend*>(data)->onGlobal(registry, name, interface, version);
    },
    [](void*, wl_registry*, uint32_t) {}};

const wl_seat_listener kSeatListener = {[](void* data, wl_seat*, uint32_t capabilities) {
                                            static_cast<GnomeBackend*>(data)->onCapabilities(
                                                capabilities);
                                        },
                                        [](void*, wl_seat*, const char*) {}};

const wl_keyboard_listener kKeyboardListener = {
    [](void* data, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
        static_cast<GnomeBackend*>(data)->onKeymap(format, fd, size);
    },
    [](void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {},
    [](void*, wl_keyboard*, uint32_t, wl_surface*) {},
    [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](void*, wl_keyboard*, int32_t, int32_t) {}};

} // namespace

std::unique_ptr<GnomeBackend> GnomeBackend::connect(Transport transport, std::string& whyNot) {
    BusPtr bus = openSessionBus();
    if (!bus) {
        whyNot = "no session bus";
        return nullptr;
    }
    const BusReply owned = callMethod(
        bus.get(),
        {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner"},
        kCallTimeout, [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kService); });
    int hasOwner = 0;
    if (!owned || sd_bus_message_read(owned.message.get(), "b", &hasOwner) < 0 || !hasOwner) {
        whyNot = std::string("no one owns ") + kService + " on the session bus";
        return nullptr;
    }
    std::unique_ptr<GnomeBackend> backend(new GnomeBackend(std::move(bus), transport));
    if (transport == Transport::libei) {
        // Chosen only where it works: a mutter without EIS leaves the D-Bus route.
        if (std::string error = backend->openSession(); !error.empty()) {
            whyNot = std::move(error);
            return nullptr;
        }
    }
    return backend;
}

GnomeBackend::GnomeBackend(BusPtr bus, Transport transport)
    : m_bus(std::move(bus)), m_transport(transport), m_epoll(::epoll_create1(EPOLL_CLOEXEC)) {
    watch(m_epoll, sd_bus_get_fd(m_bus.get()));
}

GnomeBackend::~GnomeBackend() {
    disconnectWayland();
    m_sessionSignals.clear();
    m_bus.reset(); // mutter ends the session with our connection
    if (m_epoll >= 0)
        ::close(m_epoll);
}

bool GnomeBackend::start() {
    connectWayland();
    return ensureSession();
}

BusMethod GnomeBackend::sessionMethod(const char* member) const {
    return {kService, m_session, kSessionInterface, member};
}

bool GnomeBackend::ensureSession() {
    if (!m_session.empty())
        return true;
    const auto now = Clock::now();
    if (now < m_retryAfter)
        return false;
    const std::string error = openSession();
    if (!error.empty()) {
        endSession();
        m_retryAfter = now + kRetryInterval;
        if (!m_failureLogged)
            core::logLine("Input: no GNOME remote desktop session (" + core::escapeForLog(error) +
                          "), events are dropped until one opens");
        m_failureLogged = true;
        return false;
    }
    if (m_failureLogged)
        core::logLine("Input: GNOME remote desktop session open again");
    m_failureLogged = false;
    return true;
}

std::string GnomeBackend::openSession() {
    if (!m_bus && (m_bus = openSessionBus()))
        watch(m_epoll, sd_bus_get_fd(m_bus.get()));
    if (!m_bus)
        return "no session bus";
    sd_bus* bus = m_bus.get();
    const BusReply created =
        callMethod(bus, {kService, "/org/gnome/Mutter/RemoteDesktop", kService, "CreateSession"},
                   kCallTimeout);
    const char* path = nullptr;
    if (!created || sd_bus_message_read(created.message.get(), "o", &path) < 0)
        return "CreateSession: " + created.error;
    m_session = path;

    const auto subscribe = [&](const char* member, void (GnomeBackend::*handler)(sd_bus_message*)) {
        BusSlotPtr slot = matchSignal(bus, kService, m_session, kSessionInterface, member,
                                      [this, handler](sd_bus_message* m) { (this->*handler)(m); });
        const bool subscribed = slot != nullptr;
        m_sessionSignals.push_back(std::move(slot));
        return subscribed;
    };
    if (!subscribe("Closed", &GnomeBackend::onClosed) ||
        !subscribe("SelectionOwnerChanged", &GnomeBackend::onOwnerChanged) ||
        !subscribe("SelectionTransfer", &GnomeBackend::onTransfer))
        return "the session's signals cannot be subscribed to";

    if (const BusReply started = callMethod(bus, sessionMethod("Start"), kCallTimeout); !started)
        return "Start: " + started.error;
    if (m_transport == Transport::libei) {
        if (std::string error = connectEis(); !error.empty())
            return error;
    }
    // mutter makes its virtual keyboard with the first key event and loses that event: a Shift
    // press and release makes it now. The pointer exists once Start has returned.
    for (const int down : {1, 0}) {
        if (m_transport == Transport::libei)
            break; // libei's keyboard exists once resumed
        callMethod(bus, sessionMethod("NotifyKeyboardKeysym"), kCallTimeout,
                   [down](sd_bus_message* m) {
                       return sd_bus_message_append(m, "ub", XKB_KEY_Shift_L, down);
                   });
    }
    // Enabled for the whole session: mutter then says who owns the clipboard, at once and with
    // every change. (Disabled once, it cannot be enabled again in mutter 43.)
    if (const BusReply clipboard = callMethod(bus, sessionMethod("EnableClipboard"), kCallTimeout,
                                              [](sd_bus_message* m) { return appendDict(m, {}); });
        !clipboard)
        core::logLine("Input: GNOME's remote desktop offers no clipboard (" +
                      core::escapeForLog(clipboard.error) + "): text outside the keymap is lost");
    return "";
}

std::string GnomeBackend::connectEis() {
    const BusReply eis = callMethod(m_bus.get(), sessionMethod("ConnectToEIS"), kCallTimeout,
                                    [](sd_bus_message* m) { return appendDict(m, {}); });
    int fd = -1;
    if (!eis || sd_bus_message_read(eis.message.get(), "h", &fd) < 0)
        return "ConnectToEIS: " + eis.error;
    std::string error;
    if (!(m_ei = EiClient::connect(fd, kCallTimeout, error)))
        return "libei: " + error;
    watch(m_epoll, m_ei->fd());
    return "";
}

void GnomeBackend::onClosed(sd_bus_message*) {
    m_sessionClosed = true; // handled once the bus has been processed, outside the handler
}

void GnomeBackend::onOwnerChanged(sd_bus_message* m) {
    const BusDict options = readDict(m).value_or(BusDict());
    m_ownerTypes = dictValue<std::vector<std::string>>(options, "mime-types")
                       .value_or(std::vector<std::string>());
    m_sessionOwnsClipboard = dictValue<bool>(options, "session-is-owner").value_or(false);
}

void GnomeBackend::onTransfer(sd_bus_message* m) {
    const char* type = nullptr;
    uint32_t serial = 0;
    if (sd_bus_message_read(m, "su", &type, &serial) >= 0) {
        m_transfers.push_back({type, serial}); // served outside the handler: it calls mutter
        ++m_transfersAsked;
    }
}

void GnomeBackend::endSession() {
    if (m_ei) {
        unwatch(m_epoll, m_ei->fd());
        m_ei.reset();
    }
    m_sessionSignals.clear();
    m_session.clear();
    m_sessionClosed = false;
    m_transfers.clear();
    m_offer.clear();
    m_ownerTypes.clear();
    m_sessionOwnsClipboard = false;
}

void GnomeBackend::dropBus() {
    endSession();
    if (m_bus) {
        unwatch(m_epoll, sd_bus_get_fd(m_bus.get()));
        m_bus.reset();
    }
}

bool GnomeBackend::processBus() {
    if (!m_bus)
        return false;
    if (!processPending(m_bus.get())) {
        core::logLine("Input: the session bus connection was lost; a new GNOME remote desktop "
                      "session opens with the next event");
        dropBus();
        return false;
    }
    if (m_sessionClosed) {
        core::logLine("Input: GNOME closed the remote desktop session; a new one opens with the "
                      "next event");
        endSession();
        return false;
    }
    serveTransfers();
    return true;
}

void GnomeBackend::notify(const char* member, const BusAppend& append) {
    if (ensureSession())
        sendMethod(m_bus.get(), sessionMethod(member), append);
}

void GnomeBackend::notifyKeysym(Keysym keysym, bool down) {
    if (m_bus && Clock::now() < m_pasteSettles)
        processUntil(m_bus.get(), m_pasteSettles, [] { return false; }); // serving meanwhile
    if (m_transport == Transport::libei) {
        if (ensureSession())
            m_ei->key(keysym, down);
        return;
    }
    notify("NotifyKeyboardKeysym", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "ub", static_cast<uint32_t>(keysym), int(down));
    });
}

void GnomeBackend::motion(double dx, double dy) {
    if (m_transport == Transport::libei) {
        if (ensureSession())
            m_ei->motion(dx, dy);
        return;
    }
    notify("NotifyPointerMotionRelative",
           [&](sd_bus_message* m) { return sd_bus_message_append(m, "dd", dx, dy); });
}

void GnomeBackend::button(MouseButton button, bool down) {
    const int32_t code = evdevButton(button);
    if (m_transport == Transport::libei) {
        if (ensureSession())
            m_ei->button(static_cast<uint32_t>(code), down);
        return;
    }
    notify("NotifyPointerButton",
           [&](sd_bus_message* m) { return sd_bus_message_append(m, "ib", code, int(down)); });
}

void GnomeBackend::wheel(int vertical, int horizontal) {
    if (m_transport == Transport::libei) {
        if (ensureSession())
            forEachWheelAxis(vertical, horizontal, [&](uint32_t axis, int32_t steps) {
                m_ei->wheel(axis == 0 ? steps : 0, axis == 1 ? steps : 0);
            });
        return;
    }
    forEachWheelAxis(vertical, horizontal, [&](uint32_t axis, int32_t steps) {
        notify("NotifyPointerAxisDiscrete",
               [&](sd_bus_message* m) { return sd_bus_message_append(m, "ui", axis, steps); });
    });
}

void GnomeBackend::key(Keysym keysym, bool down) {
    notifyKeysym(keysym, down);
}

void GnomeBackend::text(std::u32string_view text) {
    if (!ensureSession())
        return;
    // mutter drops keysyms that its keymap lacks: those characters are pasted, in order.
    const XkbKeymap* keymap = desktopKeymap();
    std::optional<Clipboard> previous; // the person's clipboard, read before the first paste
    typeOrPaste(
        text, keymap,
        [this](Keysym keysym) {
            notifyKeysym(keysym, true);
            notifyKeysym(keysym, false);
        },
        [&](const std::u32string& run) {
            if (!previous) {
                processBus(); // who owns the clipboard now
                previous = m_sessionOwnsClipboard ? m_offer : readClipboard();
            }
            paste(run);
        });
    if (previous && ensureSession()) {
        // Without a previous content our selection is simply withdrawn; mutter's clipboard
        // manager then offers its own copy of the last text, so an empty clipboard stays
        // out of reach.
        setSelection(std::move(*previous));
        processBus();
    }
}

bool GnomeBackend::paste(const std::u32string& text) {
    if (!m_clipboardLogged)
        core::logLine("Input: text outside the keymap goes through the clipboard");
    m_clipboardLogged = true;
    Clipboard offer;
    const std::string utf8 = encodeUtf8(text);
    for (const char* type : kTextTypes)
        offer[type] = utf8;
    if (!ensureSession() || !setSelection(std::move(offer)))
        return false;
    // mutter's clipboard manager asks for a copy of every new selection while it handles
    // SetSelection, so its request is already here: served now, the next one is the paste's.
    if (!processBus())
        return false;
    const uint64_t asked = m_transfersAsked;
    notifyKeysym(XKB_KEY_Control_L, true);
    notifyKeysym(XKB_KEY_v, true);
    notifyKeysym(XKB_KEY_v, false);
    notifyKeysym(XKB_KEY_Control_L, false);
    if (m_ei)
        m_ei->flush();
    flushBus(m_bus.get(), kCallTimeout);
    const bool pasteAsked = processUntil(m_bus.get(), Clock::now() + kPasteTimeout, [&] {
        return m_transfersAsked > asked || m_sessionClosed;
    });
    processBus();
    m_pasteSettles = Clock::now() + kPasteSettle;
    if (!pasteAsked && !m_unpastedLogged)
        core::logLine("Input: the focused application did not take a paste (Control+V) in time; "
                      "text outside the keymap may be missing");
    m_unpastedLogged = m_unpastedLogged || !pasteAsked;
    return pasteAsked;
}

bool GnomeBackend::setSelection(Clipboard offer) {
    BusDict options;
    if (!offer.empty()) {
        std::vector<std::string> types;
        for (const auto& [type, content] : offer)
            types.push_back(type);
        options.emplace("mime-types", std::move(types));
    }
    const BusReply set = callMethod(m_bus.get(), sessionMethod("SetSelection"), kCallTimeout,
                                    [&](sd_bus_message* m) { return appendDict(m, options); });
    if (set)
        m_offer = std::move(offer);
    return static_cast<bool>(set);
}

void GnomeBackend::serveTransfers() {
    while (!m_transfers.empty() && !m_session.empty()) {
        const Transfer transfer = m_transfers.front();
        m_transfers.pop_front();
        const bool served = serve(transfer.mimeType, transfer.serial);
        sendMethod(m_bus.get(), sessionMethod("SelectionWriteDone"), [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "ub", transfer.serial, int(served));
        });
    }
}

bool GnomeBackend::serve(const std::string& mimeType, uint32_t serial) {
    const auto content = m_offer.find(mimeType);
    if (content == m_offer.end())
        return false;
    const BusReply writer =
        callMethod(m_bus.get(), sessionMethod("SelectionWrite"), kCallTimeout,
                   [&](sd_bus_message* m) { return sd_bus_message_append(m, "u", serial); });
    int fd = -1;
    if (!writer || sd_bus_message_read(writer.message.get(), "h", &fd) < 0)
        return false;
    // The reply owns the descriptor and closes it when it goes: the reader's end of file.
    return writeAll(fd, content->second, Clock::now() + kTransferWriteTimeout);
}

GnomeBackend::Clipboard GnomeBackend::readClipboard() {
    Clipboard content;
    const auto deadline = Clock::now() + kClipboardReadTimeout;
    size_t total = 0;
    for (const std::string& type : m_ownerTypes) {
        if (!isContentType(type))
            continue;
        if (auto data = readSelection(type, deadline);
            data && total + data->size() <= kMaxClipboardBytes) {
            total += data->size();
            content.emplace(type, std::move(*data));
        }
    }
    return content;
}

std::optional<std::string> GnomeBackend::readSelection(const std::string& mimeType,
                                                       Clock::time_point deadline) {
    const BusReply reader = callMethod(
        m_bus.get(), sessionMethod("SelectionRead"), kCallTimeout,
        [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", mimeType.c_str()); });
    int fd = -1;
    if (!reader || sd_bus_message_read(reader.message.get(), "h", &fd) < 0)
        return std::nullopt;
    // The reply owns the descriptor and closes it when it goes.
    return readAll(fd, kMaxClipboardBytes, deadline);
}

void GnomeBackend::endOfBatch() {
    if (m_ei)
        m_ei->flush();
    if (m_bus)
        flushBus(m_bus.get(), kCallTimeout);
}

std::optional<std::chrono::milliseconds> GnomeBackend::serviceTimeout() const {
    return m_bus ? busTimeout(m_bus.get()) : std::nullopt;
}

bool GnomeBackend::service() {
    if (m_ei && !m_ei->dispatch()) {
        core::logLine("Input: GNOME ended the EIS connection; a new session opens with the next "
                      "event");
        endSession();
    }
    processBus();
    dispatchWayland(0);
    return true; // a closed session or a lost bus is made anew with the next event
}

void GnomeBackend::connectWayland() {
    m_display = wl_display_connect(nullptr);
    if (!m_display) {
        core::logLine("Input: the desktop's keymap is unknown (no Wayland display): all text "
                      "goes through the clipboard");
        return;
    }
    m_registry = wl_display_get_registry(m_display);
    wl_registry_add_listener(m_registry, &kRegistryListener, this);
    watch(m_epoll, wl_display_get_fd(m_display));
    wl_display_flush(m_display);
}

void GnomeBackend::disconnectWayland() {
    if (!m_display)
        return;
    unwatch(m_epoll, wl_display_get_fd(m_display));
    if (m_keyboard)
        wl_keyboard_destroy(m_keyboard);
    if (m_seat)
        wl_seat_destroy(m_seat);
    if (m_registry)
        wl_registry_destroy(m_registry);
    wl_display_disconnect(m_display);
    m_keyboard = nullptr;
    m_seat = nullptr;
    m_registry = nullptr;
    m_display = nullptr;
}

void GnomeBackend::onGlobal(wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    if (std::string_view(interface) == wl_seat_interface.name && !m_seat) {
        m_seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        wl_seat_add_listener(m_seat, &kSeatListener, this);
    }
}

void GnomeBackend::onCapabilities(uint32_t capabilities) {
    // The seat has a keyboard once ours (the session's) exists; its keymap follows.
    const bool keyboard = capabilities & WL_SEAT_CAPABILITY_KEYBOARD;
    if (keyboard && !m_keyboard) {
        m_keyboard = wl_seat_get_keyboard(m_seat);
        wl_keyboard_add_listener(m_keyboard, &kKeyboardListener, this);
    } else if (!keyboard && m_keyboard) {
        wl_keyboard_destroy(m_keyboard);
        m_keyboard = nullptr;
    }
}

void GnomeBackend::onKeymap(uint32_t format, int fd, uint32_t size) {
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
        void* text = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (text != MAP_FAILED) {
            const char* chars = static_cast<const char*>(text);
            if (auto keymap = XkbKeymap::fromText(std::string(chars, ::strnlen(chars, size))))
                m_keymap = std::move(keymap);
            ::munmap(text, size);
        }
    }
    ::close(fd);
}

void GnomeBackend::dispatchWayland(int timeoutMs) {
    if (!m_display)
        return;
    while (wl_display_prepare_read(m_display) != 0)
        wl_display_dispatch_pending(m_display);
    wl_display_flush(m_display);
    pollfd in{wl_display_get_fd(m_display), POLLIN, 0};
    const bool readable = ::poll(&in, 1, timeoutMs) > 0;
    if (readable ? wl_display_read_events(m_display) < 0
                 : (wl_display_cancel_read(m_display), false))
        disconnectWayland(); // the last keymap stays
    else if (wl_display_dispatch_pending(m_display) < 0)
        disconnectWayland();
}

const XkbKeymap* GnomeBackend::desktopKeymap() {
    const auto deadline = Clock::now() + kKeymapWait;
    dispatchWayland(0); // a layout change since the last text
    while (!m_keymap && m_display && Clock::now() < deadline)
        dispatchWayland(remainingMs(deadline));
    return m_keymap ? &*m_keymap : nullptr;
}

} // namespace pointrelay::input
