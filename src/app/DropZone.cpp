#include "DropZone.h"

#include "Symbols.h"
#include "Theme.h"
#include "ThemedWidgets.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

DropZone::DropZone(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("dropZone"));
    setMinimumHeight(300);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);

    m_symbol = new QLabel(this);
    m_symbol->setAlignment(Qt::AlignCenter);
    auto* title = new QLabel(tr("Drop an image here"), this);
    m_themed.text(title, ThemedWidgets::Style::title3);
    title->setAlignment(Qt::AlignCenter);
    title->setWordWrap(true);
    auto* hint = new QLabel(tr("Drag from a file manager or a browser"), this);
    m_themed.secondaryText(hint, ThemedWidgets::Style::caption);
    hint->setAlignment(Qt::AlignCenter);
    hint->setWordWrap(true);

    m_choose = new QPushButton(tr("Choose File…"), this);
    m_paste = new QPushButton(tr("Paste"), this);
    m_themed.icon(m_paste, QStringLiteral("doc.on.clipboard"));
    m_paste->setToolTip(
        tr("Paste an image (%1)")
            .arg(QKeySequence(QKeySequence::Paste).toString(QKeySequence::NativeText)));
    m_buttons = new QWidget(this);
    auto* buttons = new QHBoxLayout(m_buttons);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addStretch();
    buttons->addWidget(m_choose);
    buttons->addWidget(m_paste);
    buttons->addStretch();

    m_busy = new QWidget(this);
    auto* busy = new QHBoxLayout(m_busy);
    busy->setContentsMargins(0, 0, 0, 0);
    auto* spinner = new QProgressBar(m_busy);
    spinner->setRange(0, 0); // no end known: it only shows work going on
    spinner->setTextVisible(false);
    spinner->setFixedSize(120, 6);
    auto* opening = new QLabel(tr("Opening the image…"), m_busy);
    m_themed.text(opening, ThemedWidgets::Style::caption);
    busy->addStretch();
    busy->addWidget(opening);
    busy->addWidget(spinner);
    busy->addStretch();
    m_busy->hide();

    auto* column = new QVBoxLayout(this);
    column->setSpacing(14);
    column->addStretch();
    column->addWidget(m_symbol);
    // Title and hint sit together, as one block.
    auto* texts = new QVBoxLayout;
    texts->setSpacing(4);
    texts->addWidget(title);
    texts->addWidget(hint);
    column->addLayout(texts);
    column->addWidget(m_buttons);
    column->addWidget(m_busy);
    column->addStretch();
    refreshSymbol();
}

void DropZone::setTargeted(bool targeted)
{
    if (m_targeted == targeted)
        return;
    m_targeted = targeted;
    refreshSymbol();
    update();
}

void DropZone::setBusy(bool busy)
{
    // The buttons go while an image is read. Had they the focus, it waits
    // on the zone itself, not on the next control (Quit, where one Space
    // would end Vantel), and comes back to Choose after.
    const QWidget* focused = window()->focusWidget();
    if (busy && focused && m_buttons->isAncestorOf(focused))
        setFocus(Qt::OtherFocusReason);
    m_buttons->setVisible(!busy);
    m_busy->setVisible(busy);
    if (!busy && window()->focusWidget() == this)
        m_choose->setFocus(Qt::OtherFocusReason);
}

void DropZone::refreshSymbol()
{
    const QColor colour = m_targeted ? Theme::accent() : Theme::secondary();
    m_symbol->setPixmap(
        Symbols::pixmap(QStringLiteral("photo.badge.plus"), colour, 48, devicePixelRatioF()));
}

bool DropZone::event(QEvent* event)
{
    if (m_themed.follow(event) || event->type() == QEvent::ScreenChangeInternal)
        refreshSymbol();
    return QWidget::event(event);
}

void DropZone::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double line = 2.0;
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 16, 16);
    painter.fillPath(shape, m_targeted ? Theme::withAlpha(Theme::accent(), 0.12)
                                       : Theme::withAlpha(Theme::secondary(), 0.06));
    // The outline inside the edge: the shape inset by half the line width.
    QPainterPath inset;
    inset.addRoundedRect(QRectF(rect()).adjusted(line / 2, line / 2, -line / 2, -line / 2), 15, 15);
    QPen pen(m_targeted ? Theme::accent() : Theme::withAlpha(Theme::secondary(), 0.5), line);
    pen.setDashPattern({8.0 / line, 6.0 / line}); // in units of the line width
    pen.setCapStyle(Qt::FlatCap);
    pen.setJoinStyle(Qt::MiterJoin);
    painter.setPen(pen);
    painter.drawPath(inset);
}
