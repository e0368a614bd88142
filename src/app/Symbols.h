#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

// Vantel's symbols, drawn as small SVGs named after what they stand for
// ("scissors", "lock.fill", "photo.badge.plus", ...) and tinted on demand.
namespace Symbols {

// The symbol in `colour` at `side` logical pixels, sharp on the screen's
// device pixel ratio.
QPixmap pixmap(const QString& name, const QColor& colour, int side, qreal devicePixelRatio = 1.0);
// An icon whose normal and disabled looks use the palette's colours.
QIcon icon(const QString& name);
// The application's own icon.
QIcon appIcon();

} // namespace Symbols
