#include "ColorWell.h"

#include "Theme.h"

#include <QColorDialog>
#include <QPainter>

ColorWell::ColorWell(QWidget* parent) : QToolButton(parent)
{
    setFixedSize(44, 24);
    setToolTip(tr("Background colour"));
    setCursor(Qt::PointingHandCursor);
    connect(this, &QToolButton::clicked, this, &ColorWell::openPicker);
}

void ColorWell::setColor(const QColor& color)
{
    m_color = color;
    if (m_dialog && m_dialog->currentColor() != color) {
        const QSignalBlocker quiet(m_dialog);
        m_dialog->setCurrentColor(color);
    }
    update();
}

void ColorWell::openPicker()
{
    if (m_dialog) {
        m_dialog->raise();
        m_dialog->activateWindow();
        return;
    }
    m_dialog = new QColorDialog(m_color.isValid() ? m_color : QColor(Qt::white), window());
    m_dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_dialog->setOption(QColorDialog::ShowAlphaChannel, false);
    m_dialog->setOption(QColorDialog::NoButtons, true);
    m_dialog->setWindowTitle(tr("Background Colour"));
    connect(m_dialog, &QColorDialog::currentColorChanged, this, [this](const QColor& c) {
        if (!c.isValid())
            return;
        m_color = c;
        update();
        emit colorPicked(c);
    });
    connect(m_dialog, &QObject::destroyed, this, &ColorWell::pickerClosed);
    emit pickerOpened();
    m_dialog->show();
}

void ColorWell::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF outer = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(Theme::withAlpha(Theme::secondary(), underMouse() ? 0.8 : 0.5), 1));
    painter.setBrush(palette().color(QPalette::Base));
    painter.drawRoundedRect(outer, 5, 5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_color);
    painter.drawRoundedRect(outer.adjusted(3, 3, -3, -3), 3, 3);
    if (hasFocus()) {
        painter.setPen(Theme::focusPen());
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 5, 5);
    }
}
