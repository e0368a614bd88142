#pragma once

#include <QColor>
#include <QFont>

class QWidget;

// The panel's colours and text styles, taken from the desktop's palette and
// font so Vantel looks at home on light and dark themes.
namespace Theme {

QColor accent();    // the desktop's highlight colour
QColor secondary(); // secondary text and symbols
QColor errorRed();  // the error line
QColor withAlpha(QColor colour, double opacity);

QFont title3();   // the drop zone's heading
QFont caption();  // hints, status, errors
QFont caption2(); // the footer

} // namespace Theme
