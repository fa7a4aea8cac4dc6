// SPDX-License-Identifier: MIT
// Text messages, as a phone sends them (cut from the input by FuzzedDataProvider's
// random-length strings: an input without backslashes is one message), through the input
// layer's command handling into a recording sink whose time never sleeps, and every field
// reader over each message. No message makes a log line of its own, the only acknowledgements are
// copy's and paste's, numbers are finite and string fields are quoted parts of the message.
#include "core/frame.h"
#include "input/system_actions.h"
#include "input/text_commands.h"
#include "support/recording_sink.h"
#include "support/socket_pair.h"

#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>

using namespace pointrelay;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    test::RecordingSink sink;
    input::PointerInjector pointer{sink, sink};
    input::Keyboard keyboard{sink, sink};
    input::SystemActions system{sink, sink, keyboard, [] {}};
    input::TextCommands commands{pointer, keyboard, system, sink};
    // The far end collects acknowledgements; a full buffer drops one, never blocks.
    test::SocketPair link;
    if (link.writer() < 0 || ::fcntl(link.reader(), F_SETFL, O_NONBLOCK) != 0)
        std::abort();
    FuzzedDataProvider provider(data, size);
    while (provider.remaining_bytes() > 0) {
        const std::string message = provider.ConsumeRandomLengthString(size);
        sink.now += 0.25 * static_cast<double>(message.size() % 4); // quick and slow clicks
        commands.handleTextMessage(link.reader(), message);
        for (const std::string& entry : sink.take())
            if (entry.find_first_of("\r\n") != std::string::npos)
                std::abort();
        for (std::vector<uint8_t> body; core::recvFrame(link.writer(), body, 0);)
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
    return 0;
}
