// SPDX-License-Identifier: MIT
// A phone that stays connected, for the tray application's smoke run: connects to the daemon
// on loopback with the key from the user's key store, answers its keepalive PINGs, and hangs
// up after the given number of seconds.
// Usage: smoke_phone PORT SECONDS. Exit 0 after a full stay, 1 when the connection fails.

#include "model/keychain_psk.h"
#include "phone_client.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: smoke_phone PORT SECONDS\n");
        return 2;
    }
    const auto port = static_cast<uint16_t>(args[1].toUInt());
    const int seconds = args[2].toInt();
    const std::optional<QString> key = pointrelay::app::KeychainPSK::shared().load();
    if (!key || key->isEmpty()) {
        std::fprintf(stderr, "smoke_phone: no key in the key store\n");
        return 1;
    }
    pointrelay::client::PhoneClient phone;
    if (!phone.connect("127.0.0.1", port) || !phone.handshake(key->toStdString())) {
        std::fprintf(stderr, "smoke_phone: cannot connect to port %u\n", port);
        return 1;
    }
    std::printf("smoke_phone: connected\n");
    std::fflush(stdout);
    QDeadlineTimer stay(std::chrono::seconds{seconds});
    std::vector<uint8_t> body;
    while (!stay.hasExpired()) {
        // A read that times out is a quiet second; the daemon's PINGs must be answered.
        if (phone.recvFrame(body, 200) && body.size() == 1 && body[0] == 0xFE &&
            !phone.sendPong()) {
            std::fprintf(stderr, "smoke_phone: connection lost\n");
            return 1;
        }
    }
    phone.close();
    return 0;
}
