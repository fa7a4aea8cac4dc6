// SPDX-License-Identifier: MIT
// pointrelay: pairs and serves phones without a desktop session (SSH sessions, headless
// machines, scripts), on the same model as the tray application.
//
//   pointrelay serve [--port N] [--no-mdns] [--web] [--web-port N]   (for this run)
//   pointrelay pair [--port N] [--png FILE] [--name NAME]
//   pointrelay devices [remove NAME | rename OLD NEW]
//   pointrelay send [--host H] [--port N] [--psk-file F] [--plain] COMMAND ARGS...
#include "core/frame.h"
#include "model/app_state.h"
#include "model/keychain_psk.h"
#include "model/pairing.h"
#include "model/port_check.h"
#include "model/qr_code.h"
#include "model/server_process_manager.h"
#include "model/translation.h"
#include "model/web_relay.h"
#include "phone_client.h"
#include "pointrelay_version.h"
#include "terminal_alerts.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTextStream>
#include <arpa/inet.h>
#include <csignal>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace pointrelay;
using namespace pointrelay::app;

namespace {

// The command's texts: Japanese, as the tray application's; English where the locale is.
struct Cli {
    Q_DECLARE_TR_FUNCTIONS(pointrelay)
};

// The system actions the daemon runs, and what each takes after its name.
struct SystemAction {
    const char* name;
    enum Argument { none, direction, side, functionKey } argument = none;
};
constexpr SystemAction kSystemActions[] = {{"copy"},
                                           {"paste"},
                                           {"cut"},
                                           {"undo"},
                                           {"redo"},
                                           {"find"},
                                           {"selectAll"},
                                           {"save"},
                                           {"refresh"},
                                           {"newTab"},
                                           {"closeTab"},
                                           {"reopenTab"},
                                           {"focusURL"},
                                           {"fullscreen"},
                                           {"enter"},
                                           {"enterPad"},
                                           {"escape"},
                                           {"space"},
                                           {"delete"},
                                           {"deleteForward"},
                                           {"home"},
                                           {"end"},
                                           {"pageUp"},
                                           {"pageDown"},
                                           {"missionControl"},
                                           {"appExpose"},
                                           {"toggleDock"},
                                           {"emojiPicker"},
                                           {"arrow", SystemAction::direction},
                                           {"shiftArrow", SystemAction::direction},
                                           {"switchSpace", SystemAction::side},
                                           {"fkey", SystemAction::functionKey},
                                           {"macFKey", SystemAction::functionKey}};

const char* argumentText(SystemAction::Argument argument) {
    switch (argument) {
    case SystemAction::direction:
        return " up|down|left|right";
    case SystemAction::side:
        return " -1|1";
    case SystemAction::functionKey:
        return " 1-12";
    case SystemAction::none:
        break;
    }
    return "";
}

// Every action with what it takes, wrapped for a terminal.
QString systemActionList(const QString& indent) {
    QString list, line = indent;
    for (const SystemAction& action : kSystemActions) {
        const QString word = QString::fromLatin1(action.name) + argumentText(action.argument);
        if (line.size() + word.size() > 78) {
            list += line.trimmed().isEmpty() ? QString() : line + "\n";
            line = indent;
        }
        line += (line == indent ? QString() : QStringLiteral(", ")) + word;
    }
    return list + line + "\n";
}

QString usageText() {
    return Cli::tr("使い方: pointrelay serve [--port N] [--no-mdns] [--web] [--web-port N]\n"
                   "        pointrelay pair [--port N] [--png FILE] [--name NAME]\n"
                   "        pointrelay devices [remove NAME | rename OLD NEW]\n"
                   "        pointrelay send [--host H] [--port N] [--psk-file F] [--plain] COMMAND "
                   "ARGS...\n"
                   "        pointrelay --version | --help\n"
                   "\n"
                   "send のコマンド:\n"
                   "  text STRING             テキストをそのまま入力\n"
                   "  sys ACTION [ARG]        システム操作（次のいずれか）:\n"
                   "%1  move DX DY              ポインタを動かす（デスクトップでは 3 倍）\n"
                   "  scroll DX DY            スクロール（1 あたり 40 ピクセル）\n"
                   "  click left|right [down|up]   押して離す、またはどちらか一方\n")
        .arg(systemActionList(QStringLiteral("      ")));
}

int usage() {
    QTextStream(stderr) << usageText();
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

QString badPort(const QString& text, const char* option = "--port") {
    return Cli::tr("%1 には %2 から %3 のポートを指定してください（\"%4\" は使えません）")
        .arg(QLatin1StringView(option))
        .arg(AppState::kLowestPort)
        .arg(AppState::kHighestPort)
        .arg(text);
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

// The phone application's code, and with the browser remote on, the page's code after it,
// each under a line that says what it is for.
void printPairing(quint16 port, const QString& key, std::optional<quint16> webPort) {
    const PairingPayload payload = makePairingPayload(port, key, localNetworkInterfaces());
    out() << Cli::tr("アプリでペアリング（アプリで読み取る）:") << "\n";
    printCode(payload.toJson());
    out() << pairingAddressLine(payload.host, port) << "\n"
          << pairingKeyHintLine(key) << "\n"
          << Cli::tr("鍵の保存先: %1").arg(KeychainPSK::shared().storeName()) << "\n";
    if (webPort) {
        out() << Cli::tr("ブラウザで操作（スマートフォンのカメラで読み取る）:") << "\n";
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
    std::optional<quint16> port, webPort;
    bool mdns = true, web = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == "--port" && i + 1 < args.size()) {
            if (!(port = portArgument(args[++i])))
                return refuse(badPort(args[i]));
            continue;
        }
        if (args[i] == "--web-port" && i + 1 < args.size()) {
            if (!(webPort = portArgument(args[++i])))
                return refuse(badPort(args[i], "--web-port"));
            web = true;
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
        return refuse(Cli::tr("serve に \"%1\" は指定できません").arg(args[i]));
    }

    TerminalAlerts alerts;
    AppState state(&alerts);
    if (port)
        state.setPort(*port); // for this run only; the stored settings stay as they are
    if (!mdns)
        state.setBonjourEnabled(false);
    if (web)
        state.setWebRemote(true); // for this run only, as the ports
    if (webPort)
        state.setWebPort(*webPort);
    state.setRatesReported(true);
    state.setChoicesStored(false); // what is chosen in a conflict holds for this run too
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
    printPairing(state.port(), state.ensureKey(&alerts).value_or(QString()),
                 serving ? std::optional(state.webPort()) : std::nullopt);

    // One status line per change of what a user watches. Whether the daemon runs is the
    // manager's to say: the model may still hold a report queued before the start.
    QString lastStatus;
    auto status = [&] {
        const bool running = ServerProcessManager::shared().state().running;
        const QString line = Cli::tr("%1  接続: %2  移動: %3/s  スクロール: %4/s")
                                 .arg(running ? Cli::tr("稼働中") : Cli::tr("停止中"))
                                 .arg(state.connectedClients())
                                 .arg(state.moveFPS(), 0, 'f', 1)
                                 .arg(state.scrollFPS(), 0, 'f', 1);
        if (line != lastStatus)
            out() << line << "\n" << Qt::flush;
        lastStatus = line;
        if (!running)
            QCoreApplication::exit(1);
    };
    status();
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
        out() << Cli::tr("停止しました") << "\n" << Qt::flush;
        QCoreApplication::exit(0);
    });
    return QCoreApplication::exec();
}

// ---- pair ----

int pair(const QStringList& args) {
    QString png;
    std::optional<QString> name;
    std::optional<quint16> port;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == "--png" && i + 1 < args.size()) {
            png = args[++i];
            continue;
        }
        if (args[i] == "--name" && i + 1 < args.size()) {
            name = args[++i];
            continue;
        }
        if (args[i] == "--port" && i + 1 < args.size()) {
            if (!(port = portArgument(args[++i])))
                return refuse(badPort(args[i]));
            continue;
        }
        return refuse(Cli::tr("pair に \"%1\" は指定できません").arg(args[i]));
    }
    TerminalAlerts alerts;
    AppState state(&alerts);
    // A named pairing is a new device with a key of its own; an empty name is a mistake, never
    // a request for an automatic one.
    if (name) {
        const QString error =
            name->trimmed().isEmpty() ? DeviceList::nameProblem(*name, {}) : state.addDevice(*name);
        if (!error.isEmpty()) {
            QTextStream(stderr) << "pointrelay: " << error << "\n";
            return 1;
        }
    }
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
        QTextStream(stderr) << "pointrelay: " << Cli::tr("%1 に書き込めません").arg(png) << "\n";
        return 1;
    }
    out() << pairingAddressLine(payload.host, *port) << "\n" << Qt::flush;
    return 0;
}

