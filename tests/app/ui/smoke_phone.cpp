// SPDX-License-Identifier: MIT
// A phone that stays connected, for the tray application's smoke run: connects to the daemon
// on loopback with the first device's key from the user's key store, answers its keepalive PINGs,
// and hangs up after the given number of seconds. Usage: smoke_phone PORT SECONDS. Exit 0 after a
// full stay, 1 otherwise.

#include "model/device_list.h"
#include "model/keychain_psk.h"
#include "phone_client.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    using namespace pointrelay::app;
    const auto devices =
        DeviceList(KeychainPSK::shared(), nullptr).load().value_or(QList<Device>{});
    const std::optional<QString> key =
        devices.isEmpty() ? std::nullopt : std::optional(devices.first().key);
    pointrelay::client::PhoneClient phone;
    if (argc != 3 || !key || !phone.connect("127.0.0.1", uint16_t(std::atoi(argv[1]))) ||
        !phone.handshake(key->toStdString())) {
        std::fprintf(stderr,
                     "usage: smoke_phone PORT SECONDS, with a key stored and a daemon there\n");
        return 1;
    }
    // A read that times out is a quiet moment; the daemon's PINGs must be answered.
    std::vector<uint8_t> body;
    for (QDeadlineTimer stay(std::chrono::seconds(std::atoi(argv[2]))); !stay.hasExpired();) {
        if (phone.recvFrame(body, 200) && body == std::vector<uint8_t>{0xFE} && !phone.sendPong()) {
            std::fprintf(stderr, "smoke_phone: connection lost\n");
            return 1;
        }
    }
    phone.close();
    return 0;
}
