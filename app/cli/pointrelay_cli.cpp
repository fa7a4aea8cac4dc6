// SPDX-License-Identifier: MIT
// pointrelay: pairs and serves phones without a desktop session (SSH sessions, headless
// machines, scripts), on the same model as the tray application.
//
//   pointrelay serve [--port N] [--no-mdns]
//   pointrelay pair [--port N] [--png FILE]
//   pointrelay send [--host H] [--port N] [--psk-file F] [--plain] COMMAND ARGS...
#include "model/app_state.h"
#include "model/keychain_psk.h"
#include "model/pairing.h"
#include "model/port_check.h"
#include "model/qr_code.h"
#include "model/server_process_manager.h"
#include "phone_client.h"
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
    "Usage: pointrelay serve [--port N] [--no-mdns]\n"
    "       pointrelay pair [--port N] [--png FILE]\n"
    "       pointrelay send [--host H] [--port N] [--psk-file F] [--plain] COMMAND ARGS...\n"
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

void printPairing(quint16 port, const QString& key) {
    const PairingPayload payload = makePairingPayload(port, key, localNetworkInterfaces());
    if (const auto code = QrCode::encode(payload.toJson()))
        out() << code->toTerminalText(::isatty(STDOUT_FILENO) ? TerminalQrStyle::explicitColors
                                                              : TerminalQrStyle::plain);
    out() << pairingAddressLine(payload.host, port) << "\n"
          << pairingKeyHintLine(key) << "\n"
          << "Key store: " << KeychainPSK::shared().storeName() << "\n"
          << Qt::flush;
}

// ---- serve ----

int stopPipe[2] = {-1, -1};
void onStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &byte, 1);
}

int serve(const QStringList& args) {
    std::optional<quint16> port;
    bool mdns = true;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == "--port" && i + 1 < args.size() && (port = portArgument(args[++i])))
            continue;
        if (args[i] == "--no-mdns") {
            mdns = false;
            continue;
        }
        return usage();
    }

    TerminalAlerts alerts;
    AppState state(&alerts);
    if (port)
        state.setPort(*port); // for this run only; the stored settings stay as they are
    if (!mdns)
        state.setBonjourEnabled(false);
    state.start();
    if (!state.running())
        return 1;
    printPairing(state.port(), KeychainPSK::shared().load().value_or(QString()));

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
        if (args[i] == "--port" && i + 1 < args.size() && (port = portArgument(args[++i])))
            continue;
        return usage();
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
        printPairing(*port, *key);
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

std::optional<QString> readKey(const QString& file) {
    if (file.isEmpty())
        return KeychainPSK::shared().load();
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    return QString::fromUtf8(f.readLine()).trimmed();
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
        if (args[i] == "--host" && i + 1 < args.size())
            host = args[++i];
        else if (args[i] == "--port" && i + 1 < args.size() && (port = portArgument(args[++i])))
            continue;
        else if (args[i] == "--psk-file" && i + 1 < args.size())
            pskFile = args[++i];
        else if (args[i] == "--plain")
            plain = true;
        else
            break;
    }
    const QStringList rest = args.mid(i);
    if (rest.isEmpty())
        return usage();
    if (!port) {
        TerminalAlerts alerts;
        port = AppState(&alerts).port();
    }
    const std::optional<QString> key = readKey(pskFile);
    if (!key || key->isEmpty()) {
        QTextStream(stderr) << "pointrelay: no key (store one with `pointrelay serve`, or pass "
                               "--psk-file)\n";
        return 1;
    }

    client::PhoneClient phone;
    if (!phone.connect(host.toStdString(), *port) || !phone.handshake(key->toStdString())) {
        QTextStream(stderr) << "pointrelay: cannot reach pointrelayd at " << host << ":" << *port
                            << " with this key\n";
        return 1;
    }

    auto sendText = [&](const QByteArray& text) {
        return plain ? phone.sendText(text.toStdString())
                     : phone.sendSealedText(text.toStdString());
    };
    const QString verb = rest[0];
    const auto number = [&](qsizetype at) { return at < rest.size() ? rest[at].toInt() : 0; };
    bool sent = false;
    if (verb == "text" && rest.size() == 2) {
        sent = sendText(rest[1].toUtf8());
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
        sent = sendText(command(object));
    } else if (verb == "move" && rest.size() == 3) {
        sent = phone.sendMove(static_cast<int16_t>(number(1)), static_cast<int16_t>(number(2)));
    } else if (verb == "scroll" && rest.size() == 3) {
        sent = phone.sendScroll(static_cast<int16_t>(number(1)), static_cast<int16_t>(number(2)));
    } else if (verb == "click" && (rest.size() == 2 || rest.size() == 3) &&
               (rest[1] == "left" || rest[1] == "right")) {
        const uint8_t button = rest[1] == "left" ? 0 : 1;
        const QString how = rest.size() == 3 ? rest[2] : QString();
        if (how.isEmpty())
            sent = phone.sendClick(button, true) && phone.sendClick(button, false);
        else if (how == "down" || how == "up")
            sent = phone.sendClick(button, how == "down");
    } else {
        return usage();
    }

    // The daemon has handled the command once it answers a PING sent after it; print the
    // acknowledgement a copy or paste brings back.
    std::vector<uint8_t> body;
    if (!sent || !phone.sendPing())
        return 1;
    while (phone.recvFrame(body, 5000)) {
        if (body.size() == 1 && body[0] == 0xFF)
            return 0;
        if (!body.empty() && body[0] == 0x10)
            out() << QString::fromUtf8(reinterpret_cast<const char*>(body.data()) + 1,
                                       static_cast<qsizetype>(body.size() - 1))
                  << "\n"
                  << Qt::flush;
    }
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
    if (args[0] == "serve")
        return serve(rest);
    if (args[0] == "pair")
        return pair(rest);
    if (args[0] == "send")
        return send(rest);
    return usage();
}