// ---- devices ----

QString when(const QDateTime& time) {
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                          : Cli::tr("未接続");
}

int devices(const QStringList& args) {
    TerminalAlerts alerts;
    AppState state(&alerts);
    QString error;
    if (args.size() == 2 && args[0] == "remove") {
        error = state.removeDevice(args[1]);
    } else if (args.size() == 3 && args[0] == "rename") {
        error = state.renameDevice(args[1], args[2]);
    } else if (!args.isEmpty() && (args[0] == "remove" || args[0] == "rename")) {
        return refuse(args[0] == "remove"
                          ? Cli::tr("devices remove には端末の名前を 1 つ指定します")
                          : Cli::tr("devices rename には今の名前と新しい名前を指定します"));
    } else if (!args.isEmpty()) {
        return refuse(Cli::tr("devices に \"%1\" は指定できません").arg(args.join(u' ')));
    } else if (state.devices().isEmpty()) {
        out() << Cli::tr("ペアリングした端末はありません") << "\n" << Qt::flush;
    }
    if (!error.isEmpty()) {
        QTextStream(stderr) << "pointrelay: " << error << "\n";
        return 1;
    }
    if (args.isEmpty())
        for (const Device& device : state.devices())
            out() << Cli::tr("%1  ペアリング: %2  最終接続: %3")
                         .arg(DeviceList::displayName(device.name), when(device.paired),
                              when(device.lastSeen))
                  << "\n";
    out() << Qt::flush;
    return 0;
}

