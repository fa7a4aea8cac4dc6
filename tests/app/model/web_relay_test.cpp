// SPDX-License-Identifier: MIT
// The browser remote's relay on loopback, with a stand-in daemon: the page and its headers,
// closes passed on, the requests it refuses, and a page's HELLO and browser naming its device.
#include "core/handshake.h"
#include "model/device_list.h"
#include "model/web_relay.h"
#include "support/qt_wait.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <gtest/gtest.h>

namespace pointrelay::app {
namespace {

using test::waitUntil;

struct WebRelayTest : ::testing::Test {
    WebRelayTest() : relay(nullptr, 1000) {
        daemon.listen(QHostAddress::LocalHost);
        QObject::connect(&daemon, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = daemon.nextPendingConnection())
                phones.push_back(s);
        });
        EXPECT_TRUE(relay.listen(0, daemon.serverPort(), QHostAddress::LocalHost));
    }

    // A raw request; what came back once the relay closed (or 2 s passed).
    QByteArray request(const QByteArray& bytes) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, relay.port());
        socket.write(bytes);
        waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 2000);
        return socket.readAll();
    }
    QByteArray get(const QByteArray& path, const QByteArray& extra = {}) {
        return request("GET " + path + " HTTP/1.1\r\nHost: localhost:9001\r\n" + extra + "\r\n");
    }
    // A page's WebSocket, opened with `origin`.
    std::unique_ptr<QWebSocket> openPage(const QString& origin) {
        auto page = std::make_unique<QWebSocket>(origin);
        page->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(relay.port())));
        waitUntil([&] { return page->state() != QAbstractSocket::ConnectingState; });
        return page;
    }
    QString pageOrigin() const { return QStringLiteral("http://127.0.0.1:%1").arg(relay.port()); }

    QTcpServer daemon;
    std::vector<QTcpSocket*> phones; ///< the daemon's ends of relayed pages
    WebRelay relay;
};

