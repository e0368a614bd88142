#include "Theme.h"

#include <QApplication>
#include <QPalette>
#include <algorithm>
#include <cmath>

namespace Theme {

QColor accent()
{
    return QApplication::palette().color(QPalette::Active, QPalette::Highlight);
}

// `from` taken the share `t` (0 to 1) of the way toward `to`.
static QColor mix(const QColor& from, const QColor& to, double t)
{
    auto channel = [t](int a, int b) {
        return int(a * (1 - t) + b * t);
    };
    return QColor(channel(from.red(), to.red()), channel(from.green(), to.green()),
                  channel(from.blue(), to.blue()));
}

QColor secondary()
{
    // The text colour taken part of the way toward the window: clearly
    // secondary, still readable on light and dark themes.
    const QPalette palette = QApplication::palette();
    return mix(palette.color(QPalette::Active, QPalette::WindowText),
               palette.color(QPalette::Active, QPalette::Window), 0.42);
}

QColor errorRed()
{
    const bool dark = QApplication::palette().color(QPalette::Window).lightness() < 128;
    return dark ? QColor(255, 105, 97) : QColor(215, 0, 21);
}

static double luminance(const QColor& c)
{
    auto linear = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

double contrast(const QColor& a, const QColor& b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor standingOut(const QColor& colour, const QColor& against, const QColor& toward, double ratio)
{
    QColor result = colour;
    for (int step = 1; step <= 10 && contrast(result, against) < ratio; ++step)
        result = mix(colour, toward, step / 10.0);
    return result;
}

QColor legibleOn(const QColor& background)
{
    const QColor black(Qt::black), white(Qt::white);
    return contrast(black, background) >= contrast(white, background) ? black : white;
}

QColor focusRing()
{
    const QPalette palette = QApplication::palette();
    return standingOut(accent(), palette.color(QPalette::Active, QPalette::Window),
                       palette.color(QPalette::Active, QPalette::WindowText));
}

QPen focusPen()
{
    return QPen(focusRing(), 2.0);
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
