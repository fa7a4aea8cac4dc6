// SPDX-License-Identifier: MIT
// A Wayland client that maps one fullscreen window and prints on standard output, one line per
// event, what the compositor delivers to it. Usage: wayland_witness (with WAYLAND_DISPLAY set;
// runs until killed or disconnected). Lines:
//   ready                      the window is on an output
//   wl_seat.EVENT ARGS, wl_pointer.EVENT ARGS, wl_keyboard.EVENT ARGS
//                              every seat, pointer and keyboard event with its numbers (fixed
//                              point with two decimals, "-" for anything else), e.g.
//                              "wl_pointer.motion 1234 20.00 30.00", "wl_pointer.button 5 6 272 1"
//   key MODS KEYSYM            a key press under the compositor's keymap (MODS "none" or e.g.
//                              "shift+ctrl"; KEYSYM the xkb name), and "text UTF8" for what it
//                              types
//   selection | selection none the clipboard changed
//   copy witness               Control+C made the witness the clipboard's owner, with the text
//                              "witness"
//   paste TEXT                 the clipboard's text on Control+V ("\n" and "\\" escaped)
#include "xdg-shell-client-protocol.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

namespace {

wl_display* display;
wl_compositor* compositor;
wl_shm* shm;
xdg_wm_base* wmBase;
wl_seat* seat;
wl_data_device_manager* dataDevices;
wl_data_device* dataDevice;
wl_data_source* source; // the clipboard's text while the witness owns it
uint32_t keySerial;
wl_surface* surface;
wl_buffer* buffer;
wl_pointer* pointer;
wl_keyboard* keyboard;
int width = 640, height = 480;
bool ready = false;
xkb_context* xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
xkb_state* keys;
wl_proxy* selection;
std::map<wl_proxy*, std::string> textType; // the text MIME type each clipboard offer has

void emit(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int dispatch(const void*, void* target, uint32_t, const wl_message* message, wl_argument* a);

// Every event of every object goes through dispatch(), by interface and event name.
template <typename T>
T* watched(T* proxy) {
    wl_proxy_add_dispatcher(reinterpret_cast<wl_proxy*>(proxy), dispatch, nullptr, nullptr);
    return proxy;
}

// Binds the first of each global the witness needs, and every output (so that the surface
// hears it enters one), at the highest version the witness knows.
void global(wl_registry* registry, uint32_t name, std::string_view interface, uint32_t version) {
    const auto bind = [&]<typename T>(T*& to, const wl_interface& type, uint32_t highest) {
        if (interface == type.name && !to)
            to = watched(static_cast<T*>(
                wl_registry_bind(registry, name, &type, std::min(version, highest))));
    };
    wl_output* output = nullptr;
    bind(compositor, wl_compositor_interface, 4);
    bind(shm, wl_shm_interface, 1);
    bind(wmBase, xdg_wm_base_interface, 1);
    bind(output, wl_output_interface, 1);
    bind(seat, wl_seat_interface, 8);
    bind(dataDevices, wl_data_device_manager_interface, 3);
}

// A fresh buffer of the configured size (a new memfd is all zeros: black) on every configure.
void attachBuffer() {
    const int stride = width * 4, size = stride * height;
    const int fd = memfd_create("wayland-witness", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, size) != 0)
        return std::perror("wayland_witness: shm buffer"), std::exit(1);
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, size);
    if (buffer)
        wl_buffer_destroy(buffer);
    buffer = wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    wl_surface_attach(surface, buffer, 0, 0);
    wl_surface_damage(surface, 0, 0, width, height);
    wl_surface_commit(surface);
}