// ---- send ----

/// The key from the file's first line; nothing, after saying why, when it cannot be read.
std::optional<QString> readKeyFile(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        QTextStream(stderr) << "pointrelay: "
                            << Cli::tr("鍵ファイル %1 を読めません: %2").arg(file, f.errorString())
                            << "\n";
        return std::nullopt;
    }
    const QString key = QString::fromUtf8(f.readLine()).trimmed();
    if (KeychainPSK::isWellFormed(key))
        return key;
    QTextStream(stderr) << "pointrelay: "
                        << (key.isEmpty()
                                ? Cli::tr("鍵ファイル %1 に鍵がありません")
                                : Cli::tr("鍵ファイル %1 の鍵が 64 桁の 16 進数ではありません"))
                               .arg(file)
                        << "\n";
    return std::nullopt;
}

// Text as messages the daemon types as they are: one that begins with "{" and holds "type"
// would be read as a command, so such a "{" goes alone (one byte is always typed).
std::vector<QByteArray> typedTextMessages(const QByteArray& text) {
    std::vector<QByteArray> messages;
    QByteArray rest = text;
    while (!rest.isEmpty()) {
        const bool command = rest.startsWith('{') && rest.contains("\"type\"");
        messages.push_back(command ? rest.left(1) : rest);
        rest = command ? rest.mid(1) : QByteArray();
    }
    return messages;
}

