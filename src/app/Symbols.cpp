#include "Symbols.h"

#include "Theme.h"

#include <QApplication>
#include <QFile>
#include <QHash>
#include <QPainter>
#include <QPalette>
#include <QSvgRenderer>

// The icons live in a resource of a static library, which the linker does
// not register by itself.
static void registerIconResources()
{
    Q_INIT_RESOURCE(icons);
}

namespace Symbols {

static void ensureResources()
{
    static const bool registered = (registerIconResources(), true);
    Q_UNUSED(registered);
}

QPixmap pixmap(const QString& name, const QColor& colour, int side, qreal devicePixelRatio)
{
    ensureResources();
    static QHash<QString, QByteArray> sources;
    if (!sources.contains(name)) {
        QFile file(QStringLiteral(":/icons/%1.svg").arg(name));
        sources.insert(name, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    }
    QByteArray svg = sources.value(name);
    svg.replace("#000", colour.name(QColor::HexRgb).toLatin1());
    QSvgRenderer renderer(svg);
    const int pixels = qMax(1, qRound(side * devicePixelRatio));
    QPixmap out(pixels, pixels);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(colour.alphaF());
    renderer.render(&painter);
    painter.end();
    out.setDevicePixelRatio(devicePixelRatio);
    return out;
}

QIcon icon(const QString& name)
{
    const QPalette palette = QApplication::palette();
    const qreal dpr = qApp ? qApp->devicePixelRatio() : 1.0;
    QIcon icon;
    for (int side : {16, 24, 32}) {
        icon.addPixmap(
            pixmap(name, palette.color(QPalette::Active, QPalette::ButtonText), side, dpr),
            QIcon::Normal);
        icon.addPixmap(
            pixmap(name, palette.color(QPalette::Disabled, QPalette::ButtonText), side, dpr),
            QIcon::Disabled);
        icon.addPixmap(
            pixmap(name, palette.color(QPalette::Active, QPalette::HighlightedText), side, dpr),
            QIcon::Selected);
    }
    return icon;
}

QIcon appIcon()
{
    // Rendered to pixmaps up front: tray hosts ask for odd sizes, and not
    // every tray path goes through the SVG icon engine.
    ensureResources();
    QIcon icon;
    QSvgRenderer renderer(QStringLiteral(":/icons/vantel.svg"));
    for (int side : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace Symbols
