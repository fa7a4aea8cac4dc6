// SPDX-License-Identifier: MIT
// A Wayland client that maps one fullscreen window and prints, one line per event on standard
// output, what the compositor delivers to it: pointer and keyboard events, the text that key
// presses produce under the compositor's keymap, and the selection's text on Control+V.
// Usage: wayland_witness   (with WAYLAND_DISPLAY set; runs until killed or disconnected)
// Lines (coordinates in surface pixels with two decimals; AXIS is vertical or horizontal; MODS
// is "none" or e.g. "shift+ctrl" from shift ctrl alt super caps num):
//   ready                          the fullscreen surface is on an output
//   seat [pointer] [keyboard]      the seat's devices changed
//   pointer-enter X Y | pointer-leave | motion X Y | button CODE pressed|released | frame
//   axis AXIS VALUE | axis-discrete AXIS STEPS | axis-value120 AXIS V | axis-source N
//   axis-stop AXIS
//   keymap | keyboard-enter | keyboard-leave | modifiers MODS
//   key CODE pressed|released MODS KEYSYM   (CODE: evdev; KEYSYM: xkb name, after modifiers)
//   text UTF8                      what a press produces, unless a control character
//   selection | selection none     the clipboard changed
//   paste UTF8 | paste-unavailable the selection's text on Control+V ("\n" and "\\" escaped)
#include "xdg-shell-client-protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

namespace {

void emit(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

const char* axisName(uint32_t axis) {
    return axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? "vertical" : "horizontal";
}

const char* stateName(uint32_t state) {
    return state ? "pressed" : "released";
}

// A selection or drag offer with the MIME types announced for it.
struct Offer {
    wl_data_offer* m_proxy = nullptr;
    std::vector<std::string> m_mimeTypes;
};

struct Witness {
    wl_display* m_display = nullptr;
    wl_compositor* m_compositor = nullptr;
    wl_shm* m_shm = nullptr;
    xdg_wm_base* m_wmBase = nullptr;
    wl_seat* m_seat = nullptr;
    wl_data_device_manager* m_dataDeviceManager = nullptr;
    wl_data_device* m_dataDevice = nullptr;
    wl_pointer* m_pointer = nullptr;
    wl_keyboard* m_keyboard = nullptr;
    wl_surface* m_surface = nullptr;
    xdg_surface* m_xdgSurface = nullptr;
    xdg_toplevel* m_toplevel = nullptr;
    wl_buffer* m_buffer = nullptr;
    int m_width = 0, m_height = 0, m_nextWidth = 0, m_nextHeight = 0;
    bool m_committed = false, m_ready = false;
    xkb_context* m_xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_keymap* m_keymap = nullptr;
    xkb_state* m_keyState = nullptr;
    Offer* m_selection = nullptr;
    int m_pasteFd = -1;
    std::string m_pasted;
};

void destroyOffer(Offer*& offer) {
    if (offer) {
        wl_data_offer_destroy(offer->m_proxy);
        delete offer;
        offer = nullptr;
    }
}

// Registry

void bindGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
                uint32_t version);
void removeGlobal(void*, wl_registry*, uint32_t) {}
const wl_registry_listener registryListener{bindGlobal, removeGlobal};

// Window: an xrgb8888 shm buffer of the configured size, any colour.

void attachBuffer(Witness& w) {
    const int width = w.m_nextWidth > 0 ? w.m_nextWidth : 640;
    const int height = w.m_nextHeight > 0 ? w.m_nextHeight : 480;
    if (!w.m_buffer || width != w.m_width || height != w.m_height) {
        if (w.m_buffer)
            wl_buffer_destroy(w.m_buffer);
        const int stride = width * 4, size = stride * height;
        const int fd = memfd_create("wayland-witness", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, size) != 0) {
            std::perror("wayland_witness: shm buffer");
            std::exit(1);
        }
        void* pixels = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        std::fill_n(static_cast<uint32_t*>(pixels), size / 4, 0xff336699u);
        munmap(pixels, size);
        wl_shm_pool* pool = wl_shm_create_pool(w.m_shm, fd, size);
        w.m_buffer =
            wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
        wl_shm_pool_destroy(pool);
        close(fd);
        w.m_width = width;
        w.m_height = height;
    }
    wl_surface_attach(w.m_surface, w.m_buffer, 0, 0);
    wl_surface_damage(w.m_surface, 0, 0, width, height);
    wl_surface_commit(w.m_surface);
    w.m_committed = true;
}

const xdg_wm_base_listener wmBaseListener{
    [](void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }};

const xdg_surface_listener xdgSurfaceListener{
    [](void* data, xdg_surface* surface, uint32_t serial) {
        xdg_surface_ack_configure(surface, serial);
        attachBuffer(*static_cast<Witness*>(data));
    }};

