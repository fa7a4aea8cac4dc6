// SPDX-License-Identifier: MIT
// The browser remote's relay on its own, for the browser test and the page benchmark.
// Usage: relay_runner WEBPORT DAEMONPORT   (WEBPORT 0: any free port)
// Prints "relay PORT" once it serves; logs as the applications do, on standard error.
#include "model/web_relay.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3)
        return 2;
    auto& relay = pointrelay::app::WebRelay::shared();
    if (!relay.listen(static_cast<quint16>(args[1].toUInt()),
                      static_cast<quint16>(args[2].toUInt())))
        return 1;
    QTextStream(stdout) << "relay " << relay.port() << Qt::endl;
    return QCoreApplication::exec();
}
