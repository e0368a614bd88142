#include "ThemedWidgets.h"

#include "Symbols.h"
#include "Theme.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <algorithm>

namespace {

QFont fontOf(ThemedWidgets::Style style)
{
    switch (style) {
    case ThemedWidgets::Style::title3:
        return Theme::title3();
    case ThemedWidgets::Style::caption:
        return Theme::caption();
    case ThemedWidgets::Style::caption2:
        return Theme::caption2();
    case ThemedWidgets::Style::body:
        break;
    }
    return QApplication::font();
}

// A symbol's side in pixels beside the widget's text: `least` at ordinary
// sizes, growing with a larger font so that it keeps its weight.
int sideBeside(const QWidget* widget, int least)
{
    return std::max(least, qRound(least * widget->fontMetrics().height() / 18.0));
}

void colourText(QWidget* widget, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

QString prominentSheet()
{
    const QColor accent = Theme::accent();
    const QColor onAccent = QApplication::palette().color(QPalette::HighlightedText);
    // The focus mark: a ring in the text colour inside the fill, seen on
    // light and dark palettes alike.
    const QColor ring = QApplication::palette().color(QPalette::WindowText);
    return QStringLiteral(
               "QPushButton#prominent { background: %1; color: %2; border: 1px solid %3;"
               " border-radius: 6px; padding: 4px 12px; }"
               "QPushButton#prominent:hover { background: %4; }"
               "QPushButton#prominent:pressed { background: %3; }"
               "QPushButton#prominent:focus { border: 2px solid %7; }"
               "QPushButton#prominent:disabled { background: %5; color: %6; border-color: %5; }")
        .arg(accent.name(), onAccent.name(), accent.darker(120).name(), accent.lighter(110).name(),
             Theme::withAlpha(accent, 0.35).name(QColor::HexArgb),
             Theme::withAlpha(onAccent, 0.7).name(QColor::HexArgb), ring.name());
}

QString quietSheet()
{
    const QColor text = QApplication::palette().color(QPalette::WindowText);
    return QStringLiteral("QPushButton { border: 1px solid transparent; border-radius: 4px;"
                          " padding: 2px 4px; color: %1; }"
                          "QPushButton:hover { color: %2; }"
                          "QPushButton:focus { border-color: %3; color: %2; }")
        .arg(Theme::secondary().name(), text.name(), Theme::focusRing().name());
}

} // namespace

void ThemedWidgets::text(QWidget* widget, Style style)
{
    add({widget, Kind::text, style, {}, 0});
}

void ThemedWidgets::secondaryText(QLabel* label, Style style)
{
    add({label, Kind::secondary, style, {}, 0});
}

void ThemedWidgets::errorText(QLabel* label, Style style)
{
    add({label, Kind::error, style, {}, 0});
}

void ThemedWidgets::symbol(QLabel* label, const QString& name, int side)
{
    add({label, Kind::symbol, Style::body, name, side});
}

void ThemedWidgets::icon(QAbstractButton* button, const QString& name)
{
    add({button, Kind::icon, Style::body, name, 0});
}

void ThemedWidgets::prominent(QPushButton* button, const QString& iconName)
{
    button->setObjectName(QStringLiteral("prominent"));
    add({button, Kind::prominent, Style::body, iconName, 16});
}

void ThemedWidgets::quiet(QPushButton* button)
{
    button->setFlat(true);
    add({button, Kind::quiet, Style::caption2, {}, 0});
}

void ThemedWidgets::apply() const
{
    for (const Entry& entry : m_entries) {
        if (entry.widget)
            style(entry);
    }
}

bool ThemedWidgets::follow(const QEvent* event)
{
    switch (event->type()) {
    case QEvent::PaletteChange:
    case QEvent::ApplicationPaletteChange:
    case QEvent::StyleChange:
    case QEvent::FontChange:
    case QEvent::ApplicationFontChange:
        break;
    default:
        return false;
    }
    if (!m_applying) {
        m_applying = true;
        apply();
        m_applying = false;
    }
    return true;
}

void ThemedWidgets::add(Entry entry)
{
    style(entry);
    m_entries.push_back(std::move(entry));
}

void ThemedWidgets::style(const Entry& e)
{
    QWidget* w = e.widget;
    switch (e.kind) {
    case Kind::text:
        w->setFont(fontOf(e.style));
        break;
    case Kind::secondary:
        w->setFont(fontOf(e.style));
        colourText(w, Theme::secondary());
        break;
    case Kind::error:
        w->setFont(fontOf(e.style));
        colourText(w, Theme::errorRed());
        break;
    case Kind::symbol:
        static_cast<QLabel*>(w)->setPixmap(Symbols::pixmap(
            e.symbol, Theme::secondary(), sideBeside(w, e.side), w->devicePixelRatioF()));
        break;
    case Kind::icon: {
        auto* button = static_cast<QAbstractButton*>(w);
        button->setIcon(Symbols::icon(e.symbol));
        const int side = sideBeside(w, 16);
        button->setIconSize(QSize(side, side));
        break;
    }
    case Kind::prominent: {
        const QColor onAccent = QApplication::palette().color(QPalette::HighlightedText);
        auto* button = static_cast<QPushButton*>(w);
        const int side = sideBeside(w, e.side);
        button->setIcon(Symbols::pixmap(e.symbol, onAccent, side, w->devicePixelRatioF()));
        button->setIconSize(QSize(side, side));
        button->setStyleSheet(prominentSheet());
        break;
    }
    case Kind::quiet:
        w->setFont(fontOf(e.style));
        w->setStyleSheet(quietSheet());
        break;
    }
}
