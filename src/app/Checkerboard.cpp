#include "Checkerboard.h"

#include <QPainter>
#include <cmath>

Checkerboard::Checkerboard(double squareSize, QWidget* parent)
    : QWidget(parent), m_size(squareSize > 0 && std::isfinite(squareSize) ? squareSize : 10)
{
}

std::vector<QRectF> Checkerboard::darkSquares(QSizeF canvas, double squareSize)
{
    std::vector<QRectF> squares;
    if (!(squareSize > 0) || !std::isfinite(canvas.width()) || !std::isfinite(canvas.height()))
        return squares;
    const int cols = int(std::ceil(canvas.width() / squareSize));
    const int rows = int(std::ceil(canvas.height() / squareSize));
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            if ((r + c) % 2 == 1)
                squares.emplace_back(c * squareSize, r * squareSize, squareSize, squareSize);
        }
    }
    return squares;
}

void Checkerboard::paint(QPainter& painter, const QRectF& area, double squareSize)
{
    painter.save();
    painter.setClipRect(area, Qt::IntersectClip);
    painter.fillRect(area, QColor::fromRgbF(lightGrey, lightGrey, lightGrey));
    const QColor dark = QColor::fromRgbF(darkGrey, darkGrey, darkGrey);
    for (const QRectF& square : darkSquares(area.size(), squareSize))
        painter.fillRect(square.translated(area.topLeft()), dark);
    painter.restore();
}

void Checkerboard::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    paint(painter, QRectF(rect()), m_size);
}
