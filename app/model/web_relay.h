// SPDX-License-Identifier: MIT
#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>
#include <list>
#include <optional>

class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

namespace pointrelay::app {

/// The browser remote's server on the LAN: one TCP port that serves the remote page's files
/// (built into the program) and hands `GET /ws` upgrades to a WebSocket server; each page's
/// WebSocket is relayed byte for byte to its own TCP connection to the daemon on 127.0.0.1,
/// and a close on either side closes the other. The daemon checks the key as for any phone.
///
/// Guarded like the daemon: a request head of at most 8 KiB within 5 s; only GET, of the
/// page's own files (no part of a request reaches the file system); only a Host that names
/// this machine; an upgrade only when Origin names the Host the page was loaded from; at most 8
/// connections per address, 32 in all, waiting for their request (the oldest closed to make room);
/// at most 16 relayed pages. The daemon sees every page coming from 127.0.0.1, so the relay logs
/// each phone's address.
class WebRelay : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxHeadBytes = 8 * 1024;
    static constexpr int kMaxWaitingPerAddress = 8;
    static constexpr int kMaxWaiting = 32;
    static constexpr int kMaxSessions = 16;
    static constexpr quint16 kDefaultPort = 9001;

    /// `headTimeoutMs`: how long a connection may take to send its request head.
    explicit WebRelay(QObject* parent = nullptr, int headTimeoutMs = 5000);
    ~WebRelay() override;

    /// The one relay of this process, which every model of the settings drives.
    static WebRelay& shared();

    /// \brief Serves on `webPort` of `address`, relaying to the daemon's `daemonPort`. False,
    /// with nothing listening, when the port cannot be had.
    bool listen(quint16 webPort, quint16 daemonPort,
                const QHostAddress& address = QHostAddress::Any);
    /// Stops serving; relayed pages are told the relay is going away (close code 1001).
    void close();
    bool isListening() const;
    quint16 port() const;
    quint16 daemonPort() const { return m_daemonPort; }
    /// Pages relayed or being upgraded; a slot is free again as soon as either side closes.
    int sessionCount() const { return static_cast<int>(m_upgraded.size()); }

    /// \brief Listens on these ports when `on` (and not already), else closes. False when it
    /// should listen and cannot; a failed choice is tried once until the choice changes.
    bool follow(bool on, quint16 webPort, quint16 daemonPort);

signals:
    /// It started or stopped serving.
    void listeningChanged();
    /// One line for the log (also written to standard error): a phone's arrival and
    /// departure with its address, refusals.
    void logLine(const QString& line);
    /// A page's first frame (the HELLO that proves its key, with the frame's length: 58
    /// bytes), with the User-Agent of its upgrade request.
    void helloSent(const QByteArray& hello, const QString& userAgent);

private:
    struct Waiting {
        QTcpSocket* socket;
        QHostAddress address;
    };

    void accept();
    void readHead(QTcpSocket* socket);
    void forget(QTcpSocket* socket);
    void respond(QTcpSocket* socket, const QByteArray& status, const QByteArray& type,
                 const QByteArray& body, const QByteArray& host = {});
    void refuse(QTcpSocket* socket, const QByteArray& status, const QString& reason);
    void relay(QWebSocket* page);
    void log(const QString& line);

    const int m_headTimeoutMs;
    QTcpServer* m_server;
    QWebSocketServer* m_webSockets;
    quint16 m_daemonPort = 0;
    std::list<Waiting> m_waiting; ///< oldest first
    QSet<QTcpSocket*> m_upgraded; ///< handed to the WebSocket server and still open
    std::optional<std::pair<quint16, quint16>> m_failed; ///< the ports that could not be had
    QElapsedTimer m_sinceRefusalLine;
    int m_refusalsUnlogged = 0;
};

} // namespace pointrelay::app
