// SPDX-License-Identifier: MIT
#include "kwin_backend.h"

#include "core/log.h"
#include "fake-input-client-protocol.h"
#include "input/linux/descriptor_io.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon-keysyms.h>

namespace pointrelay::input {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A wheel click is worth 15 units of wl_pointer.axis, as libinput reports a real wheel.
constexpr double kAxisPerStep = 15;
constexpr int kFlushTimeoutMs = 5000;
constexpr auto kKeymapWait = 1s;
// How long Control+V may take to turn into the application's request for the clipboard, and
// how long reading the person's clipboard (to offer it again afterwards) may take.
constexpr auto kPasteTimeout = 500ms;
constexpr auto kClipboardReadTimeout = 500ms;
constexpr size_t kMaxClipboardBytes = 16 << 20;
// What a paste offers, in the order a reader of the clipboard prefers them.
constexpr const char* kTextTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain"};

KwinBackend* self(void* data) {
    return static_cast<KwinBackend*>(data);
}

const wl_registry_listener kRegistryListener = {
    [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        self(data)->onGlobal(registry, name, interface, version);
    },
    [](void*, wl_registry*, uint32_t) {}};

const wl_keyboard_listener kKeyboardListener = {
    [](void* data, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
        self(data)->onKeymap(format, fd, size);
    },
    [](void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {},
    [](void*, wl_keyboard*, uint32_t, wl_surface*) {},
    [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](void*, wl_keyboard*, int32_t, int32_t) {}};

const zwlr_data_control_offer_v1_listener kOfferListener = {
    [](void* data, zwlr_data_control_offer_v1* offer, const char* mimeType) {
        self(data)->onOfferType(offer, mimeType);
    }};

const zwlr_data_control_device_v1_listener kDeviceListener = {
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        self(data)->onOffer(offer);
    },
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        self(data)->onSelection(offer);
    },
    [](void*, zwlr_data_control_device_v1*) {},
    [](void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        if (offer) // the primary selection is left alone
            zwlr_data_control_offer_v1_destroy(offer);
    }};

const zwlr_data_control_source_v1_listener kSourceListener = {
    [](void* data, zwlr_data_control_source_v1* source, const char* mimeType, int32_t fd) {
        self(data)->onSend(source, mimeType, fd);
    },
    [](void* data, zwlr_data_control_source_v1* source) { self(data)->onCancelled(source); }};

} // namespace

std::unique_ptr<KwinBackend> KwinBackend::connect(std::string& whyNot) {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        whyNot = "no Wayland display";
        return nullptr;
    }
    std::unique_ptr<KwinBackend> backend(new KwinBackend(display));
    backend->m_registry = wl_display_get_registry(display);
    wl_registry_add_listener(backend->m_registry, &kRegistryListener, backend.get());
    if (wl_display_roundtrip(display) < 0 || !backend->m_seat || !backend->m_fakeInput) {
        whyNot = "the compositor offers this program no KWin fake input";
        return nullptr;
    }
    return backend;
}

KwinBackend::KwinBackend(wl_display* display) : m_display(display) {}

KwinBackend::~KwinBackend() {
    if (m_offered.source)
        zwlr_data_control_source_v1_destroy(m_offered.source);
    for (auto* offer : {m_pendingOffer, m_selection}) {
        if (offer)
            zwlr_data_control_offer_v1_destroy(offer);
    }
    if (m_dataDevice)
        zwlr_data_control_device_v1_destroy(m_dataDevice);
    if (m_dataControl)
        zwlr_data_control_manager_v1_destroy(m_dataControl);
    if (m_fakeInput)
        org_kde_kwin_fake_input_destroy(m_fakeInput);
    if (m_keyboard)
        wl_keyboard_destroy(m_keyboard);
    if (m_seat)
        wl_seat_destroy(m_seat);
    if (m_registry)
        wl_registry_destroy(m_registry);
    wl_display_flush(m_display);
    wl_display_disconnect(m_display);
}

