// SPDX-License-Identifier: MIT
// Text messages, as a phone sends them (cut from the input by FuzzedDataProvider's
// random-length strings: an input without backslashes is one message), through the input
// layer's command handling into a recording sink whose time never sleeps, and every field
// reader over each message. No message makes a log line of its own, typed text is the message
// itself, the only acknowledgements are copy's and paste's, numbers are finite and string
// fields are quoted parts of the message.
#include "core/frame.h"
#include "input/system_actions.h"
#include "input/text_commands.h"
#include "support/recording_sink.h"

#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace pointrelay;

namespace {

// UTF-16 back to UTF-8, written independently of the input layer's decoder.
std::string toUtf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        const int more = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
        out += char(more ? (0xFF << (7 - more) & 0xFF) | cp >> 6 * more : cp);
        for (int k = more - 1; k >= 0; --k)
            out += char(0x80 | (cp >> 6 * k & 0x3F));
    }
    return out;
}

// The recording sink behind a check, as each key is posted, that typed text is the message.
struct CheckedSink : input::EventSink {
    input::Point pointerLocation() override { return sink.pointerLocation(); }
    void warpPointer(input::Point to) override { sink.warpPointer(to); }
    void postMouse(const input::MouseEvent& event) override { sink.postMouse(event); }
    void postScroll(const input::ScrollEvent& event) override { sink.postScroll(event); }
    void postKey(const input::KeyEvent& event) override {
        if (event.text && toUtf8(*event.text) != message)
            std::abort();
        sink.postKey(event);
    }
    input::HidOpenResult openHidSystem() override { return sink.openHidSystem(); }
    int32_t postAuxKey(uint32_t connection, input::AuxKeyType type, bool down) override {
        return sink.postAuxKey(connection, type, down);
    }
    test::RecordingSink sink;
    std::string message;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckedSink checked;
    test::RecordingSink& sink = checked.sink;
    input::PointerInjector pointer{checked, sink};
    input::Keyboard keyboard{checked, sink};
    input::SystemActions system{checked, sink, keyboard, [] {}};
    input::TextCommands commands{pointer, keyboard, system, sink};
    int fds[2]; // the far end collects acknowledgements; a full buffer drops one, never blocks
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        std::abort();
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    FuzzedDataProvider provider(data, size);
    while (provider.remaining_bytes() > 0) {
        const std::string message = provider.ConsumeRandomLengthString(size);
        sink.now += 0.25 * static_cast<double>(message.size() % 4); // quick and slow clicks
        checked.message = message;
        commands.handleTextMessage(fds[0], message);
        for (const std::string& entry : sink.take())
            if (entry.find_first_of("\r\n") != std::string::npos)
                std::abort();
        for (std::vector<uint8_t> body; core::recvFrame(fds[1], body, 0);)
            if (const std::string ack(body.begin(), body.end());
                ack != input::ackFrameBody("copy") && ack != input::ackFrameBody("paste"))
                std::abort();
        for (const std::string_view key : {"\"dx\"", "\"n\"", "\"dir\"", "\"action\"", ""}) {
            const std::string text = input::findStringField(message, key);
            if (!std::isfinite(input::findNumberField(message, key)) ||
                text.find('"') != std::string::npos || message.find(text) == std::string::npos)
                std::abort();
            input::findIntField(message, key);
        }
    }
    ::close(fds[0]), ::close(fds[1]);
    return 0;
}