// What a system action takes after its name, checked: nothing, or the error to show.
std::optional<QString> checkSystemAction(const QStringList& words, QJsonObject& object) {
    const auto* action = std::ranges::find_if(kSystemActions, [&](const SystemAction& a) {
        return words[0] == QLatin1StringView(a.name);
    });
    if (action == std::end(kSystemActions))
        return Cli::tr("不明なシステム操作 \"%1\"。使える操作:\n%2")
            .arg(words[0], systemActionList(QStringLiteral("  ")));
    const QString value = words.value(1);
    const QString wanted = QString::fromLatin1(argumentText(action->argument)).trimmed();
    const auto wrong = [&] {
        if (wanted.isEmpty())
            return Cli::tr("%1 は引数を取りません（\"%2\" は使えません）").arg(words[0], value);
        return Cli::tr("%1 には %2 を指定してください（\"%3\" は使えません）")
            .arg(words[0], wanted, value);
    };
    object.insert("action", words[0]);
    switch (action->argument) {
    case SystemAction::none:
        return words.size() == 1 ? std::nullopt : std::optional(wrong());
    case SystemAction::direction:
        if (!QStringList{"up", "down", "left", "right"}.contains(value))
            return wrong();
        object.insert("dir", value);
        return std::nullopt;
    case SystemAction::side:
        if (value != "-1" && value != "1")
            return wrong();
        object.insert("dir", value.toInt());
        return std::nullopt;
    case SystemAction::functionKey: {
        const int n = value.toInt();
        if (n < 1 || n > 12 || QString::number(n) != value)
            return wrong();
        object.insert("n", n);
        return std::nullopt;
    }
    }
    return wrong();
}

