// SPDX-License-Identifier: MIT
#include "wlroots_backend.h"

#include "core/log.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

namespace pointrelay::input {
namespace {

// A wheel click is worth 15 units of wl_pointer.axis, as libinput reports a real wheel.
constexpr double kAxisPerStep = 15;
// A compositor that takes no more of our requests for this long is considered gone.
constexpr int kFlushTimeoutMs = 5000;

uint32_t timestamp() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
              uint32_t version) {
    static_cast<WlrootsBackend*>(data)->onGlobal(registry, name, interface, version);
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

constexpr wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

} // namespace

void WlrootsBackend::DisplayCloser::operator()(wl_display* display) const {
    wl_display_disconnect(display);
}

WlrootsBackend::WlrootsBackend(wl_display* display) : m_display(display) {}

WlrootsBackend::~WlrootsBackend() {
    if (m_pointer)
        zwlr_virtual_pointer_v1_destroy(m_pointer);
    if (m_keyboard)
        zwp_virtual_keyboard_v1_destroy(m_keyboard);
    if (m_pointerManager)
        zwlr_virtual_pointer_manager_v1_destroy(m_pointerManager);
    if (m_keyboardManager)
        zwp_virtual_keyboard_manager_v1_destroy(m_keyboardManager);
    if (m_seat)
        wl_seat_destroy(m_seat);
    if (m_registry)
        wl_registry_destroy(m_registry);
    if (m_state)
        xkb_state_unref(m_state);
    if (m_display)
        wl_display_flush(m_display.get());
}

std::unique_ptr<WlrootsBackend> WlrootsBackend::connect() {
    wl_display* display = wl_display_connect(nullptr);
    if (!display)
        return nullptr;
    std::unique_ptr<WlrootsBackend> backend(new WlrootsBackend(display));
    backend->m_registry = wl_display_get_registry(display);
    wl_registry_add_listener(backend->m_registry, &kRegistryListener, backend.get());
    if (wl_display_roundtrip(display) < 0 || !backend->m_seat || !backend->m_pointerManager ||
        !backend->m_keyboardManager)
        return nullptr;
    return backend;
}

void WlrootsBackend::onGlobal(wl_registry* registry, uint32_t name, const char* interface,
                              uint32_t version) {
    const std::string_view which = interface;
    if (which == wl_seat_interface.name && !m_seat) {
        m_seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (which == zwlr_virtual_pointer_manager_v1_interface.name) {
        m_pointerManager = static_cast<zwlr_virtual_pointer_manager_v1*>(wl_registry_bind(
            registry, name, &zwlr_virtual_pointer_manager_v1_interface, std::min(version, 2u)));
    } else if (which == zwp_virtual_keyboard_manager_v1_interface.name) {
        m_keyboardManager = static_cast<zwp_virtual_keyboard_manager_v1*>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    }
}

bool WlrootsBackend::start() {
    m_layout = XkbKeymap::usLayout();
    if (!m_layout) {
        core::logLine("Input: the US keymap cannot be compiled (is xkb-data installed?)");
        return false;
    }
    m_state = xkb_state_new(m_layout->get());
    // The devices live as long as the daemon: a seat drops a removed device's pointer and
    // keyboard from its clients, and events sent before it has attached a new one are lost.
    m_pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(m_pointerManager, m_seat);
    m_keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(m_keyboardManager, m_seat);
    if (!m_state || !upload(*m_layout))
        return false;
    // The compositor has attached both devices once it has answered everything sent so far.
    return wl_display_roundtrip(m_display.get()) >= 0;
}

void WlrootsBackend::motion(double dx, double dy) {
    zwlr_virtual_pointer_v1_motion(m_pointer, timestamp(), wl_fixed_from_double(dx),
                                   wl_fixed_from_double(dy));
    m_pointerFrame = true;
}

void WlrootsBackend::button(MouseButton button, bool down) {
    zwlr_virtual_pointer_v1_button(m_pointer, timestamp(), evdevButton(button),
                                   down ? WL_POINTER_BUTTON_STATE_PRESSED
                                        : WL_POINTER_BUTTON_STATE_RELEASED);
    m_pointerFrame = true;
}

void WlrootsBackend::wheel(int vertical, int horizontal) {
    const uint32_t time = timestamp();
    forEachWheelAxis(vertical, horizontal, [&](uint32_t axis, int steps) {
        zwlr_virtual_pointer_v1_axis_discrete(m_pointer, time, axis,
                                              wl_fixed_from_double(steps * kAxisPerStep), steps);
    });
    // A frame of its own, as a wheel click has: the axis values of one frame add up, so two
    // scrolls in opposite directions would otherwise cancel out.
    zwlr_virtual_pointer_v1_frame(m_pointer);
    m_pointerFrame = false;
}

void WlrootsBackend::key(Keysym keysym, bool down) {
    const auto position = m_layout->find(keysym);
    if (!position || position->level != 0) {
        // Not a key of the US layout (keypad digits, F13 and up, Clear): typed with a keymap
        // of its own when pressed.
        if (down)
            typeKeysyms({keysym});
        return;
    }
    zwp_virtual_keyboard_v1_key(m_keyboard, timestamp(), position->evdevCode,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                     : WL_KEYBOARD_KEY_STATE_RELEASED);
    // A virtual keyboard's modifiers are what it says they are: follow our own presses.
    const auto changed =
        xkb_state_update_key(m_state, position->evdevCode + 8, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    if (changed & (XKB_STATE_MODS_DEPRESSED | XKB_STATE_MODS_LATCHED | XKB_STATE_MODS_LOCKED |
                   XKB_STATE_LAYOUT_EFFECTIVE))
        sendModifiers();
}

void WlrootsBackend::text(std::u32string_view text) {
    std::vector<Keysym> keysyms;
    keysyms.reserve(text.size());
    for (const char32_t codePoint : text) {
        if (const Keysym keysym = keysymForTyping(codePoint))
            keysyms.push_back(keysym);
    }
    typeKeysyms(keysyms);
}

// Each batch of up to kMaxKeysyms distinct characters gets a keymap of its own; the client
// receives the keymap before the keys (a connection keeps its order), so nothing needs to wait
// before the layout of named keys is put back.
void WlrootsBackend::typeKeysyms(const std::vector<Keysym>& keysyms) {
    for (size_t next = 0; next < keysyms.size();) {
        std::vector<Keysym> distinct;
        size_t end = next;
        for (; end < keysyms.size(); ++end) {
            if (std::find(distinct.begin(), distinct.end(), keysyms[end]) != distinct.end())
                continue;
            if (distinct.size() == XkbKeymap::kMaxKeysyms)
                break;
            distinct.push_back(keysyms[end]);
        }
        const auto keymap = XkbKeymap::forKeysyms(distinct);
        if (!keymap || !upload(*keymap)) {
            core::logLine("Input: a text keymap could not be made, text dropped");
            return;
        }
        zwp_virtual_keyboard_v1_modifiers(m_keyboard, 0, 0, 0, 0);
        for (; next < end; ++next) {
            const uint32_t code = keymap->find(keysyms[next])->evdevCode;
            zwp_virtual_keyboard_v1_key(m_keyboard, timestamp(), code,
                                        WL_KEYBOARD_KEY_STATE_PRESSED);
            zwp_virtual_keyboard_v1_key(m_keyboard, timestamp(), code,
                                        WL_KEYBOARD_KEY_STATE_RELEASED);
        }
    }
    upload(*m_layout);
    sendModifiers(); // what named keys still hold (a combination in progress)
}

bool WlrootsBackend::upload(const XkbKeymap& keymap) {
    const std::string& text = keymap.text();
    const int fd = ::memfd_create("pointrelay-keymap", MFD_CLOEXEC);
    if (fd < 0)
        return false;
    bool written = true;
    for (size_t at = 0; written && at < text.size();) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        written = n > 0;
        at += written ? static_cast<size_t>(n) : 0;
    }
    if (written)
        zwp_virtual_keyboard_v1_keymap(m_keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                       static_cast<uint32_t>(text.size()));
    ::close(fd); // the request carries a duplicate
    return written;
}

void WlrootsBackend::sendModifiers() {
    zwp_virtual_keyboard_v1_modifiers(
        m_keyboard, xkb_state_serialize_mods(m_state, XKB_STATE_MODS_DEPRESSED),
        xkb_state_serialize_mods(m_state, XKB_STATE_MODS_LATCHED),
        xkb_state_serialize_mods(m_state, XKB_STATE_MODS_LOCKED),
        xkb_state_serialize_layout(m_state, XKB_STATE_LAYOUT_EFFECTIVE));
}

void WlrootsBackend::endOfBatch() {
    if (m_pointerFrame) {
        zwlr_virtual_pointer_v1_frame(m_pointer);
        m_pointerFrame = false;
    }
    flush();
}

bool WlrootsBackend::flush() {
    // The socket may be full while the compositor is busy: wait for it here, on the worker.
    while (wl_display_flush(m_display.get()) < 0) {
        if (errno != EAGAIN)
            return false;
        pollfd fd{wl_display_get_fd(m_display.get()), POLLOUT, 0};
        if (::poll(&fd, 1, kFlushTimeoutMs) <= 0)
            return false;
    }
    return true;
}

int WlrootsBackend::pollFd() const {
    return wl_display_get_fd(m_display.get());
}

bool WlrootsBackend::service() {
    wl_display* display = m_display.get();
    if (wl_display_prepare_read(display) == 0)
        wl_display_read_events(display);
    wl_display_dispatch_pending(display);
    return wl_display_get_error(display) == 0;
}

} // namespace pointrelay::input