TEST_F(WebRelayTest, ServesThePageWithItsSecurityHeadersAndNothingElse) {
    const QByteArray page = get("/?from=qr");
    for (const char* part :
         {"HTTP/1.1 200 OK\r\n", "Content-Type: text/html; charset=utf-8\r\n",
          "Cache-Control: no-store\r\n",
          "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
          "img-src 'self'; manifest-src 'self'; connect-src 'self' ws://localhost:9001;",
          "<script src=\"dist/remote.bundle.js\""})
        EXPECT_TRUE(page.contains(part)) << part;
    // (The bundle's type the browser test sees: with nosniff, Chromium runs no other.)
    EXPECT_TRUE(get("/favicon.ico").startsWith("HTTP/1.1 200 OK\r\nContent-Type: image/png"));
    EXPECT_TRUE(get("/manifest.webmanifest").contains("\"src\": \"icon-512.png\""));

    for (const auto& [request, status] : std::vector<std::pair<QByteArray, QByteArray>>{
             {"GET /../CMakeLists.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "404"},
             {"GET /web/index.html HTTP/1.1\r\nHost: [::1]:9001\r\n\r\n", "404"},
             {"POST / HTTP/1.1\r\nHost: localhost\r\n\r\n", "405"},
             // A name that another site made resolve here (DNS rebinding), Origin and all.
             {"GET / HTTP/1.1\r\nHost: evil.example:9001\r\n\r\n", "403"},
             {"GET /ws HTTP/1.1\r\nHost: evil.example:9001\r\nOrigin: http://evil.example:9001"
              "\r\nUpgrade: websocket\r\n\r\n",
              "403"},
             {"GET / HTTP/1.1\r\nHost: a b\r\n\r\n", "400"},
             {"GET / HTTP/1.1\r\nHost: x\r\nX: " + QByteArray(9000, 'a') + "\r\n\r\n", "431"},
             {"GET /ws HTTP/1.1\r\nHost: localhost\r\n\r\n", "400"}}) // no upgrade
        EXPECT_TRUE(this->request(request).startsWith("HTTP/1.1 " + status))
            << request.left(40).toStdString();
    EXPECT_EQ(request("GET / HTTP/1.1\r\n"), QByteArray()); // an unfinished head: closed in time
}

// (Bytes relayed both ways, and the daemon's hang-up passed on as the normal close that the page
// takes for a refused key, the browser test sees.)
TEST_F(WebRelayTest, APageThatGoesTakesItsDaemonConnectionAndAnUnreachableDaemonIsTold) {
    auto page = openPage(pageOrigin());
    ASSERT_TRUE(waitUntil([&] { return phones.size() == 1 && relay.sessionCount() == 1; }));
    page->close();
    EXPECT_TRUE(waitUntil([&] { return phones[0]->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(waitUntil([&] { return relay.sessionCount() == 0; }));

    daemon.close(); // nobody listens: the page hears that the daemon cannot be reached
    auto unreached = openPage(pageOrigin());
    ASSERT_TRUE(waitUntil([&] { return unreached->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(static_cast<int>(unreached->closeCode()), 4001); // outside the enum's range
}

// The HELLO (made by the daemon's own code, in two messages) proves which key the page holds.
TEST_F(WebRelayTest, APagesHelloAndUserAgentTellItsDevice) {
    const QString key = QString("0123456789abcdef").repeated(4);
    const QList<Device> devices{{"a", QString(64, 'f'), {}, {}, false}, {"b", key, {}, {}, false}};
    std::optional<QString> proved, name;
    int hellos = 0;
    QObject::connect(&relay, &WebRelay::helloSent, [&](const QByteArray& hello, const QString& ua) {
        hellos += hello.size() == 58 ? 1 : 100;
        proved = DeviceList::keyProvedBy(hello, devices);
        name = DeviceList::nameForUserAgent(ua);
    });
    QWebSocket page(pageOrigin());
    QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(relay.port())));
    request.setRawHeader("User-Agent", "Mozilla/5.0 (Linux; Android 14) Chrome/131.0 Safari/537");
    page.open(request);
    ASSERT_TRUE(waitUntil([&] { return page.state() == QAbstractSocket::ConnectedState; }));
    const core::HelloFrame body = core::buildHello(key.toStdString(), core::HandshakeNonce{7});
    QByteArray frame = QByteArray::fromHex("00000036") +
                       QByteArray(reinterpret_cast<const char*>(body.data()), body.size());
    page.sendBinaryMessage(frame.left(9));
    page.sendBinaryMessage(frame.mid(9) + "more"); // the session that follows is not looked at
    ASSERT_TRUE(waitUntil([&] { return proved.has_value(); }));
    page.sendBinaryMessage("more");
    ASSERT_TRUE(waitUntil([&] { return phones.size() == 1 && phones[0]->bytesAvailable() > 62; }));
    EXPECT_EQ(hellos, 1);
    EXPECT_EQ(name, "Chrome on Android");
    EXPECT_EQ(*proved, key);
    frame[40] = char(frame[40] ^ 1); // a MAC with one bit flipped proves nothing
    EXPECT_EQ(DeviceList::keyProvedBy(frame, devices), std::nullopt);
}

TEST_F(WebRelayTest, RefusesForeignOriginsAndBoundsWaitingConnectionsAndPages) {
    EXPECT_NE(openPage(QStringLiteral("http://evil.example"))->state(),
              QAbstractSocket::ConnectedState);
    EXPECT_TRUE(phones.empty());

    // Nine silent connections from one address: the first is closed to make room.
    std::vector<QTcpSocket> silent(9);
    for (QTcpSocket& socket : silent) {
        socket.bind(QHostAddress("127.0.0.7"));
        socket.connectToHost(QHostAddress::LocalHost, relay.port());
        waitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; });
    }
    EXPECT_TRUE(waitUntil([&] { return silent[0].state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(silent[1].state(), QAbstractSocket::ConnectedState);

    std::vector<std::unique_ptr<QWebSocket>> pages;
    for (int i = 0; i < WebRelay::kMaxSessions; ++i)
        pages.push_back(openPage(pageOrigin()));
    EXPECT_NE(openPage(pageOrigin())->state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(relay.sessionCount(), WebRelay::kMaxSessions);
    pages.clear();

    // A page's slot is free as soon as it goes: 100 visits, and 100 upgrades that hang up at
    // once, leave room for the next page.
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(waitUntil([&] { return relay.sessionCount() == 0; })) << i;
        ASSERT_EQ(openPage(pageOrigin())->state(), QAbstractSocket::ConnectedState) << i;
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, relay.port());
        raw.write("GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(relay.port()) +
                  "\r\nOrigin: " + pageOrigin().toLatin1() +
                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: "
                  "13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
        ASSERT_TRUE(waitUntil([&] { return raw.peek(12) == "HTTP/1.1 101"; })) << i;
    }
    EXPECT_TRUE(waitUntil([&] { return relay.sessionCount() == 0; }));
    EXPECT_EQ(openPage(pageOrigin())->state(), QAbstractSocket::ConnectedState);
}

} // namespace
} // namespace pointrelay::app
