// SPDX-License-Identifier: MIT
// pointrelay: pairs and serves phones without a desktop session (SSH sessions, headless
// machines, scripts), on the same model as the tray application.
//
//   pointrelay serve [--port N] [--no-mdns] [--web]   (--web: the browser remote, this run)
//   pointrelay pair [--port N] [--png FILE]
//   pointrelay send [--host H] [--port N] [--psk-file F] [--plain] COMMAND ARGS...
#include "core/frame.h"
#include "model/app_state.h"
#include "model/keychain_psk.h"
#include "model/pairing.h"
#include "model/port_check.h"
#include "model/qr_code.h"
#include "model/server_process_manager.h"
#include "model/web_relay.h"
#include "phone_client.h"
#include "pointrelay_version.h"
#include "terminal_alerts.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTextStream>
#include <csignal>
#include <unistd.h>

using namespace pointrelay;
using namespace pointrelay::app;

namespace {

constexpr char kUsage[] =
    "Usage: pointrelay serve [--port N] [--no-mdns] [--web]\n"
    "       pointrelay pair [--port N] [--png FILE]\n"
    "       pointrelay send [--host H] [--port N] [--psk-file F] [--plain] COMMAND ARGS...\n"
    "       pointrelay --version | --help\n"
    "\n"
    "send commands:\n"
    "  text STRING             type the text\n"
    "  sys ACTION [DIR|N]      a system action (copy, paste, arrow left, fkey 5, ...)\n"
    "  move DX DY              move the pointer (x3 on the desktop)\n"
    "  scroll DX DY            scroll (x40 pixels)\n"
    "  click left|right [down|up]   press and release, or one transition\n";

int usage() {
    QTextStream(stderr) << kUsage;
    return 2;
}

/// A refusal of the command line: what was wrong, then the usage.
int refuse(const QString& what) {
    QTextStream(stderr) << "pointrelay: " << what << "\n\n";
    return usage();
}

QTextStream& out() {
    static QTextStream stream(stdout);
    return stream;
}

std::optional<quint16> portArgument(const QString& text) {
    bool ok = false;
    const int port = text.toInt(&ok);
    if (!ok || port < AppState::kLowestPort || port > AppState::kHighestPort)
        return std::nullopt;
    return static_cast<quint16>(port);
}

const QString kPortRange = QStringLiteral("--port takes a port from %1 to %2, not \"%3\"");

QString badPort(const QString& text) {
    return kPortRange.arg(AppState::kLowestPort).arg(AppState::kHighestPort).arg(text);
}

/// A whole number that a frame's 16-bit field carries.
std::optional<int16_t> frameValue(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < INT16_MIN || value > INT16_MAX)
        return std::nullopt;
    return static_cast<int16_t>(value);
}

void printCode(const QByteArray& text) {
    if (const auto code = QrCode::encode(text))
        out() << code->toTerminalText(::isatty(STDOUT_FILENO) ? TerminalQrStyle::explicitColors
                                                              : TerminalQrStyle::plain);
}

// The phone application's code, and with the browser remote on, the page's code after it.
void printPairing(quint16 port, const QString& key, std::optional<quint16> webPort) {
    const PairingPayload payload = makePairingPayload(port, key, localNetworkInterfaces());
    printCode(payload.toJson());
    out() << pairingAddressLine(payload.host, port) << "\n"
          << pairingKeyHintLine(key) << "\n"
          << "Key store: " << KeychainPSK::shared().storeName() << "\n";
    if (webPort) {
        printCode(webRemoteUrl(payload.host, *webPort, key).toUtf8());
        out() << webRemoteAddressLine(payload.host, *webPort) << "\n";
    }
    out() << Qt::flush;
}

// ---- serve ----

int stopPipe[2] = {-1, -1};
void onStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &byte, 1);
}

