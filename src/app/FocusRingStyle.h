#pragma once

#include <QProxyStyle>

// The desktop's own style with a focus mark that is seen: a ring in the
// focus colour (Theme::focusRing) around the push button, tool button or
// slider that has the keyboard's focus, where the desktop's style
// draws a faint line, or nothing until the focus has moved by keyboard.
// Controls with a style sheet of their own (Save, Quit) draw their own mark.
class FocusRingStyle final : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;

    // Makes it the application's style, over the style in use.
    static void install();

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget = nullptr) const override;
};
