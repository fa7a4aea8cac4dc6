// SPDX-License-Identifier: MIT
#pragma once

#include "input/linux/injection_backend.h"
#include "input/linux/xkb_keymap.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct wl_display;
struct wl_keyboard;
struct wl_registry;
struct wl_seat;
struct org_kde_kwin_fake_input;
struct zwlr_data_control_manager_v1;
struct zwlr_data_control_device_v1;
struct zwlr_data_control_offer_v1;
struct zwlr_data_control_source_v1;

namespace pointrelay::input {

/// KDE Plasma's KWin through its fake input (org_kde_kwin_fake_input): relative motion,
/// buttons, axes and keys by evdev code. KWin offers the interface, without a dialog, only to
/// a program whose installed desktop file names it (the package installs one for pointrelayd).
/// Keys go where the seat's keymap (read as a Wayland client) puts their keysym, with Shift
/// for its second level; text outside that keymap is put on the clipboard through data
/// control (zwlr_data_control_v1) and pasted with Control+V, after which the person's own
/// clipboard text is offered again.
class KwinBackend final : public InjectionBackend {
public:
    /// \brief Connects to the compositor named by WAYLAND_DISPLAY; nothing (\a whyNot says
    /// why) when there is none or it offers this program no fake input.
    static std::unique_ptr<KwinBackend> connect(std::string& whyNot);
    ~KwinBackend() override;

    std::string_view name() const override { return "Wayland (KWin fake input)"; }
    bool start() override;
    void motion(double dx, double dy) override;
    void button(MouseButton button, bool down) override;
    void wheel(int vertical, int horizontal) override;
    void key(Keysym keysym, bool down) override;
    void text(std::u32string_view text) override;
    void endOfBatch() override;
    int pollFd() const override;
    bool service() override;

    // Wayland callbacks.
    void onGlobal(wl_registry* registry, uint32_t name, const char* interface, uint32_t version);
    void onKeymap(uint32_t format, int fd, uint32_t size);
    void onOffer(zwlr_data_control_offer_v1* offer);
    void onOfferType(zwlr_data_control_offer_v1* offer, const char* mimeType);
    void onSelection(zwlr_data_control_offer_v1* offer);
    void onSend(zwlr_data_control_source_v1* source, const char* mimeType, int fd);
    void onCancelled(zwlr_data_control_source_v1* source);

private:
    struct Source {
        zwlr_data_control_source_v1* source = nullptr;
        std::string text;
    };

    explicit KwinBackend(wl_display* display);
    void keyCode(uint32_t evdevCode, bool down);
    bool dispatchFor(std::chrono::milliseconds limit, const std::function<bool()>& done);
    bool flush();
    bool paste(const std::u32string& text);
    std::optional<std::string> readSelection();
    bool offer(std::string text);

    wl_display* m_display;
    wl_registry* m_registry = nullptr;
    wl_seat* m_seat = nullptr;
    wl_keyboard* m_keyboard = nullptr;
    org_kde_kwin_fake_input* m_fakeInput = nullptr;
    std::optional<XkbKeymap> m_keymap;

    zwlr_data_control_manager_v1* m_dataControl = nullptr;
    zwlr_data_control_device_v1* m_dataDevice = nullptr;
    zwlr_data_control_offer_v1* m_pendingOffer = nullptr; ///< announced, not yet the selection
    std::vector<std::string> m_pendingTypes;
    zwlr_data_control_offer_v1* m_selection = nullptr; ///< the clipboard now (not ours)
    std::vector<std::string> m_selectionTypes;
    Source m_offered;          ///< what our selection offers now
    uint64_t m_sendsAsked = 0; ///< paste requests served so far
    bool m_clipboardLogged = false;
};

} // namespace pointrelay::input
