// SPDX-License-Identifier: MIT
// The input is the daemon's merged output. It is fed to the application's line parser whole and
// in chunks of 1 to 23 bytes whose lengths come from the input's own bytes: a pipe read may end
// anywhere, so both must publish the same states and echo the same lines, in the same order.
#include "model/daemon_output_parser.h"

#include <QStringList>
#include <cstdio>
#include <cstdlib>

namespace {

using pointrelay::app::ServerState;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "daemon output parser fuzzer: %s\n", what);
        std::abort();
    }
}

// A state as text; "nan" reads the same however it was published.
QString describe(const ServerState& s) {
    return QString::asprintf("%lld %.17g %.17g %d ", s.connectedClients, s.moveFPS, s.scrollFPS,
                             int(s.inputRoute)) +
           s.lastLog;
}

struct Run {
    ServerState state;
    QStringList seen; // every state published and every line echoed, in order
    pointrelay::app::DaemonOutputParser parser{
        [this](const ServerState& s) { seen << describe(s); },
        [this](const QString& line) { seen << line; }};
    void feed(QByteArrayView chunk) {
        parser.feed(chunk, state);
        require(state.connectedClients >= 0 && !state.lastLog.contains(u'\n') &&
                    !state.lastLog.contains(u'\r') && state.lastLog == state.lastLog.trimmed(),
                "a count below 0, or a last line that is not one trimmed line");
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView output(data, static_cast<qsizetype>(size));
    Run whole, chunked;
    whole.feed(output);
    for (qsizetype at = 0, length = 0; at < output.size(); at += length) {
        length = std::min<qsizetype>(1 + (data[at] * 7 + at) % 23, output.size() - at);
        chunked.feed(output.sliced(at, length));
    }
    require(chunked.seen == whole.seen && describe(chunked.state) == describe(whole.state),
            "chunking changed what was published or echoed");
    return 0;
}
