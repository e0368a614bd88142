#include "SegmentedControl.h"

#include "Theme.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

SegmentedControl::SegmentedControl(const QStringList& labels, QWidget* parent)
    : QWidget(parent), m_labels(labels)
{
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_Hover);
}

void SegmentedControl::setCurrentIndex(int index)
{
    if (index < 0 || index >= count() || index == m_current)
        return;
    m_current = index;
    update();
}

QSize SegmentedControl::sizeHint() const
{
    const QFontMetrics metrics(font());
    int width = 0;
    for (const QString& label : m_labels)
        width = std::max(width, metrics.horizontalAdvance(label) + 20);
    return {width * count() + 4, metrics.height() + 10};
}

QSize SegmentedControl::minimumSizeHint() const
{
    return sizeHint();
}

QRectF SegmentedControl::segmentRect(int index) const
{
    const QRectF track = QRectF(rect()).adjusted(2, 2, -2, -2);
    const double width = track.width() / std::max(1, count());
    return QRectF(track.left() + index * width, track.top(), width, track.height());
}

int SegmentedControl::segmentAt(QPoint point) const
{
    for (int i = 0; i < count(); ++i) {
        if (segmentRect(i).contains(point))
            return i;
    }
    return -1;
}

void SegmentedControl::choose(int index)
{
    if (index < 0 || index >= count() || !isEnabled())
        return;
    m_current = index;
    update();
    emit currentIndexChanged(index);
}

void SegmentedControl::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        choose(segmentAt(event->position().toPoint()));
}

void SegmentedControl::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Left)
        choose(m_current - 1);
    else if (event->key() == Qt::Key_Right)
        choose(m_current + 1);
    else
        QWidget::keyPressEvent(event);
}

void SegmentedControl::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    const bool enabled = isEnabled();
    if (!enabled)
        painter.setOpacity(0.5);

    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const bool dark = pal.color(QPalette::Window).lightness() < 128;
    const QColor trackColour =
        dark ? pal.color(QPalette::Window).lighter(130) : pal.color(QPalette::Window).darker(108);
    painter.setPen(QPen(Theme::withAlpha(Theme::secondary(), 0.35), 1));
    painter.setBrush(trackColour);
    painter.drawRoundedRect(track, 6, 6);

    // The chosen segment in the accent, standing 3:1 against the others on
    // light and dark palettes alike: which one is on is seen at a glance.
    const QColor chosen = Theme::standingOut(pal.color(QPalette::Active, QPalette::Highlight),
                                             trackColour, pal.color(QPalette::WindowText));
    for (int i = 0; i < count(); ++i) {
        const QRectF r = segmentRect(i);
        if (i == m_current) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(chosen);
            painter.drawRoundedRect(r, 5, 5);
        } else if (i > 0 && i != m_current + 1) {
            painter.setPen(QPen(Theme::withAlpha(Theme::secondary(), 0.35), 1));
            painter.drawLine(QPointF(r.left(), r.top() + 5), QPointF(r.left(), r.bottom() - 5));
        }
        QFont f = font();
        if (i == m_current)
            f.setWeight(QFont::Medium);
        painter.setFont(f);
        painter.setPen(i == m_current ? Theme::legibleOn(chosen) : pal.color(QPalette::WindowText));
        painter.drawText(r, Qt::AlignCenter, m_labels[i]);
    }
    if (hasFocus()) {
        painter.setOpacity(1.0);
        painter.setPen(Theme::focusPen());
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(track.adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    }
}
