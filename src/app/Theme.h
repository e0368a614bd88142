#pragma once

#include <QColor>
#include <QFont>
#include <QPen>

class QWidget;

// The panel's colours and text styles, taken from the desktop's palette and
// font so Vantel looks at home on light and dark themes.
namespace Theme {

QColor accent();    // the desktop's highlight colour
QColor secondary(); // secondary text and symbols
QColor errorRed();  // the error line
// The keyboard's focus mark: the accent, taken toward the text colour as far
// as it needs to stand 3:1 against the window (so it is seen on light and
// dark palettes alike).
QColor focusRing();
QPen focusPen(); // the focus mark's line: that colour, 2 px wide
// `colour` taken toward `toward` as far as it needs to stand `ratio`:1
// against `against` (as far as `toward` itself where that is not enough).
QColor standingOut(const QColor& colour, const QColor& against, const QColor& toward,
                   double ratio = 3.0);
// Black or white, whichever reads better on `background`.
QColor legibleOn(const QColor& background);
// The contrast ratio of two colours, 1 to 21, as accessibility guidelines
// measure it.
double contrast(const QColor& a, const QColor& b);
QColor withAlpha(QColor colour, double opacity);

QFont title3();   // the drop zone's heading
QFont caption();  // hints, status, errors
QFont caption2(); // the footer

} // namespace Theme
