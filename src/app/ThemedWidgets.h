#pragma once

#include <QPointer>
#include <QString>
#include <vector>

class QAbstractButton;
class QEvent;
class QLabel;
class QPushButton;
class QWidget;

// The panel's widgets whose look comes from the desktop's palette and font:
// secondary text, tinted symbols and icons, the accent-filled primary button,
// the quiet footer button, the text styles. Each is styled when it is added
// and again by apply(), which the panel calls when the theme or the font
// changes while Vantel runs, so nothing keeps the old look.
class ThemedWidgets final
{
public:
    enum class Style { body, title3, caption, caption2 };

    // Text in a style; secondary text is also greyed, error text red.
    void text(QWidget* widget, Style style);
    void secondaryText(QLabel* label, Style style);
    void errorText(QLabel* label, Style style);
    // A label showing the symbol `name`, `side` pixels, in the secondary colour.
    void symbol(QLabel* label, const QString& name, int side);
    // A button's icon, the symbol `name` in the palette's text colours.
    void icon(QAbstractButton* button, const QString& name);
    // The panel's primary action, filled with the accent colour.
    void prominent(QPushButton* button, const QString& iconName);
    // A borderless button in the secondary colour (the footer's Quit).
    void quiet(QPushButton* button);

    void apply() const;
    // Applies the looks again when `event` says the palette, style or font
    // changed; true when it did.
    bool follow(const QEvent* event);

private:
    enum class Kind { text, secondary, error, symbol, icon, prominent, quiet };
    struct Entry
    {
        QPointer<QWidget> widget;
        Kind kind;
        Style style = Style::body;
        QString symbol;
        int side = 0;
    };
    void add(Entry entry);
    static void style(const Entry& entry);

    std::vector<Entry> m_entries;
    bool m_applying = false; // restyling raises change events of its own
};
