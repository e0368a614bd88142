#pragma once

#include <QRectF>
#include <QSizeF>
#include <QWidget>
#include <vector>

class QPainter;

// The light grey pattern behind a transparent result.
class Checkerboard final : public QWidget
{
    Q_OBJECT

public:
    static constexpr double lightGrey = 0.95;
    static constexpr double darkGrey = 0.8;

    explicit Checkerboard(double squareSize = 10, QWidget* parent = nullptr);

    double squareSize() const { return m_size; }

    // The dark squares of a canvas of `canvas` size: those whose row plus
    // column is odd. The last row and column may run past the canvas.
    static std::vector<QRectF> darkSquares(QSizeF canvas, double squareSize);
    // Paints the pattern over `area`, its first square at area's top-left.
    static void paint(QPainter& painter, const QRectF& area, double squareSize);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double m_size;
};
