// SPDX-License-Identifier: MIT
#include "lsof_socket_lister.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringDecoder>

namespace pointrelay::app {

namespace {

/// The text of valid UTF-8 bytes; nothing for anything else.
std::optional<QString> decodeUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringConverter::Utf8);
    QString text = decoder(bytes);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return text;
}

QStringList lsofArguments(int port, const char* state) {
    return {QStringLiteral("-nP"), QStringLiteral("-iTCP:%1").arg(port),
            QStringLiteral("-sTCP:%1").arg(QLatin1String(state))};
}

QString findTool(const QString& name) {
    const QStringList systemFolders{QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                                    QStringLiteral("/sbin"), QStringLiteral("/bin")};
    return QStandardPaths::findExecutable(name, systemFolders);
}

} // namespace

LsofSocketLister::LsofSocketLister(QString lsofPath, QString psPath,
                                   std::chrono::milliseconds toolTimeout)
    : m_lsofPath(std::move(lsofPath)), m_psPath(std::move(psPath)), m_toolTimeout(toolTimeout) {}

QString LsofSocketLister::systemLsofPath() {
#if defined(Q_OS_MACOS)
    return QStringLiteral("/usr/sbin/lsof");
#else
    const QString found = findTool(QStringLiteral("lsof"));
    return found.isEmpty() ? QStringLiteral("/usr/sbin/lsof") : found;
#endif
}

QString LsofSocketLister::systemPsPath() {
#if defined(Q_OS_MACOS)
    return QStringLiteral("/bin/ps");
#else
    const QString found = findTool(QStringLiteral("ps"));
    return found.isEmpty() ? QStringLiteral("/bin/ps") : found;
#endif
}

std::optional<LsofSocketLister::ToolResult>
LsofSocketLister::run(const QString& program, const QStringList& arguments) const {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(static_cast<int>(m_toolTimeout.count()))) {
        qCDebug(lcPortCheck) << "cannot start" << program << process.errorString();
        return std::nullopt;
    }
    // waitForFinished keeps draining the pipe, so a long listing cannot stall the tool.
    if (!process.waitForFinished(static_cast<int>(m_toolTimeout.count()))) {
        qCWarning(lcPortCheck) << program << "did not finish; killed";
        process.kill();
        process.waitForFinished(-1);
        return std::nullopt;
    }
    ToolResult result;
    result.output = process.readAll();
    result.exitedZero = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return result;
}

std::optional<QString> LsofSocketLister::describeListener(int port) const {
    if (!isListablePort(port)) {
        return std::nullopt;
    }
    const auto result = run(m_lsofPath, lsofArguments(port, "LISTEN"));
    if (!result) {
        return std::nullopt;
    }
    // The exit status is not looked at: lsof's listing alone says whether anyone listens.
    const QString text = decodeUtf8(result->output).value_or(QString());
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.size() < 2) {
        return std::nullopt; // nothing, or only the column header
    }
    return lines.at(1);
}

std::optional<qint32> LsofSocketLister::listeningPID(int port) const {
    if (!isListablePort(port)) {
        return std::nullopt;
    }
    QStringList arguments = lsofArguments(port, "LISTEN");
    arguments << QStringLiteral("-t");
    const auto result = run(m_lsofPath, arguments);
    if (!result || !result->exitedZero) {
        return std::nullopt;
    }
    const auto text = decodeUtf8(result->output);
    if (!text) {
        return std::nullopt;
    }
    static const QRegularExpression lineBreaks(QStringLiteral("[\r\n]"));
    const QStringList lines = text->split(lineBreaks, Qt::SkipEmptyParts);
    if (lines.isEmpty()) {
        return std::nullopt;
    }
    bool ok = false;
    const qint32 pid = lines.first().toInt(&ok, 10);
    return ok ? std::optional<qint32>(pid) : std::nullopt;
}

std::optional<QString> LsofSocketLister::processName(qint32 pid) const {
    if (pid <= 0) {
        return std::nullopt; // ps would read 0 or a negative number as something else
    }
    const auto result = run(m_psPath, {QStringLiteral("-p"), QString::number(pid),
                                       QStringLiteral("-o"), QStringLiteral("comm=")});
    if (!result || !result->exitedZero) {
        return std::nullopt;
    }
    const auto text = decodeUtf8(result->output);
    if (!text) {
        return std::nullopt;
    }
    return text->trimmed();
}

std::optional<qint32> LsofSocketLister::parentPID(qint32 pid) const {
    if (pid <= 0) {
        return std::nullopt;
    }
    const auto result = run(m_psPath, {QStringLiteral("-p"), QString::number(pid),
                                       QStringLiteral("-o"), QStringLiteral("ppid=")});
    const auto text = result && result->exitedZero ? decodeUtf8(result->output) : std::nullopt;
    bool ok = false;
    const qint32 parent = text ? text->trimmed().toInt(&ok, 10) : 0;
    return ok ? std::optional<qint32>(parent) : std::nullopt;
}

std::optional<qint64> LsofSocketLister::countEstablishedConnections(int port) const {
    if (!isListablePort(port)) {
        return std::nullopt;
    }
    const auto result = run(m_lsofPath, lsofArguments(port, "ESTABLISHED"));
    if (!result) {
        return std::nullopt;
    }
    const auto text = decodeUtf8(result->output);
    if (!text) {
        return 0;
    }
    const qint64 lines = text->split(QLatin1Char('\n'), Qt::SkipEmptyParts).size();
    return lines == 0 ? 0 : lines - 1; // the first line is the column header
}

} // namespace pointrelay::app