int serve(const QStringList& args) {
    std::optional<quint16> port;
    bool mdns = true, web = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == "--port" && i + 1 < args.size()) {
            if (!(port = portArgument(args[++i])))
                return refuse(badPort(args[i]));
            continue;
        }
        if (args[i] == "--no-mdns") {
            mdns = false;
            continue;
        }
        if (args[i] == "--web") {
            web = true;
            continue;
        }
        return refuse(QStringLiteral("serve does not take \"%1\"").arg(args[i]));
    }

    TerminalAlerts alerts;
    AppState state(&alerts);
    if (port)
        state.setPort(*port); // for this run only; the stored settings stay as they are
    if (!mdns)
        state.setBonjourEnabled(false);
    if (web)
        state.setWebRemote(true); // for this run only, as the port
    // Whatever can fail is checked before the daemon starts, so a refusal leaves nothing
    // running.
    if (state.webRemote() && !state.settleWebPort(state.port()))
        return 1; // the reason was given
    state.start();
    if (!state.running())
        return 1;
    const bool serving = WebRelay::shared().isListening();
    if (state.webRemote() && !serving) {
        ServerProcessManager::shared().stop();
        return 1; // the reason was given
    }
    printPairing(state.port(), KeychainPSK::shared().load().value_or(QString()),
                 serving ? std::optional(state.webPort()) : std::nullopt);

    // One status line per change of what a user watches.
    QString lastStatus;
    auto status = [&] {
        const QString line = QStringLiteral("%1  clients: %2  move: %3/s  scroll: %4/s")
                                 .arg(state.running() ? "running" : "stopped")
                                 .arg(state.connectedClients())
                                 .arg(state.moveFPS(), 0, 'f', 1)
                                 .arg(state.scrollFPS(), 0, 'f', 1);
        if (line != lastStatus)
            out() << line << "\n" << Qt::flush;
        lastStatus = line;
        // The model may still show a report queued before the start; the manager knows
        // whether the daemon it started is still there.
        if (!ServerProcessManager::shared().state().running)
            QCoreApplication::exit(1);
    };
    QObject::connect(&state, &AppState::runningChanged, status);
    QObject::connect(&state, &AppState::connectedClientsChanged, status);
    QObject::connect(&state, &AppState::moveFPSChanged, status);
    QObject::connect(&state, &AppState::scrollFPSChanged, status);

    // Ctrl-C and SIGTERM reach the event loop through a pipe, not inside the handler.
    if (::pipe(stopPipe) != 0)
        return 1;
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    QSocketNotifier notifier(stopPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        notifier.setEnabled(false);
        QObject::disconnect(&state, nullptr, nullptr, nullptr);
        ServerProcessManager::shared().stop();
        PortCheck::shared().waitForPortFree(state.port(), std::chrono::duration<double>(1.0));
        out() << "stopped\n" << Qt::flush;
        QCoreApplication::exit(0);
    });
    return QCoreApplication::exec();
}

// ---- pair ----

int pair(const QStringList& args) {
    QString png;
    std::optional<quint16> port;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == "--png" && i + 1 < args.size()) {
            png = args[++i];
            continue;
        }
        if (args[i] == "--port" && i + 1 < args.size()) {
            if (!(port = portArgument(args[++i])))
                return refuse(badPort(args[i]));
            continue;
        }
        return refuse(QStringLiteral("pair does not take \"%1\"").arg(args[i]));
    }
    TerminalAlerts alerts;
    AppState state(&alerts);
    // The key the code carries is the one `serve` will use: made and stored here when there
    // is none yet, never an empty one a phone could not connect with.
    const std::optional<QString> key = state.ensureKey(&alerts);
    if (!key)
        return 1;
    if (!port)
        port = state.port();
    if (png.isEmpty()) {
        printPairing(*port, *key,
                     state.webRemote() ? std::optional(state.webPort()) : std::nullopt);
        return 0;
    }
    const PairingPayload payload = makePairingPayload(*port, key, localNetworkInterfaces());
    const auto image = makeQRImage(payload.toJson());
    if (!image || !saveQRImagePng(*image, png)) {
        QTextStream(stderr) << "pointrelay: cannot write " << png << "\n";
        return 1;
    }
    out() << pairingAddressLine(payload.host, *port) << "\n" << Qt::flush;
    return 0;
}

// ---- send ----

/// The key from the file's first line; nothing, after saying why, when it cannot be read.
std::optional<QString> readKeyFile(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        QTextStream(stderr) << "pointrelay: cannot read the key file " << file << ": "
                            << f.errorString() << "\n";
        return std::nullopt;
    }
    const QString key = QString::fromUtf8(f.readLine()).trimmed();
    if (key.isEmpty())
        QTextStream(stderr) << "pointrelay: the key file " << file << " holds no key\n";
    return key.isEmpty() ? std::nullopt : std::optional(key);
}