// A connected socket to the daemon at host:port (names resolved; the daemon listens on IPv4
// only), or -1 after saying what failed.
int connectToDaemon(const QString& host, quint16 port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &found); rc != 0) {
        QTextStream(stderr) << "pointrelay: "
                            << Cli::tr("ホスト %1 が見つかりません: %2")
                                   .arg(host, QString::fromLocal8Bit(::gai_strerror(rc)))
                            << "\n";
        return -1;
    }
    int error = 0;
    bool ipv4 = false;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family != AF_INET)
            continue;
        ipv4 = true;
        sockaddr_in address = *reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        address.sin_port = htons(port);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            ::freeaddrinfo(found);
            return fd;
        }
        error = errno;
        if (fd >= 0)
            ::close(fd);
    }
    ::freeaddrinfo(found);
    if (!ipv4)
        QTextStream(stderr) << "pointrelay: "
                            << Cli::tr("%1 には IPv4 アドレスがありません。pointrelayd は IPv4 "
                                       "だけで待ち受けます（このマシンなら 127.0.0.1）")
                                   .arg(host)
                            << "\n";
    else
        QTextStream(stderr) << "pointrelay: "
                            << Cli::tr("%1:%2 に接続できません: %3")
                                   .arg(host)
                                   .arg(port)
                                   .arg(QString::fromLocal8Bit(::strerror(error)))
                            << (error == ECONNREFUSED
                                    ? Cli::tr("（このポートで pointrelayd は動いていますか？）")
                                    : QString())
                            << "\n";
    return -1;
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
        return refuse(Cli::tr("send にはコマンドが必要です"));

    // Everything the command line says is checked before a connection is made.
    const QString verb = rest[0];
    QByteArray text; // what a text command sends
    std::optional<int16_t> x, y;
    std::optional<bool> clickDown; // nothing: press and release
    if (verb == "text" && rest.size() == 2) {
        text = rest[1].toUtf8(); // typed exactly: a command's text is typed, never run
        // One frame: the type byte, the text and, sealed, the 16-byte tag.
        const qsizetype limit = qsizetype(core::kMaxFrameBody) - 1 - (plain ? 0 : 16);
        if (text.size() > limit)
            return refuse(
                Cli::tr("テキストは %1 バイトです。1 つのコマンドで送れるのは %2 バイトまでです")
                    .arg(text.size())
                    .arg(limit));
    } else if (verb == "sys" && (rest.size() == 2 || rest.size() == 3)) {
        QJsonObject object{{"type", "sys"}};
        if (const auto wrong = checkSystemAction(rest.mid(1), object))
            return refuse(*wrong);
        text = command(object);
    } else if ((verb == "move" || verb == "scroll") && rest.size() == 3) {
        x = frameValue(rest[1]);
        y = frameValue(rest[2]);
        if (!x || !y)
            return refuse(
                Cli::tr(
                    "%1 には %2 から %3 の整数を 2 つ指定してください（\"%4 %5\" は使えません）")
                    .arg(verb)
                    .arg(INT16_MIN)
                    .arg(INT16_MAX)
                    .arg(rest[1], rest[2]));
    } else if (verb == "click" && (rest.size() == 2 || rest.size() == 3)) {
        const QString how = rest.size() == 3 ? rest[2] : QString();
        if ((rest[1] != "left" && rest[1] != "right") ||
            (!how.isEmpty() && how != "down" && how != "up"))
            return refuse(Cli::tr("click には left か right、続けて down か "
                                  "up（両方なら省略）を指定してください（\"%1\" は使えません）")
                              .arg(rest.mid(1).join(u' ')));
        if (!how.isEmpty())
            clickDown = how == "down";
    } else {
        return refuse(Cli::tr("不明なコマンドか、引数の数が違います: \"%1\"").arg(rest.join(u' ')));
    }

    TerminalAlerts alerts;
    const AppState state(&alerts);
    if (!port)
        port = state.port();
    const std::optional<QString> key = !pskFile.isEmpty() ? readKeyFile(pskFile)
                                       : state.devices().isEmpty()
                                           ? std::nullopt
                                           : std::optional(state.devices().first().key);
    if (!key || key->isEmpty()) {
        if (pskFile.isEmpty())
            QTextStream(stderr) << "pointrelay: "
                                << Cli::tr("鍵がありません（`pointrelay serve` "
                                           "で保存するか、--psk-file を指定してください）")
                                << "\n";
        return 1;
    }

    client::PhoneClient phone;
    const int fd = connectToDaemon(host, *port);
    if (fd < 0)
        return 1;
    phone.adopt(fd);
    if (!phone.handshake(key->toStdString())) {
        QTextStream(stderr)
            << "pointrelay: "
            << Cli::tr("%1:%2 の pointrelayd はこの鍵を受け入れませんでした").arg(host).arg(*port)
            << "\n";
        return 1;
    }

    bool sent = true;
    if (verb == "text" || verb == "sys") {
        for (const QByteArray& message :
             verb == "text" ? typedTextMessages(text) : std::vector<QByteArray>{text})
            sent = sent && (plain ? phone.sendText(message.toStdString())
                                  : phone.sendSealedText(message.toStdString()));
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
        QTextStream(stderr) << "pointrelay: " << Cli::tr("pointrelayd との接続が切れました")
                            << "\n";
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
    QTextStream(stderr) << "pointrelay: " << Cli::tr("pointrelayd がコマンドを確認しませんでした")
                        << "\n";
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("PointrelayServer"));
    QCoreApplication::setOrganizationName(QStringLiteral("pointrelay"));
    const QStringList args = app.arguments().mid(1);
    // Only warnings of our own reach the terminal, not the informational lines of the models.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
    installTranslation(QLocale::system());
    if (args.isEmpty())
        return usage();
    const QStringList rest = args.mid(1);
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        out() << usageText() << Qt::flush;
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
    if (args[0] == "devices")
        return devices(rest);
    return refuse(Cli::tr("不明なコマンド \"%1\"").arg(args[0]));
}
