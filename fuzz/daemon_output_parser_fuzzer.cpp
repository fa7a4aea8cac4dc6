// SPDX-License-Identifier: MIT
// The input is the daemon's merged output. It is fed to the application's line parser whole,
// in chunks whose lengths come from the input's own bytes, and (when short) byte by byte: a
// pipe read may end anywhere, so all three must publish the same states and echo the same
// lines.
#include "model/daemon_output_parser.h"

#include <QByteArrayView>
#include <QStringList>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using pointrelay::app::DaemonOutputParser;
using pointrelay::app::ServerState;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "daemon output parser fuzzer: %s\n", what);
        std::abort();
    }
}

bool sameRate(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b)); // "nan" is a number to QString too
}

bool sameState(const ServerState& a, const ServerState& b) {
    return a.running == b.running && a.connectedClients == b.connectedClients &&
           sameRate(a.moveFPS, b.moveFPS) && sameRate(a.scrollFPS, b.scrollFPS) &&
           a.lastLog == b.lastLog;
}

struct Run {
    ServerState state;
    std::vector<ServerState> published;
    QStringList echoed;
    DaemonOutputParser parser{[this](const ServerState& s) { published.push_back(s); },
                              [this](const QString& line) { echoed << line; }};

    void feed(QByteArrayView chunk) {
        parser.feed(chunk, state);
        require(state.connectedClients >= 0, "the client count went below 0");
        require(!state.lastLog.contains(u'\n') && !state.lastLog.contains(u'\r') &&
                    state.lastLog == state.lastLog.trimmed(),
                "the last line is not one trimmed line");
    }
};

void requireSame(const Run& a, const Run& b) {
    require(a.published.size() == b.published.size(), "chunking changed the number of states");
    for (size_t i = 0; i < a.published.size(); ++i)
        require(sameState(a.published[i], b.published[i]), "chunking changed a state");
    require(sameState(a.state, b.state), "chunking changed the final state");
    require(a.echoed == b.echoed, "chunking changed the echoed lines");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView output(data, static_cast<qsizetype>(size));

    Run whole;
    whole.feed(output);

    Run chunked;
    for (qsizetype at = 0; at < output.size();) {
        const qsizetype length = 1 + (data[at] * 7 + at) % 23;
        chunked.feed(output.sliced(at, std::min(length, output.size() - at)));
        at += length;
    }
    requireSame(whole, chunked);

    if (size <= 512) {
        Run bytewise;
        for (qsizetype at = 0; at < output.size(); ++at)
            bytewise.feed(output.sliced(at, 1));
        requireSame(whole, bytewise);
    }

    // A restart forgets the unfinished line and character: the next line stands alone.
    const qint64 clients = whole.state.connectedClients;
    whole.parser.reset();
    whole.feed("Client connected\n");
    require(whole.state.lastLog == QLatin1StringView("Client connected") &&
                whole.state.connectedClients == clients + 1,
            "a line after a reset is not read on its own");
    return 0;
}