QByteArray command(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

int send(const QStringList& args) {
    QString host = QStringLiteral("127.0.0.1");
    QString pskFile;
    bool plain = false;
    std::optional<quint16> port;
    qsizetype i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--host" && i + 1 < args.size()) {
            host = args[++i];
        } else if (args[i] == "--port" && i + 1 < args.size()) {
            if (!(port = portArgument(args[++i])))
                return refuse(badPort(args[i]));
        } else if (args[i] == "--psk-file" && i + 1 < args.size()) {
            pskFile = args[++i];
        } else if (args[i] == "--plain") {
            plain = true;
        } else {
            break;
        }
    }
    QStringList rest = args.mid(i);
    // "--" ends the options, before the command or after it: `send move -- -10 -20`.
    if (!rest.isEmpty() && rest[0] == "--")
        rest.removeFirst();
    if (rest.size() > 2 && rest[1] == "--")
        rest.removeAt(1);
    if (rest.isEmpty())
        return refuse(QStringLiteral("send needs a command"));

    // Everything the command line says is checked before a connection is made.
    const QString verb = rest[0];
    QByteArray text; // what a text command sends
    std::optional<int16_t> x, y;
    std::optional<bool> clickDown; // nothing: press and release
    if (verb == "text" && rest.size() == 2) {
        text = rest[1].toUtf8();
        // One frame: the type byte, the text and, sealed, the 16-byte tag.
        const qsizetype limit = qsizetype(core::kMaxFrameBody) - 1 - (plain ? 0 : 16);
        if (text.size() > limit)
            return refuse(QStringLiteral("the text is %1 bytes; one command carries at most %2")
                              .arg(text.size())
                              .arg(limit));
    } else if (verb == "sys" && (rest.size() == 2 || rest.size() == 3)) {
        QJsonObject object{{"type", "sys"}, {"action", rest[1]}};
        if (rest.size() == 3) {
            bool isNumber = false;
            const int value = rest[2].toInt(&isNumber);
            if (!isNumber)
                object.insert("dir", rest[2]);
            else if (rest[1] == "switchSpace")
                object.insert("dir", value);
            else
                object.insert("n", value);
        }
        text = command(object);
    } else if ((verb == "move" || verb == "scroll") && rest.size() == 3) {
        x = frameValue(rest[1]);
        y = frameValue(rest[2]);
        if (!x || !y)
            return refuse(QStringLiteral("%1 takes two whole numbers from %2 to %3, not \"%4 %5\"")
                              .arg(verb)
                              .arg(INT16_MIN)
                              .arg(INT16_MAX)
                              .arg(rest[1], rest[2]));
    } else if (verb == "click" && (rest.size() == 2 || rest.size() == 3)) {
        const QString how = rest.size() == 3 ? rest[2] : QString();
        if ((rest[1] != "left" && rest[1] != "right") ||
            (!how.isEmpty() && how != "down" && how != "up"))
            return refuse(QStringLiteral("click takes left or right, then down or up (or nothing "
                                         "for both), not \"%1\"")
                              .arg(rest.mid(1).join(u' ')));
        if (!how.isEmpty())
            clickDown = how == "down";
    } else {
        return refuse(QStringLiteral("unknown command or wrong number of arguments: \"%1\"")
                          .arg(rest.join(u' ')));
    }

    if (!port) {
        TerminalAlerts alerts;
        port = AppState(&alerts).port();
    }
    const std::optional<QString> key =
        pskFile.isEmpty() ? KeychainPSK::shared().load() : readKeyFile(pskFile);
    if (!key || key->isEmpty()) {
        if (pskFile.isEmpty())
            QTextStream(stderr) << "pointrelay: no key (store one with `pointrelay serve`, or "
                                   "pass --psk-file)\n";
        return 1;
    }

    client::PhoneClient phone;
    if (!phone.connect(host.toStdString(), *port) || !phone.handshake(key->toStdString())) {
        QTextStream(stderr) << "pointrelay: cannot reach pointrelayd at " << host << ":" << *port
                            << " with this key\n";
        return 1;
    }

    bool sent = false;
    if (verb == "text" || verb == "sys") {
        sent =
            plain ? phone.sendText(text.toStdString()) : phone.sendSealedText(text.toStdString());
    } else if (verb == "move") {
        sent = phone.sendMove(*x, *y);
    } else if (verb == "scroll") {
        sent = phone.sendScroll(*x, *y);
    } else { // click
        const uint8_t button = rest[1] == "left" ? 0 : 1;
        sent = clickDown ? phone.sendClick(button, *clickDown)
                         : phone.sendClick(button, true) && phone.sendClick(button, false);
    }

    // The daemon has handled the command once it answers a PING sent after it; print the
    // acknowledgement a copy or paste brings back.
    std::vector<uint8_t> body;
    if (!sent || !phone.sendPing()) {
        QTextStream(stderr) << "pointrelay: the connection to pointrelayd was lost\n";
        return 1;
    }
    while (phone.recvFrame(body, 5000)) {
        if (body.size() == 1 && body[0] == 0xFF)
            return 0;
        if (!body.empty() && body[0] == 0x10)
            out() << QString::fromUtf8(reinterpret_cast<const char*>(body.data()) + 1,
                                       static_cast<qsizetype>(body.size() - 1))
                  << "\n"
                  << Qt::flush;
    }
    QTextStream(stderr) << "pointrelay: pointrelayd did not confirm the command\n";
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("PointrelayServer"));
    QCoreApplication::setOrganizationName(QStringLiteral("pointrelay"));
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usage();
    const QStringList rest = args.mid(1);
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        out() << kUsage << Qt::flush;
        return 0;
    }
    if (args[0] == "--version") {
        out() << "pointrelay " POINTRELAY_VERSION "\n" << Qt::flush;
        return 0;
    }
    if (args[0] == "serve")
        return serve(rest);
    if (args[0] == "pair")
        return pair(rest);
    if (args[0] == "send")
        return send(rest);
    return refuse(QStringLiteral("unknown command \"%1\"").arg(args[0]));
}
