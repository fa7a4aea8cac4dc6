// SPDX-License-Identifier: MIT
#include "single_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <unistd.h>

namespace pointrelay::app {
namespace {

Q_LOGGING_CATEGORY(lcInstance, "pointrelay.instance")

constexpr int kAnswerWaitMs = 1000;

QString socketPath() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return folder + QStringLiteral("/pointrelay-server-%1").arg(::getuid());
}

} // namespace

bool SingleInstance::claim() {
    const QString path = socketPath();
    QLocalSocket running;
    running.connectToServer(path);
    if (running.waitForConnected(kAnswerWaitMs)) {
        running.write("show\n");
        running.waitForBytesWritten(kAnswerWaitMs);
        return false;
    }
    QLocalServer::removeServer(path); // left behind by an instance that crashed
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(path)) {
        qCWarning(lcInstance).noquote()
            << "cannot listen on" << path << "for later launches:" << m_server.errorString();
        return true;
    }
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* launch = m_server.nextPendingConnection()) {
            connect(launch, &QLocalSocket::disconnected, launch, &QObject::deleteLater);
            emit activated();
        }
    });
    return true;
}

} // namespace pointrelay::app