void KwinBackend::onGlobal(wl_registry* registry, uint32_t name, const char* interface,
                           uint32_t version) {
    const std::string_view which = interface;
    if (which == wl_seat_interface.name && !m_seat) {
        m_seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (which == org_kde_kwin_fake_input_interface.name && version >= 4) {
        // Keys need version 4; from version 5 the object can be let go of.
        m_fakeInput = static_cast<org_kde_kwin_fake_input*>(wl_registry_bind(
            registry, name, &org_kde_kwin_fake_input_interface, std::min(version, 5u)));
    } else if (which == zwlr_data_control_manager_v1_interface.name) {
        m_dataControl = static_cast<zwlr_data_control_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
    }
}

bool KwinBackend::start() {
    org_kde_kwin_fake_input_authenticate(m_fakeInput, "Pointrelay",
                                         "A phone is used as pointer and keyboard");
    m_keyboard = wl_seat_get_keyboard(m_seat);
    wl_keyboard_add_listener(m_keyboard, &kKeyboardListener, this);
    if (m_dataControl) {
        m_dataDevice = zwlr_data_control_manager_v1_get_data_device(m_dataControl, m_seat);
        zwlr_data_control_device_v1_add_listener(m_dataDevice, &kDeviceListener, this);
    }
    if (!dispatchFor(kKeymapWait, [this] { return m_keymap.has_value(); })) {
        core::logLine("Input: KWin sent no keymap; keys follow the US layout");
        m_keymap = XkbKeymap::usLayout();
    }
    return wl_display_get_error(m_display) == 0 && m_keymap;
}

void KwinBackend::onKeymap(uint32_t format, int fd, uint32_t size) {
    std::string text;
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
        if (void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0); map != MAP_FAILED) {
            text.assign(static_cast<const char*>(map), ::strnlen(static_cast<char*>(map), size));
            ::munmap(map, size);
        }
    }
    ::close(fd);
    if (auto keymap = XkbKeymap::fromText(text))
        m_keymap = std::move(keymap);
}

void KwinBackend::motion(double dx, double dy) {
    org_kde_kwin_fake_input_pointer_motion(m_fakeInput, wl_fixed_from_double(dx),
                                           wl_fixed_from_double(dy));
}

void KwinBackend::button(MouseButton button, bool down) {
    org_kde_kwin_fake_input_button(m_fakeInput, static_cast<uint32_t>(evdevButton(button)),
                                   down ? WL_POINTER_BUTTON_STATE_PRESSED
                                        : WL_POINTER_BUTTON_STATE_RELEASED);
}

void KwinBackend::wheel(int vertical, int horizontal) {
    forEachWheelAxis(vertical, horizontal, [&](uint32_t axis, int steps) {
        org_kde_kwin_fake_input_axis(m_fakeInput, axis, wl_fixed_from_double(steps * kAxisPerStep));
    });
}

void KwinBackend::keyCode(uint32_t evdevCode, bool down) {
    org_kde_kwin_fake_input_keyboard_key(m_fakeInput, evdevCode,
                                         down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                              : WL_KEYBOARD_KEY_STATE_RELEASED);
}

void KwinBackend::key(Keysym keysym, bool down) {
    // Nothing where the keysym is nowhere on the person's keyboard.
    m_keymap->press(keysym, down, [this](uint32_t code, bool pressed) { keyCode(code, pressed); });
}

void KwinBackend::text(std::u32string_view text) {
    std::optional<std::string> previous; // the person's clipboard, read before the first paste
    bool pasted = false;
    typeOrPaste(
        text, &*m_keymap,
        [this](Keysym keysym) {
            key(keysym, true);
            key(keysym, false);
        },
        [&](const std::u32string& run) {
            if (!pasted)
                previous = m_offered.source ? std::optional(m_offered.text) : readSelection();
            pasted = paste(run) || pasted;
        });
    if (pasted) {
        // The person's clipboard text is offered again; without one, ours is withdrawn.
        if (!previous || !offer(std::move(*previous)))
            zwlr_data_control_device_v1_set_selection(m_dataDevice, nullptr);
        flush();
    }
}

bool KwinBackend::paste(const std::u32string& text) {
    if (!m_clipboardLogged)
        core::logLine(m_dataDevice ? "Input: text outside the keymap goes through the clipboard"
                                   : "Input: KWin offers no clipboard control: text outside the "
                                     "keymap is lost");
    m_clipboardLogged = true;
    if (!m_dataDevice || !offer(encodeUtf8(text)))
        return false;
    const uint64_t asked = m_sendsAsked;
    key(XKB_KEY_Control_L, true);
    key(XKB_KEY_v, true);
    key(XKB_KEY_v, false);
    key(XKB_KEY_Control_L, false);
    return dispatchFor(kPasteTimeout, [&] { return m_sendsAsked > asked; });
}