const xdg_toplevel_listener toplevelListener{
    [](void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
        auto& w = *static_cast<Witness*>(data);
        w.m_nextWidth = width;
        w.m_nextHeight = height;
    },
    [](void*, xdg_toplevel*) {
        emit("close");
        std::exit(0);
    },
    [](void*, xdg_toplevel*, int32_t, int32_t) {}, [](void*, xdg_toplevel*, wl_array*) {}};

// Mapped: the compositor has put the committed surface on an output.
const wl_surface_listener surfaceListener{[](void* data, wl_surface*, wl_output*) {
                                              auto& w = *static_cast<Witness*>(data);
                                              if (w.m_committed && !w.m_ready) {
                                                  w.m_ready = true;
                                                  emit("ready");
                                              }
                                          },
                                          [](void*, wl_surface*, wl_output*) {}};

// Pointer

const wl_pointer_listener pointerListener{
    .enter =
        [](void*, wl_pointer*, uint32_t, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
            emit("pointer-enter %.2f %.2f", wl_fixed_to_double(x), wl_fixed_to_double(y));
        },
    .leave = [](void*, wl_pointer*, uint32_t, wl_surface*) { emit("pointer-leave"); },
    .motion =
        [](void*, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
            emit("motion %.2f %.2f", wl_fixed_to_double(x), wl_fixed_to_double(y));
        },
    .button = [](void*, wl_pointer*, uint32_t, uint32_t, uint32_t button,
                 uint32_t state) { emit("button %u %s", button, stateName(state)); },
    .axis =
        [](void*, wl_pointer*, uint32_t, uint32_t axis, wl_fixed_t value) {
            emit("axis %s %.2f", axisName(axis), wl_fixed_to_double(value));
        },
    .frame = [](void*, wl_pointer*) { emit("frame"); },
    .axis_source = [](void*, wl_pointer*, uint32_t source) { emit("axis-source %u", source); },
    .axis_stop = [](void*, wl_pointer*, uint32_t,
                    uint32_t axis) { emit("axis-stop %s", axisName(axis)); },
    .axis_discrete = [](void*, wl_pointer*, uint32_t axis,
                        int32_t steps) { emit("axis-discrete %s %d", axisName(axis), steps); },
    .axis_value120 = [](void*, wl_pointer*, uint32_t axis,
                        int32_t value) { emit("axis-value120 %s %d", axisName(axis), value); },
};

// Keyboard

