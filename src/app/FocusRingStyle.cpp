#include "FocusRingStyle.h"

#include "Theme.h"

#include <QApplication>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOption>
#include <QWidget>

namespace {

bool ringed(const QStyleOption* option, const QWidget* widget)
{
    return (option->state & QStyle::State_HasFocus) && widget && widget->styleSheet().isEmpty();
}

void drawRing(QPainter* painter, const QRect& rect)
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Theme::focusPen());
    painter->setBrush(Qt::NoBrush);
    painter->drawRoundedRect(QRectF(rect).adjusted(1, 1, -1, -1), 4, 4);
    painter->restore();
}

} // namespace

void FocusRingStyle::install()
{
    QStyle* base = QStyleFactory::create(QApplication::style()->name());
    QApplication::setStyle(new FocusRingStyle(base));
}

void FocusRingStyle::drawControl(ControlElement element, const QStyleOption* option,
                                 QPainter* painter, const QWidget* widget) const
{
    QProxyStyle::drawControl(element, option, painter, widget);
    if (element == CE_PushButton && ringed(option, widget))
        drawRing(painter, option->rect);
}

void FocusRingStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                        QPainter* painter, const QWidget* widget) const
{
    QProxyStyle::drawComplexControl(control, option, painter, widget);
    // Around the whole slider: its handle is as tall as the slider itself.
    if ((control == CC_ToolButton || control == CC_Slider) && ringed(option, widget))
        drawRing(painter, option->rect);
}
