// SPDX-License-Identifier: MIT
#pragma once

#include "socket_lister.h"

#include <QByteArray>
#include <QStringList>
#include <chrono>

namespace pointrelay::app {

/// Answers the socket and process questions with the system tools, one child process per
/// question: `lsof -nP -iTCP:<port> -sTCP:LISTEN [-t]`, `lsof -nP -iTCP:<port>
/// -sTCP:ESTABLISHED` and `ps -p <pid> -o comm=`. Standard output and standard error share
/// one channel, as the tools' answers are read.
class LsofSocketLister final : public SocketLister {
public:
    /// A tool that has not finished after this long is killed and counts as no answer.
    static constexpr std::chrono::milliseconds kDefaultToolTimeout{5000};

    LsofSocketLister(QString lsofPath, QString psPath,
                     std::chrono::milliseconds toolTimeout = kDefaultToolTimeout);

    /// "/usr/sbin/lsof" on macOS; elsewhere the first lsof found in the system folders.
    static QString systemLsofPath();
    /// "/bin/ps" on macOS; elsewhere the first ps found in the system folders.
    static QString systemPsPath();

    std::optional<QString> describeListener(int port) const override;
    std::optional<qint32> listeningPID(int port) const override;
    std::optional<QString> processName(qint32 pid) const override;
    /// \brief `ps -p <pid> -o ppid=`.
    std::optional<qint32> parentPID(qint32 pid) const override;
    /// \brief Every socket lsof lists counts, so a connection between two local processes
    /// (or two sockets of one process) counts once for each end.
    std::optional<qint64> countEstablishedConnections(int port) const override;

private:
    struct ToolResult {
        QByteArray output;
        bool exitedZero = false;
    };
    /// Nothing when the tool cannot be started or does not finish in time.
    std::optional<ToolResult> run(const QString& program, const QStringList& arguments) const;

    QString m_lsofPath;
    QString m_psPath;
    std::chrono::milliseconds m_toolTimeout;
};

} // namespace pointrelay::app
