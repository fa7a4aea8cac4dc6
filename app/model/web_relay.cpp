// SPDX-License-Identifier: MIT
#include "web_relay.h"

#include "pairing.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <algorithm>

namespace pointrelay::app {
namespace {

// The page's files: request path, resource, content type.
struct PageFile {
    const char* path;
    const char* resource;
    const char* type;
};
constexpr PageFile kFiles[] = {
    {"/", ":/web/index.html", "text/html; charset=utf-8"},
    {"/index.html", ":/web/index.html", "text/html; charset=utf-8"},
    {"/style.css", ":/web/style.css", "text/css; charset=utf-8"},
    {"/dist/remote.bundle.js", ":/web/dist/remote.bundle.js", "text/javascript; charset=utf-8"},
    {"/manifest.webmanifest", ":/web/manifest.webmanifest", "application/manifest+json"},
    {"/icon.svg", ":/web/icon.svg", "image/svg+xml"},
    {"/icon-192.png", ":/web/icon-192.png", "image/png"},
    {"/icon-512.png", ":/web/icon-512.png", "image/png"},
    // Browsers ask for it whatever the page declares; an ICO may hold a PNG, and they all
    // read a PNG served under this name.
    {"/favicon.ico", ":/web/icon-192.png", "image/png"},
};

// A daemon that stops reading gets no more than this queued for it; the page is closed then.
constexpr qint64 kMaxQueuedForDaemon = 1 << 20;
constexpr qint64 kMaxMessageBytes = 1 << 20;
constexpr int kCloseAnswerMs = 1000;
constexpr qsizetype kHelloFrameBytes = 4 + 54;

// WebSocket close codes the page tells apart.
constexpr auto kDaemonUnreachable = static_cast<QWebSocketProtocol::CloseCode>(4001);

// A Host header as a browser sends it for an address or a name, with an optional port.
bool plausibleHost(const QByteArray& host) {
    static const QRegularExpression pattern(
        QStringLiteral(R"(^([A-Za-z0-9.\-]+|\[[0-9A-Fa-f:.]+\])(:[0-9]{1,5})?$)"));
    return pattern.match(QString::fromLatin1(host)).hasMatch();
}

// Whether a Host header (already plausible) names this machine: localhost, its host name,
// its ".local" name or one of its addresses. A page of another site whose name was made to
// resolve to this machine (DNS rebinding) sends its own name and is refused.
bool namesThisMachine(const QByteArray& host) {
    QString name = QString::fromLatin1(host).toLower();
    if (name.startsWith(QLatin1Char('[')))
        name = name.mid(1, name.indexOf(QLatin1Char(']')) - 1);
    else if (name.count(QLatin1Char(':')) == 1)
        name = name.left(name.indexOf(QLatin1Char(':')));
    if (name.endsWith(QLatin1Char('.'))) // a fully qualified name may end in the root's dot
        name.chop(1);
    const QHostAddress address(name);
    if (!address.isNull()) {
        const QList<QHostAddress> own = QNetworkInterface::allAddresses();
        return std::any_of(own.begin(), own.end(),
                           [&](const QHostAddress& a) { return a.isEqual(address); });
    }
    // The configured name (which the pairing code shows) and the kernel's, which may differ.
    const QString systemName = QHostInfo::localHostName().toLower();
    for (const QString& own :
         {localHostName().toLower(), systemName, systemName.section(u'.', 0, 0)})
        if (!own.isEmpty() && (name == own || name == own + QLatin1String(".local")))
            return true;
    return name == QLatin1String("localhost");
}

// An address as people read it: IPv4 without its IPv6 mapping.
QString addressText(const QHostAddress& address) {
    bool v4 = false;
    const quint32 ipv4 = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(ipv4).toString() : address.toString();
}

// The value of header `name` in a request head (first occurrence, trimmed), or nothing.
std::optional<QByteArray> header(const QList<QByteArray>& lines, const QByteArray& name) {
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0 && lines[i].left(colon).trimmed().toLower() == name)
            return lines[i].mid(colon + 1).trimmed();
    }
    return std::nullopt;
}

} // namespace

