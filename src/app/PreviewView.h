#pragma once

#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>

class QMimeData;
class VantelModel;

// The preview: the result (or, on the before side and until a result exists,
// the source) fitted into the space it is given, over a checkerboard when the
// result is transparent, with a badge while an image is opened or analysed. A click
// on the image is sent to the model as a normalized point; a press that moves
// away draws a box, which keeps the object inside it (Escape while drawing
// lets it go). With Shift, a click or a box adds to what is kept (a click on
// a kept subject takes it away). With Ctrl, a press on the result that moves
// away drags the result out as PNG.
class PreviewView final : public QWidget
{
    Q_OBJECT

public:
    // A press and release closer than this on both axes is a click.
    static constexpr double clickTolerance = 4.0;
    static constexpr double cornerRadius = 6.0;

    struct Layers
    {
        QImage image; // null: nothing to show
        bool checkerboard = false;
        double imageOpacity = 1.0;
        QString badge; // empty: no badge
    };

    explicit PreviewView(VantelModel* model, QWidget* parent = nullptr);

    // What the model's state shows.
    static Layers layersFor(const VantelModel& model);
    // Where an image of `imageSize` is drawn in `space`: as large as fits,
    // aspect kept, centred. Empty for an empty image or space.
    static QRectF fittedRect(QSizeF space, QSizeF imageSize);

    Layers layers() const { return layersFor(*m_model); }
    QRectF displayedRect() const;

    // Makes the data a drag of the result carries; no drag without it.
    void setDragDataProvider(std::function<QMimeData*()> provider);

    QSize sizeHint() const override { return {392, 300}; }

signals:
    // A click on the image, as the normalized point sent to the model.
    void tapped(QPointF normalized);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    // The keyboard's way through the subjects: the arrows move a mark from
    // one to the next, Space or Enter keeps the marked one (as a click
    // does, and with Shift adds it to what is kept or takes it away), Escape
    // returns to all subjects; with nothing picked, Escape goes on to the
    // panel.
    void keyPressEvent(QKeyEvent* event) override;

private:
    const QImage& scaled(const QImage& image, QSize pixels);
    void paintBadge(QPainter& painter, const QRectF& area, const QString& text);
    void paintMark(QPainter& painter, const QRectF& area);
    void paintBand(QPainter& painter);
    // Drags the result out as PNG.
    void dragResultOut();

    VantelModel* m_model;
    std::function<QMimeData*()> m_dragData;
    std::optional<QPointF> m_press;
    Qt::KeyboardModifiers m_pressModifiers;
    // The box being drawn, in the widget's coordinates.
    std::optional<QRectF> m_band;
    int m_mark = -1; // the subject under the keyboard's mark, by place in subjectPoints()
    QImage m_cached;
    qint64 m_cachedKey = 0;
    QSize m_cachedSize;
    QTimer m_spinner;
    int m_spin = 0;
};