void takeKeymap(int fd, uint32_t size) {
    void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (text == MAP_FAILED)
        return;
    xkb_keymap* keymap = xkb_keymap_new_from_buffer(
        xkb, static_cast<const char*>(text), strnlen(static_cast<const char*>(text), size),
        XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    munmap(text, size);
    if (keymap) {
        xkb_state_unref(keys);
        keys = xkb_state_new(keymap);
        xkb_keymap_unref(keymap);
    }
}

// Owns the clipboard, as an application's Copy does.
void copy() {
    if (!dataDevice)
        return emit("copy-unavailable");
    if (source)
        wl_data_source_destroy(source);
    source = watched(wl_data_device_manager_create_data_source(dataDevices));
    wl_data_source_offer(source, "text/plain;charset=utf-8");
    wl_data_device_set_selection(dataDevice, source, keySerial);
    emit("copy witness");
}

// Reads the clipboard's text through a pipe, the compositor relaying it from its owner.
void paste() {
    if (source)
        return emit("paste witness"); // its own: no need to ask the compositor
    int fds[2];
    if (!selection || !textType.contains(selection) || pipe2(fds, O_CLOEXEC) != 0)
        return emit("paste-unavailable");
    wl_data_offer_receive(reinterpret_cast<wl_data_offer*>(selection), textType[selection].c_str(),
                          fds[1]);
    close(fds[1]);
    wl_display_flush(display);
    std::string text = "paste ";
    char chunk[4096];
    ssize_t n = 0;
    for (pollfd ready{fds[0], POLLIN, 0};
         poll(&ready, 1, 5000) > 0 && (n = read(fds[0], chunk, sizeof chunk)) > 0;)
        for (const char c : std::string_view(chunk, size_t(n)))
            text += c == '\n' ? "\\n" : c == '\\' ? "\\\\" : std::string(1, c);
    close(fds[0]);
    emit(text);
}

void keyPressed(uint32_t code) {
    if (!keys)
        return;
    std::string held;
    for (const auto& [xkbName, name] :
         {std::pair{XKB_MOD_NAME_SHIFT, "shift"}, std::pair{XKB_MOD_NAME_CTRL, "ctrl"},
          std::pair{XKB_MOD_NAME_ALT, "alt"}, std::pair{XKB_MOD_NAME_CAPS, "caps"}}) {
        if (xkb_state_mod_name_is_active(keys, xkbName, XKB_STATE_MODS_EFFECTIVE) > 0)
            held.append(held.empty() ? "" : "+").append(name);
    }
    const xkb_keysym_t keysym = xkb_state_key_get_one_sym(keys, code + 8);
    char name[64], text[64];
    xkb_keysym_get_name(keysym, name, sizeof name);
    emit("key " + (held.empty() ? "none" : held) + " " + name);
    if (held.find("ctrl") != std::string::npos) {
        if (keysym == XKB_KEY_v || keysym == XKB_KEY_V)
            paste();
        if (keysym == XKB_KEY_c || keysym == XKB_KEY_C)
            copy();
    } else if (xkb_state_key_get_utf8(keys, code + 8, text, sizeof text) > 0 &&
               static_cast<unsigned char>(text[0]) >= 0x20 && text[0] != 0x7f) {
        emit(std::string("text ") + text);
    }
}

// The seat's devices come and go, e.g. when a virtual pointer or keyboard is made or ends.
template <typename T>
void follow(T*& device, bool present, T* (*get)(wl_seat*), void (*release)(T*)) {
    if (present && !device)
        device = watched(get(seat));
    else if (!present && device)
        release(std::exchange(device, nullptr));
}

int dispatch(const void*, void* target, uint32_t, const wl_message* message, wl_argument* a) {
    auto* proxy = static_cast<wl_proxy*>(target);
    const std::string_view interface = wl_proxy_get_class(proxy), event = message->name;
    if (interface == "wl_registry" && event == "global") {
        global(reinterpret_cast<wl_registry*>(proxy), a[0].u, a[1].s, a[2].u);
    } else if (interface == "xdg_wm_base") {
        xdg_wm_base_pong(wmBase, a[0].u);
    } else if (interface == "xdg_surface") {
        xdg_surface_ack_configure(reinterpret_cast<xdg_surface*>(proxy), a[0].u);
        attachBuffer();
    } else if (interface == "xdg_toplevel") {
        if (event == "close")
            std::exit(0);
        if (a[0].i > 0 && a[1].i > 0)
            width = a[0].i, height = a[1].i;
    } else if (interface == "wl_surface" && event == "enter" && !std::exchange(ready, true)) {
        emit("ready");
    } else if (interface == "wl_data_device" && event == "data_offer") {
        watched(reinterpret_cast<wl_proxy*>(a[0].o));
    } else if (interface == "wl_data_device" && event == "selection") {
        if (selection)
            wl_proxy_destroy(selection);
        selection = reinterpret_cast<wl_proxy*>(a[0].o);
        emit(selection ? "selection" : "selection none");
    } else if (interface == "wl_data_source" && event == "send") {
        [[maybe_unused]] const ssize_t n = write(a[1].h, "witness", 7);
        close(a[1].h);
    } else if (interface == "wl_data_source" && event == "cancelled") {
        wl_data_source_destroy(reinterpret_cast<wl_data_source*>(proxy));
        if (proxy == reinterpret_cast<wl_proxy*>(source))
            source = nullptr;
    } else if (interface == "wl_data_offer" && event == "offer") {
        const std::string_view type = a[0].s;
        if (type == "text/plain;charset=utf-8" ||
            (type == "text/plain" && !textType.contains(proxy)))
            textType[proxy] = type;
    } else if (interface == "wl_seat" || interface == "wl_pointer" || interface == "wl_keyboard") {
        if (event == "capabilities") {
            follow(pointer, a[0].u & WL_SEAT_CAPABILITY_POINTER, wl_seat_get_pointer,
                   wl_pointer_release);
            follow(keyboard, a[0].u & WL_SEAT_CAPABILITY_KEYBOARD, wl_seat_get_keyboard,
                   wl_keyboard_release);
        } else if (event == "keymap") {
            takeKeymap(a[1].h, a[2].u);
        } else if (event == "modifiers" && keys) {
            xkb_state_update_mask(keys, a[1].u, a[2].u, a[3].u, 0, 0, a[4].u);
        } else if (interface == "wl_keyboard" && event == "key" && a[3].u == 1) {
            keySerial = a[0].u;
            keyPressed(a[2].u);
        }
        std::string line = std::string(interface) + "." + std::string(event);
        for (int i = 0; const char type : std::string_view(message->signature)) {
            if (std::isdigit(static_cast<unsigned char>(type)) || type == '?')
                continue;
            char value[32] = " -";
            if (type == 'i' || type == 'u')
                std::snprintf(value, sizeof value, type == 'i' ? " %d" : " %u", a[i].i);
            else if (type == 'f')
                std::snprintf(value, sizeof value, " %.2f", wl_fixed_to_double(a[i].f));
            line += value;
            ++i;
        }
        emit(line);
    }
    return 0;
}

} // namespace

int main() {
    if ((display = wl_display_connect(nullptr))) {
        watched(wl_display_get_registry(display));
        wl_display_roundtrip(display);
    }
    if (!compositor || !shm || !wmBase || !seat) {
        std::fprintf(stderr, "wayland_witness: no Wayland display, or no compositor, shm, "
                             "xdg_wm_base or seat on it\n");
        return 1;
    }
    if (dataDevices)
        dataDevice = watched(wl_data_device_manager_get_data_device(dataDevices, seat));
    surface = watched(wl_compositor_create_surface(compositor));
    xdg_toplevel* toplevel =
        watched(xdg_surface_get_toplevel(watched(xdg_wm_base_get_xdg_surface(wmBase, surface))));
    xdg_toplevel_set_title(toplevel, "wayland_witness");
    xdg_toplevel_set_app_id(toplevel, "wayland_witness");
    xdg_toplevel_set_fullscreen(toplevel, nullptr);
    wl_surface_commit(surface);
    while (wl_display_dispatch(display) >= 0) {
    }
    std::fprintf(stderr, "wayland_witness: connection lost\n");
    return 1;
}