WebRelay::WebRelay(QObject* parent, int headTimeoutMs)
    : QObject(parent), m_headTimeoutMs(headTimeoutMs), m_server(new QTcpServer(this)),
      m_webSockets(new QWebSocketServer(QStringLiteral("pointrelay"),
                                        QWebSocketServer::NonSecureMode, this)) {
    connect(m_server, &QTcpServer::newConnection, this, &WebRelay::accept);
    connect(m_webSockets, &QWebSocketServer::newConnection, this, [this] {
        while (QWebSocket* page = m_webSockets->nextPendingConnection())
            relay(page);
    });
    m_sinceRefusalLine.invalidate();
}

WebRelay::~WebRelay() {
    close();
}

WebRelay& WebRelay::shared() {
    // Goes with the application object, while the event loop's objects still exist.
    static auto* relay = new WebRelay(QCoreApplication::instance());
    return *relay;
}

bool WebRelay::listen(quint16 webPort, quint16 daemonPort, const QHostAddress& address) {
    close();
    m_daemonPort = daemonPort;
    if (!m_server->listen(address, webPort))
        return false;
    log(QStringLiteral("Web remote: listening on port %1").arg(m_server->serverPort()));
    emit listeningChanged();
    return true;
}

void WebRelay::close() {
    if (!m_server->isListening())
        return;
    m_server->close();
    for (const Waiting& waiting : m_waiting)
        waiting.socket->deleteLater();
    for (const Waiting& waiting : m_waiting)
        waiting.socket->abort();
    m_waiting.clear();
    // Sessions close their daemon connections as their pages go.
    for (QWebSocket* page : findChildren<QWebSocket*>())
        page->close(QWebSocketProtocol::CloseCodeGoingAway);
    log(QStringLiteral("Web remote: stopped"));
    emit listeningChanged();
}

bool WebRelay::isListening() const {
    return m_server->isListening();
}

quint16 WebRelay::port() const {
    return m_server->serverPort();
}

bool WebRelay::follow(bool on, quint16 webPort, quint16 daemonPort) {
    if (!on) {
        m_failed.reset();
        close();
        return true;
    }
    const std::pair ports{webPort, daemonPort};
    if ((isListening() && port() == webPort && m_daemonPort == daemonPort) || m_failed == ports)
        return m_failed != ports;
    if (listen(webPort, daemonPort)) {
        m_failed.reset();
        return true;
    }
    m_failed = ports;
    return false;
}

void WebRelay::accept() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        const QHostAddress address = socket->peerAddress();
        // Room first: the oldest waiting connection of this address, else the oldest of all.
        const auto sameAddress = [&](const Waiting& w) { return w.address == address; };
        if (std::count_if(m_waiting.begin(), m_waiting.end(), sameAddress) >= kMaxWaitingPerAddress)
            refuse(std::find_if(m_waiting.begin(), m_waiting.end(), sameAddress)->socket, {},
                   QStringLiteral("too many waiting connections from this address"));
        else if (m_waiting.size() >= size_t{kMaxWaiting})
            refuse(m_waiting.front().socket, {}, QStringLiteral("too many waiting connections"));
        m_waiting.push_back({socket, address});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readHead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket] { forget(socket); });
        QTimer::singleShot(m_headTimeoutMs, socket, [this, socket] {
            if (std::any_of(m_waiting.begin(), m_waiting.end(),
                            [&](const Waiting& w) { return w.socket == socket; }))
                refuse(socket, {}, QStringLiteral("no request in time"));
        });
    }
}

void WebRelay::forget(QTcpSocket* socket) {
    m_waiting.remove_if([&](const Waiting& w) { return w.socket == socket; });
}

