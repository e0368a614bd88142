#pragma once

#include <QStringList>
#include <QWidget>

// A row of mutually exclusive segments, like a segmented picker.
// currentIndexChanged() is emitted for the user's choices only, never for
// setCurrentIndex(), so a binding to a model cannot echo.
class SegmentedControl final : public QWidget
{
    Q_OBJECT

public:
    explicit SegmentedControl(const QStringList& labels, QWidget* parent = nullptr);

    int currentIndex() const { return m_current; }
    void setCurrentIndex(int index);
    int count() const { return int(m_labels.size()); }
    QString label(int index) const { return m_labels.value(index); }
    // The segment under a point, or -1.
    int segmentAt(QPoint point) const;
    // Chooses a segment as the user's click does (a screen reader's press
    // too): currentIndexChanged() follows.
    void choose(int index);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void currentIndexChanged(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    friend class SegmentedAccessible;
    QRectF segmentRect(int index) const;

    QStringList m_labels;
    int m_current = 0;
};