void onKeymap(void* data, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
    auto& w = *static_cast<Witness*>(data);
    if (format != WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
        close(fd);
        return;
    }
    void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (text == MAP_FAILED)
        return;
    xkb_keymap* keymap = xkb_keymap_new_from_buffer(
        w.m_xkb, static_cast<const char*>(text), strnlen(static_cast<const char*>(text), size),
        XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    munmap(text, size);
    if (!keymap) {
        emit("keymap-invalid");
        return;
    }
    xkb_state_unref(w.m_keyState);
    xkb_keymap_unref(w.m_keymap);
    w.m_keymap = keymap;
    w.m_keyState = xkb_state_new(keymap);
    emit("keymap");
}

// The effective modifiers, e.g. "shift+ctrl", or "none".
std::string modifierNames(const Witness& w) {
    static const std::pair<const char*, const char*> known[] = {
        {XKB_MOD_NAME_SHIFT, "shift"}, {XKB_MOD_NAME_CTRL, "ctrl"}, {XKB_MOD_NAME_ALT, "alt"},
        {XKB_MOD_NAME_LOGO, "super"},  {XKB_MOD_NAME_CAPS, "caps"}, {XKB_MOD_NAME_NUM, "num"}};
    std::string names;
    for (const auto& [xkbName, name] : known) {
        if (xkb_state_mod_name_is_active(w.m_keyState, xkbName, XKB_STATE_MODS_EFFECTIVE) > 0)
            names += (names.empty() ? "" : "+") + std::string(name);
    }
    return names.empty() ? "none" : names;
}

const char* preferredMimeType(const Offer& offer) {
    for (const char* mime : {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain"}) {
        for (const auto& offered : offer.m_mimeTypes) {
            if (offered == mime)
                return mime;
        }
    }
    return nullptr;
}

void startPaste(Witness& w) {
    const char* mime = w.m_selection ? preferredMimeType(*w.m_selection) : nullptr;
    int fds[2];
    if (!mime || w.m_pasteFd >= 0 || pipe2(fds, O_CLOEXEC) != 0) {
        emit("paste-unavailable");
        return;
    }
    wl_data_offer_receive(w.m_selection->m_proxy, mime, fds[1]);
    close(fds[1]);
    w.m_pasteFd = fds[0];
    w.m_pasted.clear();
}

void onKey(void* data, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t state) {
    auto& w = *static_cast<Witness*>(data);
    if (!w.m_keyState) {
        emit("key %u %s none NoSymbol", key, stateName(state));
        return;
    }
    const xkb_keycode_t code = key + 8;
    const xkb_keysym_t sym = xkb_state_key_get_one_sym(w.m_keyState, code);
    char symName[64] = "NoSymbol";
    xkb_keysym_get_name(sym, symName, sizeof symName);
    emit("key %u %s %s %s", key, stateName(state), modifierNames(w).c_str(), symName);
    if (state != WL_KEYBOARD_KEY_STATE_PRESSED)
        return;
    const bool control =
        xkb_state_mod_name_is_active(w.m_keyState, XKB_MOD_NAME_CTRL, XKB_STATE_MODS_EFFECTIVE) > 0;
    if (control && (sym == XKB_KEY_v || sym == XKB_KEY_V)) {
        startPaste(w);
        return;
    }
    char text[64];
    if (xkb_state_key_get_utf8(w.m_keyState, code, text, sizeof text) > 0 &&
        static_cast<unsigned char>(text[0]) >= 0x20 && text[0] != 0x7f)
        emit("text %s", text);
}

const wl_keyboard_listener keyboardListener{
    .keymap = onKeymap,
    .enter = [](void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) { emit("keyboard-enter"); },
    .leave = [](void*, wl_keyboard*, uint32_t, wl_surface*) { emit("keyboard-leave"); },
    .key = onKey,
    .modifiers =
        [](void* data, wl_keyboard*, uint32_t, uint32_t depressed, uint32_t latched,
           uint32_t locked, uint32_t group) {
            auto& w = *static_cast<Witness*>(data);
            if (w.m_keyState)
                xkb_state_update_mask(w.m_keyState, depressed, latched, locked, 0, 0, group);
            emit("modifiers %s", w.m_keyState ? modifierNames(w).c_str() : "none");
        },
    .repeat_info = [](void*, wl_keyboard*, int32_t, int32_t) {},
};

// Seat: devices come and go, e.g. when a virtual pointer or keyboard is created.
const wl_seat_listener seatListener{
    .capabilities =
        [](void* data, wl_seat* seat, uint32_t caps) {
            auto& w = *static_cast<Witness*>(data);
            const bool pointer = caps & WL_SEAT_CAPABILITY_POINTER;
            const bool keyboard = caps & WL_SEAT_CAPABILITY_KEYBOARD;
            emit("seat%s%s", pointer ? " pointer" : "", keyboard ? " keyboard" : "");
            if (pointer && !w.m_pointer) {
                w.m_pointer = wl_seat_get_pointer(seat);
                wl_pointer_add_listener(w.m_pointer, &pointerListener, &w);
            } else if (!pointer && w.m_pointer) {
                wl_pointer_release(w.m_pointer);
                w.m_pointer = nullptr;
            }
            if (keyboard && !w.m_keyboard) {
                w.m_keyboard = wl_seat_get_keyboard(seat);
                wl_keyboard_add_listener(w.m_keyboard, &keyboardListener, &w);
            } else if (!keyboard && w.m_keyboard) {
                wl_keyboard_release(w.m_keyboard);
                w.m_keyboard = nullptr;
            }
        },
    .name = [](void*, wl_seat*, const char*) {},
};

// Clipboard

const wl_data_offer_listener offerListener{
    .offer = [](void* data, wl_data_offer*,
                const char* mime) { static_cast<Offer*>(data)->m_mimeTypes.emplace_back(mime); },
    .source_actions = [](void*, wl_data_offer*, uint32_t) {},
    .action = [](void*, wl_data_offer*, uint32_t) {},
};

const wl_data_device_listener dataDeviceListener{
    .data_offer =
        [](void*, wl_data_device*, wl_data_offer* proxy) {
            wl_data_offer_add_listener(proxy, &offerListener, new Offer{proxy, {}});
        },
    // Drag and drop is not watched: its offers go at once.
    .enter =
        [](void*, wl_data_device*, uint32_t, wl_surface*, wl_fixed_t, wl_fixed_t,
           wl_data_offer* proxy) {
            Offer* offer =
                proxy ? static_cast<Offer*>(wl_data_offer_get_user_data(proxy)) : nullptr;
            destroyOffer(offer);
        },
    .leave = [](void*, wl_data_device*) {},
    .motion = [](void*, wl_data_device*, uint32_t, wl_fixed_t, wl_fixed_t) {},
    .drop = [](void*, wl_data_device*) {},
    .selection =
        [](void* data, wl_data_device*, wl_data_offer* proxy) {
            auto& w = *static_cast<Witness*>(data);
            destroyOffer(w.m_selection);
            if (proxy)
                w.m_selection = static_cast<Offer*>(wl_data_offer_get_user_data(proxy));
            emit("selection%s", proxy ? "" : " none");
        },
};

void bindGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
                uint32_t version) {
    auto& w = *static_cast<Witness*>(data);
    const std::string_view iface(interface);
    if (iface == wl_compositor_interface.name) {
        w.m_compositor = static_cast<wl_compositor*>(
            wl_registry_bind(registry, name, &wl_compositor_interface, std::min(version, 4u)));
    } else if (iface == wl_shm_interface.name) {
        w.m_shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (iface == xdg_wm_base_interface.name) {
        w.m_wmBase =
            static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
        xdg_wm_base_add_listener(w.m_wmBase, &wmBaseListener, &w);
    } else if (iface == wl_output_interface.name) {
        wl_registry_bind(registry, name, &wl_output_interface, 1);
    } else if (iface == wl_seat_interface.name && !w.m_seat) {
        w.m_seat = static_cast<wl_seat*>(
            wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, 8u)));
        wl_seat_add_listener(w.m_seat, &seatListener, &w);
    } else if (iface == wl_data_device_manager_interface.name) {
        w.m_dataDeviceManager = static_cast<wl_data_device_manager*>(wl_registry_bind(
            registry, name, &wl_data_device_manager_interface, std::min(version, 3u)));
    }
}