// Reads the request head without taking it from the socket, so that an upgrade reaches the
// WebSocket server whole.
void WebRelay::readHead(QTcpSocket* socket) {
    const QByteArray head = socket->peek(kMaxHeadBytes + 1);
    const qsizetype end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (head.size() > kMaxHeadBytes)
            refuse(socket, "431 Request Header Fields Too Large",
                   QStringLiteral("request head over 8 KiB"));
        return;
    }
    const QList<QByteArray> lines = head.left(end).split('\n');
    const QList<QByteArray> request = lines.front().trimmed().split(' ');
    const QByteArray host = header(lines, "host").value_or(QByteArray());
    if (request.size() != 3 || !request[2].startsWith("HTTP/1.") || !plausibleHost(host))
        return refuse(socket, "400 Bad Request", QStringLiteral("malformed request"));
    if (!namesThisMachine(host))
        return refuse(socket, "403 Forbidden", QStringLiteral("Host names another machine"));
    if (request[0] != "GET")
        return refuse(socket, "405 Method Not Allowed", QStringLiteral("not a GET"));
    const QByteArray path = request[1].split('?').front();

    if (path == "/ws") {
        const bool upgrade = header(lines, "upgrade").value_or("").toLower() == "websocket";
        if (!upgrade)
            return refuse(socket, "400 Bad Request", QStringLiteral("/ws without an upgrade"));
        if (header(lines, "origin").value_or("").toLower() != "http://" + host.toLower())
            return refuse(socket, "403 Forbidden", QStringLiteral("Origin does not match Host"));
        if (m_upgraded.size() >= kMaxSessions)
            return refuse(socket, "503 Service Unavailable",
                          QStringLiteral("already %1 pages relayed").arg(kMaxSessions));
        forget(socket);
        socket->disconnect(this);
        disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // The WebSocket made from it owns it from now on, for the whole session (or until its
        // handshake fails). Its slot is free the moment the connection ends, whoever ends it:
        // a page that hangs up is gone, whether or not its objects are deleted yet.
        m_upgraded.insert(socket);
        const auto release = [this, socket] { m_upgraded.remove(socket); };
        connect(socket, &QTcpSocket::disconnected, this, release);
        connect(socket, &QObject::destroyed, this, release);
        m_webSockets->handleConnection(socket);
        return;
    }
    for (const PageFile& file : kFiles) {
        if (path == file.path) {
            QFile resource(QString::fromLatin1(file.resource));
            resource.open(QIODevice::ReadOnly);
            socket->read(end + 4);
            return respond(socket, "200 OK", file.type, resource.readAll(), host);
        }
    }
    refuse(socket, "404 Not Found", QStringLiteral("no such page"));
}

void WebRelay::respond(QTcpSocket* socket, const QByteArray& status, const QByteArray& type,
                       const QByteArray& body, const QByteArray& host) {
    forget(socket);
    socket->disconnect(this);
    QByteArray response = "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
                          "\r\nContent-Length: " + QByteArray::number(body.size()) +
                          "\r\nCache-Control: no-store"
                          "\r\nX-Content-Type-Options: nosniff"
                          "\r\nReferrer-Policy: no-referrer"
                          "\r\nX-Frame-Options: DENY";
    // The page may run its own script and style and open its own WebSocket, nothing else.
    if (!host.isEmpty())
        response +=
            "\r\nContent-Security-Policy: default-src 'none'; script-src 'self'; "
            "style-src 'self'; img-src 'self'; manifest-src 'self'; connect-src 'self' ws://" +
            host + "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
    response += "\r\nConnection: close\r\n\r\n" + body;
    socket->write(response);
    socket->disconnectFromHost();
}

void WebRelay::refuse(QTcpSocket* socket, const QByteArray& status, const QString& reason) {
    const QString address = addressText(socket->peerAddress());
    if (status.isEmpty()) {
        forget(socket);
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    } else {
        respond(socket, status, "text/plain; charset=utf-8", status + "\n");
    }
    // At most one refusal line a second: a flood of bad requests must not flood the log.
    ++m_refusalsUnlogged;
    if (m_sinceRefusalLine.isValid() && m_sinceRefusalLine.elapsed() < 1000)
        return;
    QString line = QStringLiteral("Web remote: refused %1: %2").arg(address, reason);
    if (m_refusalsUnlogged > 1)
        line += QStringLiteral(" (%1 refused since the last line)").arg(m_refusalsUnlogged);
    log(line);
    m_refusalsUnlogged = 0;
    m_sinceRefusalLine.start();
}

