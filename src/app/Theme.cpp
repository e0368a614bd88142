#include "Theme.h"

#include <QApplication>
#include <QPalette>

namespace Theme {

QColor accent()
{
    return QApplication::palette().color(QPalette::Active, QPalette::Highlight);
}

QColor secondary()
{
    // The text colour taken part of the way toward the window: clearly
    // secondary, still readable on light and dark themes.
    const QPalette palette = QApplication::palette();
    const QColor text = palette.color(QPalette::Active, QPalette::WindowText);
    const QColor window = palette.color(QPalette::Active, QPalette::Window);
    auto mix = [](int a, int b) {
        return int(a * 0.58 + b * 0.42);
    };
    return QColor(mix(text.red(), window.red()), mix(text.green(), window.green()),
                  mix(text.blue(), window.blue()));
}

QColor errorRed()
{
    const bool dark = QApplication::palette().color(QPalette::Window).lightness() < 128;
    return dark ? QColor(255, 105, 97) : QColor(215, 0, 21);
}

QColor withAlpha(QColor colour, double opacity)
{
    colour.setAlphaF(float(colour.alphaF() * opacity));
    return colour;
}

static QFont scaled(double factor, QFont::Weight weight = QFont::Normal)
{
    QFont font = QApplication::font();
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else
        font.setPixelSize(std::max(8, int(font.pixelSize() * factor)));
    font.setWeight(weight);
    return font;
}

QFont title3()
{
    return scaled(1.35, QFont::Medium);
}

QFont caption()
{
    return scaled(0.92);
}

QFont caption2()
{
    return scaled(0.85);
}

} // namespace Theme
