// SPDX-License-Identifier: MIT
// The browser remote's relay: the latency from a page's send (one WebSocket message carrying a
// MOVE frame) through the relay to the daemon's input layer, beside the same frames written
// straight over TCP by a native phone in the same run, and through a bare byte relay on the
// same event loop (the least any relay in the application costs). The sessions run in-process
// (runClientSession on a loopback listener), the relay on the main thread's event loop as in
// the applications, the phones on a thread of their own.
#include "core/handshake.h"
#include "core/session.h"
#include "figure.h"
#include "latency.h"
#include "model/web_relay.h"
#include "phone_client.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <string>
#include <thread>

namespace pointrelay::bench {
namespace {

constexpr char kPsk[] = "3e1a3e1a3e1a3e1a3e1a3e1a3e1a3e1a3e1a3e1a3e1a3e1a3e1a3e1a3e1a3e1a";

// A loopback listener whose every connection runs a session into `input`.
class SessionListener {
public:
    explicit SessionListener(core::InputHandler& input) {
        m_config.psk = kPsk;
        m_context.input = &input;
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), size);
        ::listen(m_fd, 4);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
        m_thread = std::thread([this] {
            sockaddr_in peer{};
            socklen_t size = sizeof peer;
            for (int fd; (fd = ::accept(m_fd, reinterpret_cast<sockaddr*>(&peer), &size)) >= 0;)
                m_sessions.emplace_back(
                    [this, fd, peer] { core::runClientSession(fd, peer, m_config, m_context); });
        });
    }
    ~SessionListener() {
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        for (std::thread& session : m_sessions)
            session.join();
        ::close(m_fd);
    }
    uint16_t port = 0;

private:
    core::ServerConfig m_config;
    core::SessionContext m_context;
    int m_fd = -1;
    std::thread m_thread;
    std::vector<std::thread> m_sessions;
};

// The least of a page's WebSocket: the upgrade, masked binary messages out, messages in.
class WebSocketPhone {
public:
    explicit WebSocketPhone(uint16_t port) {
        m_fd = test_connect(port);
        const std::string host = "127.0.0.1:" + std::to_string(port);
        const std::string request = "GET /ws HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" +
                                    host +
                                    "\r\nUpgrade: websocket\r\nConnection: Upgrade"
                                    "\r\nSec-WebSocket-Key: cG9pbnRyZWxheWJlbmNoIQ=="
                                    "\r\nSec-WebSocket-Version: 13\r\n\r\n";
        sendAll(m_fd, reinterpret_cast<const uint8_t*>(request.data()), request.size());
        std::string head;
        for (uint8_t c = 0; head.find("\r\n\r\n") == std::string::npos && recvAll(m_fd, &c, 1);)
            head += static_cast<char>(c);
        upgraded = head.starts_with("HTTP/1.1 101");
    }
    ~WebSocketPhone() { ::close(m_fd); }

    bool send(const std::vector<uint8_t>& payload) {
        std::vector<uint8_t> frame{0x82, static_cast<uint8_t>(0x80 | payload.size()), 0, 0, 0, 0};
        frame.insert(frame.end(), payload.begin(), payload.end()); // a zero mask: as it is
        return payload.size() < 126 && sendAll(m_fd, frame.data(), frame.size());
    }
    std::vector<uint8_t> receive() {
        uint8_t head[2];
        if (!recvAll(m_fd, head, 2) || (head[1] & 0x7F) >= 126)
            return {};
        std::vector<uint8_t> payload(head[1] & 0x7F);
        return recvAll(m_fd, payload.data(), payload.size()) ? payload : std::vector<uint8_t>{};
    }
    // The phone's HELLO and the daemon's WELCOME, carried as messages.
    bool handshake() {
        std::vector<uint8_t> hello;
        core::appendFrame(hello, core::buildHello(kPsk, core::HandshakeNonce{7}));
        if (!send(hello))
            return false;
        std::vector<uint8_t> welcome;
        while (welcome.size() < 4 + core::kWelcomeSize) {
            const auto part = receive();
            if (part.empty())
                return false;
            welcome.insert(welcome.end(), part.begin(), part.end());
        }
        return welcome[4] == static_cast<uint8_t>(core::FrameType::Welcome);
    }

    bool upgraded = false;

private:
    static int test_connect(uint16_t port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        return fd;
    }
    int m_fd = -1;
};

// Relays bytes between each connection and the daemon, nothing else.
class ByteRelay {
public:
    explicit ByteRelay(uint16_t daemonPort) {
        m_server.listen(QHostAddress::LocalHost);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this, daemonPort] {
            QTcpSocket* in = m_server.nextPendingConnection();
            auto* out = new QTcpSocket(in);
            out->connectToHost(QHostAddress::LocalHost, daemonPort);
            out->waitForConnected();
            for (QTcpSocket* socket : {in, out})
                socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            QObject::connect(in, &QTcpSocket::readyRead, [in, out] { out->write(in->readAll()); });
            QObject::connect(out, &QTcpSocket::readyRead, [in, out] { in->write(out->readAll()); });
        });
    }
    uint16_t port() const { return m_server.serverPort(); }

private:
    QTcpServer m_server;
};

} // namespace
} // namespace pointrelay::bench

int main(int argc, char** argv) {
    using namespace pointrelay;
    using namespace pointrelay::bench;
    QCoreApplication application(argc, argv);
    StampingInput input;
    SessionListener daemon(input);
    app::WebRelay relay;
    if (!relay.listen(0, daemon.port, QHostAddress::LocalHost))
        return 1;
    ByteRelay bytes(daemon.port);
    Percentiles native, bare, relayed;
    bool ok = false;
    std::thread phones([&] {
        const auto frame = moveFrame();
        for (auto [port, result] : {std::pair{daemon.port, &native}, {bytes.port(), &bare}}) {
            client::PhoneClient phone;
            if (phone.connect("127.0.0.1", port) && phone.handshake(kPsk))
                *result = moveLatency(input, [&] { return phone.sendRaw(frame); });
        }
        WebSocketPhone page(relay.port());
        if (page.upgraded && page.handshake()) {
            relayed = moveLatency(input, [&] { return page.send(frame); });
            ok = true;
        }
        QMetaObject::invokeMethod(&application, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    phones.join();
    heading("Browser remote: a page's move through the relay");
    if (!ok) {
        std::printf("  the relay did not carry the page's session\n");
        return 1;
    }
    print({"Move, page send -> input layer, p50",
           relayed.p50,
           "us",
           "native TCP phone, same frames, p50",
           native.p50,
           "",
           {}});
    print({"Move, page send -> input layer, p99", relayed.p99, "us",
           "native TCP phone, same frames, p99", native.p99, "ratio <= 1.5",
           relayed.p99 <= 1.5 * native.p99});
    print({"Move, page send -> input layer, p50",
           relayed.p50,
           "us",
           "bare byte relay on the same event loop, p50",
           bare.p50,
           "",
           {}});
    print({"Move, page send -> input layer, p99",
           relayed.p99,
           "us",
           "bare byte relay on the same event loop, p99",
           bare.p99,
           "",
           {}});
    return figuresStatus();
}