bool KwinBackend::offer(std::string text) {
    zwlr_data_control_source_v1* source =
        zwlr_data_control_manager_v1_create_data_source(m_dataControl);
    zwlr_data_control_source_v1_add_listener(source, &kSourceListener, this);
    for (const char* type : kTextTypes)
        zwlr_data_control_source_v1_offer(source, type);
    zwlr_data_control_device_v1_set_selection(m_dataDevice, source);
    if (m_offered.source)
        zwlr_data_control_source_v1_destroy(m_offered.source);
    m_offered = {source, std::move(text)};
    return flush();
}

std::optional<std::string> KwinBackend::readSelection() {
    dispatchFor(0ms, [] { return false; }); // the selection as it is now
    const auto type = std::find_first_of(std::begin(kTextTypes), std::end(kTextTypes),
                                         m_selectionTypes.begin(), m_selectionTypes.end());
    int pipe[2];
    if (!m_selection || type == std::end(kTextTypes) || ::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) < 0)
        return std::nullopt;
    zwlr_data_control_offer_v1_receive(m_selection, *type, pipe[1]);
    ::close(pipe[1]);
    flush();
    auto data = readAll(pipe[0], kMaxClipboardBytes, Clock::now() + kClipboardReadTimeout);
    ::close(pipe[0]);
    return data;
}

void KwinBackend::onOffer(zwlr_data_control_offer_v1* offer) {
    if (m_pendingOffer)
        zwlr_data_control_offer_v1_destroy(m_pendingOffer);
    m_pendingOffer = offer;
    m_pendingTypes.clear();
    zwlr_data_control_offer_v1_add_listener(offer, &kOfferListener, this);
}

void KwinBackend::onOfferType(zwlr_data_control_offer_v1* offer, const char* mimeType) {
    if (offer == m_pendingOffer)
        m_pendingTypes.emplace_back(mimeType);
}

void KwinBackend::onSelection(zwlr_data_control_offer_v1* offer) {
    if (m_selection && m_selection != offer)
        zwlr_data_control_offer_v1_destroy(m_selection);
    m_selection = offer;
    m_selectionTypes =
        offer && offer == m_pendingOffer ? std::move(m_pendingTypes) : std::vector<std::string>();
    if (offer == m_pendingOffer)
        m_pendingOffer = nullptr;
}

void KwinBackend::onSend(zwlr_data_control_source_v1* source, const char*, int fd) {
    if (source == m_offered.source) {
        writeAll(fd, m_offered.text, Clock::now() + kPasteTimeout);
        ++m_sendsAsked;
    }
    ::close(fd);
}

void KwinBackend::onCancelled(zwlr_data_control_source_v1* source) {
    if (source == m_offered.source)
        m_offered = {};
    zwlr_data_control_source_v1_destroy(source);
}

void KwinBackend::endOfBatch() {
    flush();
}

int KwinBackend::pollFd() const {
    return wl_display_get_fd(m_display);
}

bool KwinBackend::service() {
    if (wl_display_prepare_read(m_display) == 0)
        wl_display_read_events(m_display);
    wl_display_dispatch_pending(m_display);
    return wl_display_get_error(m_display) == 0;
}

bool KwinBackend::dispatchFor(std::chrono::milliseconds limit, const std::function<bool()>& done) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (!flush() || wl_display_dispatch_pending(m_display) < 0)
            return false;
        if (done())
            return true;
        pollfd in{wl_display_get_fd(m_display), POLLIN, 0};
        if (::poll(&in, 1, remainingMs(deadline)) <= 0)
            return done();
        if (!service())
            return false;
    }
}

bool KwinBackend::flush() {
    // The socket may be full while the compositor is busy: wait for it here, on the worker.
    while (wl_display_flush(m_display) < 0) {
        if (errno != EAGAIN)
            return false;
        pollfd out{wl_display_get_fd(m_display), POLLOUT, 0};
        if (::poll(&out, 1, kFlushTimeoutMs) <= 0)
            return false;
    }
    return true;
}

} // namespace pointrelay::input
