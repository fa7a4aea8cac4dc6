// SPDX-License-Identifier: MIT
#include "ei_client.h"

#include "core/log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libei.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon-keysyms.h>

namespace pointrelay::input {
namespace {

using Clock = std::chrono::steady_clock;

// The keymap's text, from the descriptor the server shares.
std::optional<XkbKeymap> readKeymap(ei_keymap* keymap) {
    if (!keymap || ei_keymap_get_type(keymap) != EI_KEYMAP_TYPE_XKB)
        return std::nullopt;
    const size_t size = ei_keymap_get_size(keymap);
    void* text = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, ei_keymap_get_fd(keymap), 0);
    if (text == MAP_FAILED)
        return std::nullopt;
    std::string copy(static_cast<const char*>(text),
                     ::strnlen(static_cast<const char*>(text), size));
    ::munmap(text, size);
    return XkbKeymap::fromText(copy);
}

} // namespace

std::unique_ptr<EiClient> EiClient::connect(int fd, std::chrono::milliseconds limit,
                                            std::string& error) {
    std::unique_ptr<EiClient> client(new EiClient);
    client->m_ei = ei_new_sender(client.get());
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3); // libei keeps and closes its own
    if (!client->m_ei || own < 0) {
        if (own >= 0)
            ::close(own);
        error = "libei could not be set up";
        return nullptr;
    }
    ei_configure_name(client->m_ei, "pointrelayd");
    if (const int rc = ei_setup_backend_fd(client->m_ei, own); rc < 0) {
        error = std::string("the EIS connection failed: ") + std::strerror(-rc);
        return nullptr;
    }
    const auto deadline = Clock::now() + limit;
    while (!client->ready()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd connection{client->fd(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&connection, 1, static_cast<int>(left.count())) <= 0) {
            error = "the compositor made no pointer and keyboard for us in time";
            return nullptr;
        }
        if (!client->dispatch()) {
            error = "the compositor refused the EIS connection";
            return nullptr;
        }
    }
    return client;
}

EiClient::~EiClient() {
    for (ei_device* device : {m_pointer, m_keyboard, m_buttons, m_scroll})
        release(device);
    if (m_seat)
        ei_seat_unref(m_seat);
    if (m_ei)
        ei_unref(m_ei);
}

bool EiClient::available() {
    return true;
}

int EiClient::fd() const {
    return ei_get_fd(m_ei);
}

bool EiClient::dispatch() {
    ei_dispatch(m_ei);
    while (ei_event* event = ei_get_event(m_ei)) {
        onEvent(event);
        ei_event_unref(event);
    }
    return !m_disconnected;
}

void EiClient::release(ei_device* device) {
    // The same device may serve several capabilities: each slot holds a reference of its own.
    for (ei_device** slot : {&m_pointer, &m_keyboard, &m_buttons, &m_scroll}) {
        if (device && *slot == device) {
            *slot = nullptr;
            ei_device_unref(device);
        }
    }
}

void EiClient::onEvent(void* raw) {
    auto* event = static_cast<ei_event*>(raw);
    ei_device* device = ei_event_get_device(event);
    switch (ei_event_get_type(event)) {
    case EI_EVENT_SEAT_ADDED:
        if (!m_seat) {
            m_seat = ei_seat_ref(ei_event_get_seat(event));
            ei_seat_bind_capabilities(m_seat, EI_DEVICE_CAP_POINTER, EI_DEVICE_CAP_BUTTON,
                                      EI_DEVICE_CAP_SCROLL, EI_DEVICE_CAP_KEYBOARD, nullptr);
        }
        break;
    case EI_EVENT_DEVICE_RESUMED: {
        // Emulation starts where the server lets us: one device per capability, the first.
        const auto take = [&](ei_device*& slot, ei_device_capability capability) {
            if (!slot && ei_device_has_capability(device, capability))
                slot = ei_device_ref(device);
        };
        take(m_pointer, EI_DEVICE_CAP_POINTER);
        take(m_buttons, EI_DEVICE_CAP_BUTTON);
        take(m_scroll, EI_DEVICE_CAP_SCROLL);
        if (!m_keyboard && ei_device_has_capability(device, EI_DEVICE_CAP_KEYBOARD)) {
            m_keyboard = ei_device_ref(device);
            m_keymap = readKeymap(ei_device_keyboard_get_keymap(device));
        }
        ei_device_start_emulating(device, ++m_sequence);
        break;
    }
    case EI_EVENT_DEVICE_PAUSED: // taken again when resumed
    case EI_EVENT_DEVICE_REMOVED:
        release(device); // a device of ours, or nothing
        break;
    case EI_EVENT_SEAT_REMOVED:
        if (ei_event_get_seat(event) == m_seat) {
            ei_seat_unref(m_seat);
            m_seat = nullptr;
        }
        break;
    case EI_EVENT_DISCONNECT:
        m_disconnected = true;
        break;
    default:
        break;
    }
}

void EiClient::motion(double dx, double dy) {
    if (!m_pointer)
        return;
    ei_device_pointer_motion(m_pointer, dx, dy);
    ei_device_frame(m_pointer, ei_now(m_ei));
}

void EiClient::button(uint32_t evdevCode, bool down) {
    if (!m_buttons)
        return;
    ei_device_button_button(m_buttons, evdevCode, down);
    ei_device_frame(m_buttons, ei_now(m_ei));
}

void EiClient::wheel(int32_t vertical, int32_t horizontal) {
    if (!m_scroll)
        return;
    ei_device_scroll_discrete(m_scroll, horizontal * 120, vertical * 120);
    ei_device_frame(m_scroll, ei_now(m_ei));
}

void EiClient::keyCode(uint32_t evdevCode, bool down) {
    ei_device_keyboard_key(m_keyboard, evdevCode, down);
    ei_device_frame(m_keyboard, ei_now(m_ei));
}

bool EiClient::key(Keysym keysym, bool down) {
    return m_keyboard && m_keymap &&
           m_keymap->press(keysym, down,
                           [this](uint32_t code, bool pressed) { keyCode(code, pressed); });
}

void EiClient::flush() {
    dispatch();
}

} // namespace pointrelay::input