// Reads what the selection's owner writes into the paste pipe; prints it at end of file.
void readPaste(Witness& w) {
    char chunk[4096];
    const ssize_t n = read(w.m_pasteFd, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n > 0) {
        w.m_pasted.append(chunk, n);
        return;
    }
    close(w.m_pasteFd);
    w.m_pasteFd = -1;
    std::string escaped;
    for (char c : w.m_pasted) {
        if (c == '\n')
            escaped += "\\n";
        else if (c == '\\')
            escaped += "\\\\";
        else
            escaped += c;
    }
    emit("paste %s", escaped.c_str());
}

} // namespace

int main() {
    Witness w;
    w.m_display = wl_display_connect(nullptr);
    if (!w.m_display) {
        std::fprintf(stderr, "wayland_witness: cannot connect to the Wayland display\n");
        return 1;
    }
    wl_registry_add_listener(wl_display_get_registry(w.m_display), &registryListener, &w);
    wl_display_roundtrip(w.m_display);
    if (!w.m_compositor || !w.m_shm || !w.m_wmBase || !w.m_seat) {
        std::fprintf(stderr, "wayland_witness: compositor, shm, xdg_wm_base or seat missing\n");
        return 1;
    }
    if (w.m_dataDeviceManager) {
        w.m_dataDevice = wl_data_device_manager_get_data_device(w.m_dataDeviceManager, w.m_seat);
        wl_data_device_add_listener(w.m_dataDevice, &dataDeviceListener, &w);
    }
    w.m_surface = wl_compositor_create_surface(w.m_compositor);
    wl_surface_add_listener(w.m_surface, &surfaceListener, &w);
    w.m_xdgSurface = xdg_wm_base_get_xdg_surface(w.m_wmBase, w.m_surface);
    xdg_surface_add_listener(w.m_xdgSurface, &xdgSurfaceListener, &w);
    w.m_toplevel = xdg_surface_get_toplevel(w.m_xdgSurface);
    xdg_toplevel_add_listener(w.m_toplevel, &toplevelListener, &w);
    xdg_toplevel_set_title(w.m_toplevel, "wayland_witness");
    xdg_toplevel_set_app_id(w.m_toplevel, "wayland_witness");
    xdg_toplevel_set_fullscreen(w.m_toplevel, nullptr);
    wl_surface_commit(w.m_surface);

    // The display and, while a paste is in progress, its pipe.
    for (;;) {
        while (wl_display_prepare_read(w.m_display) != 0)
            wl_display_dispatch_pending(w.m_display);
        if (wl_display_flush(w.m_display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(w.m_display);
            break;
        }
        pollfd fds[2] = {{wl_display_get_fd(w.m_display), POLLIN, 0}, {w.m_pasteFd, POLLIN, 0}};
        if (poll(fds, w.m_pasteFd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) {
            wl_display_cancel_read(w.m_display);
            break;
        }
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
            if (wl_display_read_events(w.m_display) < 0)
                break;
        } else {
            wl_display_cancel_read(w.m_display);
        }
        if (wl_display_dispatch_pending(w.m_display) < 0)
            break;
        if (w.m_pasteFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            readPaste(w);
    }
    std::fprintf(stderr, "wayland_witness: connection lost: %s\n",
                 std::strerror(wl_display_get_error(w.m_display)));
    return 1;
}
