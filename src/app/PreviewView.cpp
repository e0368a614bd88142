#include "PreviewView.h"

#include "AreaDownscale.h"
#include "Checkerboard.h"
#include "Theme.h"
#include "VantelModel.h"

#include <QDrag>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

PreviewView::PreviewView(VantelModel* model, QWidget* parent) : QWidget(parent), m_model(model)
{
    connect(m_model, &VantelModel::changed, this, [this] {
        if (m_mark >= int(m_model->subjectPoints().size()))
            m_mark = -1; // another image: the mark starts again
        update();
    });
    m_spinner.setInterval(50);
    connect(&m_spinner, &QTimer::timeout, this, [this] {
        m_spin = (m_spin + 30) % 360;
        update();
    });
    auto spin = [this] {
        if (m_model->isProcessing() || m_model->isOpening())
            m_spinner.start();
        else
            m_spinner.stop();
    };
    connect(m_model, &VantelModel::isProcessingChanged, this, spin);
    connect(m_model, &VantelModel::isOpeningChanged, this, spin);
}

void PreviewView::setDragDataProvider(std::function<QMimeData*()> provider)
{
    m_dragData = std::move(provider);
}

PreviewView::Layers PreviewView::layersFor(const VantelModel& model)
{
    Layers layers;
    const bool after = !model.showOriginal();
    if (after && model.result())
        layers.image = *model.result();
    else if (model.original())
        layers.image = *model.original();
    else
        return layers;
    layers.checkerboard = after && model.usesTransparency() && model.result().has_value();
    layers.imageOpacity = (!model.result() && after) ? 0.4 : 1.0;
    // A new image being decoded is what the user waits for, whatever the
    // shown one is doing.
    if (model.isOpening())
        layers.badge = tr("Opening the image…");
    else if (model.isProcessing())
        layers.badge = tr("Removing background…");
    return layers;
}

QRectF PreviewView::fittedRect(QSizeF space, QSizeF imageSize)
{
    if (imageSize.isEmpty() || !(space.width() > 0) || !(space.height() > 0))
        return {};
    const double scale =
        std::min(space.width() / imageSize.width(), space.height() / imageSize.height());
    const QSizeF drawn = imageSize * scale;
    return QRectF(
        QPointF((space.width() - drawn.width()) / 2, (space.height() - drawn.height()) / 2), drawn);
}

QRectF PreviewView::displayedRect() const
{
    const QImage image = layers().image;
    if (image.isNull())
        return {};
    return fittedRect(QSizeF(size()), QSizeF(image.size()));
}

const QImage& PreviewView::scaled(const QImage& image, QSize pixels)
{
    // Scaled once per image and size with a good filter (area averaging on
    // premultiplied colour when shrinking), then reused for every repaint.
    if (image.cacheKey() != m_cachedKey || pixels != m_cachedSize) {
        const QImage premultiplied = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        if (pixels.width() < image.width() && pixels.height() < image.height())
            m_cached = AreaDownscale::scaled(premultiplied, pixels);
        else
            m_cached =
                premultiplied.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        m_cachedKey = image.cacheKey();
        m_cachedSize = pixels;
    }
    return m_cached;
}

void PreviewView::paintEvent(QPaintEvent*)
{
    const Layers layers = this->layers();
    const QRectF area = displayedRect();
    if (layers.image.isNull() || area.isEmpty())
        return;
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    QPainterPath shape;
    shape.addRoundedRect(area, cornerRadius, cornerRadius);
    painter.setClipPath(shape);

    if (layers.checkerboard)
        Checkerboard::paint(painter, area, 10);
    const qreal dpr = devicePixelRatioF();
    const QSize pixels(std::max(1, int(std::lround(area.width() * dpr))),
                       std::max(1, int(std::lround(area.height() * dpr))));
    painter.setOpacity(layers.imageOpacity);
    painter.drawImage(area, scaled(layers.image, pixels));
    painter.setOpacity(1.0);
    if (!layers.badge.isEmpty())
        paintBadge(painter, area, layers.badge);
    paintMark(painter, area);
    paintBand(painter);

    painter.setClipping(false);
    // With the keyboard's focus, the outline is the focus colour, and wide.
    QPen outline =
        hasFocus() ? Theme::focusPen() : QPen(Theme::withAlpha(Theme::secondary(), 0.3), 1.0);
    outline.setCapStyle(Qt::FlatCap);
    outline.setJoinStyle(Qt::MiterJoin);
    painter.setPen(outline);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(shape);
}

void PreviewView::paintBadge(QPainter& painter, const QRectF& area, const QString& text)
{
    const QFont font = this->font();
    const QFontMetricsF metrics(font);
    const double spinnerSide = 16;
    const double gap = 8;
    const QSizeF content(spinnerSide + gap + metrics.horizontalAdvance(text),
                         std::max(spinnerSide, metrics.height()));
    const QSizeF badge = content + QSizeF(20, 20);
    const QRectF box(area.center() - QPointF(badge.width() / 2, badge.height() / 2), badge);

    painter.save();
    QColor backing = palette().color(QPalette::Window);
    backing.setAlphaF(0.86f);
    painter.setPen(QPen(Theme::withAlpha(Theme::secondary(), 0.25), 0.5));
    painter.setBrush(backing);
    painter.drawRoundedRect(box, 8, 8);

    const QRectF spinner(box.left() + 10, box.center().y() - spinnerSide / 2, spinnerSide,
                         spinnerSide);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Theme::withAlpha(Theme::secondary(), 0.3), 2.0));
    painter.drawEllipse(spinner.adjusted(1, 1, -1, -1));
    QPen arc(palette().color(QPalette::WindowText), 2.0);
    arc.setCapStyle(Qt::RoundCap);
    painter.setPen(arc);
    painter.drawArc(spinner.adjusted(1, 1, -1, -1), -m_spin * 16, 100 * 16);

    painter.setFont(font);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(
        QRectF(spinner.right() + gap, box.top(), metrics.horizontalAdvance(text) + 2, box.height()),
        Qt::AlignVCenter | Qt::AlignLeft, text);
    painter.restore();
}

