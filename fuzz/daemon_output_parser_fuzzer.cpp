// SPDX-License-Identifier: MIT
// The input is the daemon's merged output, fed to the application's line parser whole and in
// chunks of 1 to 23 bytes whose lengths come from the input's own bytes: a pipe read may end
// anywhere, so both must publish the same states and echo the same lines, in the same order;
// the count never goes below 0 and the last line is one trimmed line.
#include "model/daemon_output_parser.h"

#include <QStringList>
#include <cstdlib>

using pointrelay::app::ServerState;

struct Run {
    ServerState state;
    QStringList seen; // every state published ("nan" reads the same) and line echoed, in order
    pointrelay::app::DaemonOutputParser parser{
        [this](const ServerState& s) {
            seen << QString::asprintf("%lld %.17g %.17g %d ", s.connectedClients, s.moveFPS,
                                      s.scrollFPS, int(s.inputRoute)) +
                        s.lastLog;
        },
        [this](const QString& line) { seen << line; }};
    void feed(QByteArrayView chunk) {
        parser.feed(chunk, state);
        if (state.connectedClients < 0 || state.lastLog != state.lastLog.trimmed() ||
            state.lastLog.contains(u'\n') || state.lastLog.contains(u'\r'))
            std::abort();
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView output(data, static_cast<qsizetype>(size));
    Run whole, chunked;
    whole.feed(output);
    for (qsizetype at = 0, length = 0; at < output.size(); at += length) {
        length = std::min<qsizetype>(1 + (data[at] * 7 + at) % 23, output.size() - at);
        chunked.feed(output.sliced(at, length));
    }
    if (chunked.seen != whole.seen || chunked.state.lastLog != whole.state.lastLog)
        std::abort(); // chunking changed what was published or echoed
    return 0;
}
