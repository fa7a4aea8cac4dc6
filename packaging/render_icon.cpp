// SPDX-License-Identifier: MIT
// Renders the application's SVG icon as PNG files for the hicolor icon theme, at build time.
// Usage: render_icon SVG OUT_DIR SIZE...   (writes OUT_DIR/SIZExSIZE/apps/pointrelay-server.png)
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen"); // no window system at build time
    QGuiApplication application(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    QSvgRenderer svg(args.value(1));
    if (args.size() < 4 || !svg.isValid())
        return 1;
    for (const QString& size : args.mid(3)) {
        const int side = size.toInt();
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        svg.render(&painter);
        painter.end();
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(args[2], size);
        if (!QDir().mkpath(dir) || !image.save(dir + QStringLiteral("/pointrelay-server.png")))
            return 1;
    }
    return 0;
}