void PreviewView::mousePressEvent(QMouseEvent* event)
{
    m_press.reset();
    m_band.reset();
    if (event->button() != Qt::LeftButton)
        return;
    // The empty bands beside the image take no clicks.
    if (displayedRect().contains(event->position())) {
        m_press = event->position();
        m_pressModifiers = event->modifiers();
        // Escape reaches the box being drawn.
        if (focusPolicy() != Qt::NoFocus)
            setFocus(Qt::MouseFocusReason);
    }
}

void PreviewView::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_press || !(event->buttons() & Qt::LeftButton))
        return;
    const QPointF moved = event->position() - *m_press;
    if (!m_band && std::abs(moved.x()) < clickTolerance && std::abs(moved.y()) < clickTolerance)
        return;
    if (m_pressModifiers.testFlag(Qt::ControlModifier)) {
        dragResultOut();
        return;
    }
    if (!m_model->canDrawBox())
        return;
    // The box stays on the image, wherever the pointer goes.
    m_band = QRectF(*m_press, event->position()).normalized() & displayedRect();
    update();
}

void PreviewView::dragResultOut()
{
    // Moving away from a press on the result drags the result out.
    if (m_model->showOriginal() || !m_model->result() || !m_dragData)
        return;
    QMimeData* payload = m_dragData();
    m_press.reset();
    if (!payload)
        return;
    auto* drag = new QDrag(this);
    drag->setMimeData(payload);
    const QImage thumb = m_cached.scaled(96, 96, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    drag->setPixmap(QPixmap::fromImage(thumb));
    drag->setHotSpot(QPoint(thumb.width() / 2, thumb.height() / 2));
    drag->exec(Qt::CopyAction);
}

void PreviewView::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_press || event->button() != Qt::LeftButton)
        return;
    const QPointF press = *m_press;
    const bool add = m_pressModifiers.testFlag(Qt::ShiftModifier);
    m_press.reset();
    const QRectF area = displayedRect();
    if (area.isEmpty())
        return;
    if (m_band) {
        const QRectF band = *m_band;
        m_band.reset();
        update();
        m_model->keepBox(QRectF((band.left() - area.left()) / area.width(),
                                (band.top() - area.top()) / area.height(),
                                band.width() / area.width(), band.height() / area.height()),
                         add);
        return;
    }
    const QPointF moved = event->position() - press;
    if (!(std::abs(moved.x()) < clickTolerance) || !(std::abs(moved.y()) < clickTolerance))
        return;
    const QPointF at = event->position() - area.topLeft();
    // Neither clamped nor flipped: a release just outside gives values just
    // below 0 or above 1.
    const QPointF normalized(at.x() / area.width(), at.y() / area.height());
    emit tapped(normalized);
    m_model->tap(normalized, add);
}

void PreviewView::paintBand(QPainter& painter)
{
    if (!m_band)
        return;
    // A dashed accent line over a white one, on a faint fill: seen on any
    // picture.
    painter.setBrush(Theme::withAlpha(Theme::accent(), 0.15));
    painter.setPen(QPen(Qt::white, 3.0));
    painter.drawRect(*m_band);
    QPen dashes(Theme::accent(), 1.5, Qt::DashLine);
    painter.setPen(dashes);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(*m_band);
}

void PreviewView::paintMark(QPainter& painter, const QRectF& area)
{
    const std::vector<QPointF> points = m_model->subjectPoints();
    if (!hasFocus() || m_mark < 0 || m_mark >= int(points.size()) || m_model->showOriginal())
        return;
    const QPointF at(area.left() + points[size_t(m_mark)].x() * area.width(),
                     area.top() + points[size_t(m_mark)].y() * area.height());
    // A ring in the accent colour over a white one: seen on any picture.
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, 5.0));
    painter.drawEllipse(at, 10, 10);
    painter.setPen(QPen(Theme::accent(), 2.5));
    painter.drawEllipse(at, 10, 10);
}

void PreviewView::keyPressEvent(QKeyEvent* event)
{
    const std::vector<QPointF> points = m_model->subjectPoints();
    const int count = int(points.size());
    const bool picking = count > 0 && !m_model->showOriginal();
    switch (event->key()) {
    case Qt::Key_Right:
    case Qt::Key_Down:
    case Qt::Key_Left:
    case Qt::Key_Up:
        if (picking) {
            const bool forward = event->key() == Qt::Key_Right || event->key() == Qt::Key_Down;
            m_mark = m_mark < 0 ? (forward ? 0 : count - 1)
                                : (m_mark + (forward ? 1 : count - 1)) % count;
            update();
            return;
        }
        break;
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (picking && m_mark >= 0 && m_mark < count) {
            emit tapped(points[size_t(m_mark)]);
            m_model->tap(points[size_t(m_mark)], event->modifiers().testFlag(Qt::ShiftModifier));
            return;
        }
        break;
    case Qt::Key_Escape:
        if (m_band) {
            m_band.reset();
            m_press.reset();
            update();
            return;
        }
        if (!m_model->selection().keepsAll()) {
            m_model->setSelectedInstance(std::nullopt);
            m_model->remask();
            return;
        }
        break;
    default:
        break;
    }
    QWidget::keyPressEvent(event);
}