void WebRelay::relay(QWebSocket* page) {
    page->setParent(this);
    if (page->state() != QAbstractSocket::ConnectedState) { // hung up during its upgrade
        page->deleteLater();
        return;
    }
    page->setMaxAllowedIncomingMessageSize(kMaxMessageBytes);
    const QString address = addressText(page->peerAddress());
    log(QStringLiteral("Web remote: phone %1 connected").arg(address));

    auto* daemon = new QTcpSocket(this);
    auto pending = std::make_shared<QByteArray>(); // what the page sent before the connection
    // The relay reads none of the session, only the HELLO that opens it: which key the page
    // holds names its device after the browser.
    // Once it is whole the watch ends, so the session's frames pass this way no more.
    auto hello = std::make_shared<QByteArray>();
    auto watch = std::make_shared<QMetaObject::Connection>();
    const QString userAgent = QString::fromUtf8(page->request().rawHeader("User-Agent"));
    *watch = connect(page, &QWebSocket::binaryMessageReceived, this,
                     [this, hello, watch, userAgent](const QByteArray& bytes) {
                         hello->append(bytes.left(kHelloFrameBytes - hello->size()));
                         if (hello->size() < kHelloFrameBytes)
                             return;
                         // Copies first: the naming may run a keychain's event loop.
                         const QByteArray whole = *hello;
                         const QString agent = userAgent;
                         QObject::disconnect(*watch);
                         emit helloSent(whole, agent);
                     });
    connect(daemon, &QTcpSocket::connected, page, [daemon, pending] {
        daemon->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        daemon->write(*pending);
        pending->clear();
    });
    connect(page, &QWebSocket::binaryMessageReceived, daemon,
            [page, daemon, pending](const QByteArray& bytes) {
                if (daemon->state() != QAbstractSocket::ConnectedState)
                    pending->append(bytes);
                else
                    daemon->write(bytes);
                if (pending->size() + daemon->bytesToWrite() > kMaxQueuedForDaemon)
                    page->close(QWebSocketProtocol::CloseCodeTooMuchData);
            });
    connect(page, &QWebSocket::textMessageReceived, page,
            [page] { page->close(QWebSocketProtocol::CloseCodeDatatypeNotSupported); });
    connect(daemon, &QTcpSocket::readyRead, page,
            [page, daemon] { page->sendBinaryMessage(daemon->readAll()); });
    connect(daemon, &QTcpSocket::errorOccurred, page, [page, daemon] {
        // Before the connection: the daemon cannot be reached. After it: it hung up.
        page->close(daemon->state() == QAbstractSocket::ConnectedState ||
                            daemon->error() == QAbstractSocket::RemoteHostClosedError
                        ? QWebSocketProtocol::CloseCodeNormal
                        : kDaemonUnreachable);
    });
    connect(daemon, &QTcpSocket::disconnected, page, [page] {
        page->close(QWebSocketProtocol::CloseCodeNormal);
        // A page that does not answer the close within a second is cut off.
        QTimer::singleShot(kCloseAnswerMs, page, [page] { page->abort(); });
    });
    connect(page, &QWebSocket::disconnected, this, [this, page, daemon, address] {
        // The daemon gets what is still queued for it, then its connection is closed.
        if (daemon->state() != QAbstractSocket::ConnectedState) {
            daemon->abort();
            daemon->deleteLater();
        } else {
            connect(daemon, &QTcpSocket::disconnected, daemon, &QObject::deleteLater);
            daemon->disconnectFromHost();
        }
        log(QStringLiteral("Web remote: phone %1 disconnected").arg(address));
        page->deleteLater();
    });
    daemon->connectToHost(QHostAddress::LocalHost, m_daemonPort);
}

void WebRelay::log(const QString& line) {
    QTextStream(stderr) << line << "\n";
    emit logLine(line);
}

} // namespace pointrelay::app
