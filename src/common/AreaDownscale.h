#pragma once

#include <QImage>
#include <QSize>
#include <opencv2/core.hpp>

// Good-quality reduction by area averaging. Colour is averaged premultiplied
// so transparent pixels do not bleed their (invisible) colour into the edge.
class AreaDownscale final
{
public:
    AreaDownscale() = delete;

    // The size an image of `size` takes under the longer-side limit: unchanged
    // when its longer side is at most maxSide, otherwise the longer side
    // becomes exactly maxSide and the shorter keeps the aspect, at least 1.
    static QSize targetSize(QSize size, double maxSide);

    // `image` reduced to `target` (each side no larger than the image's own).
    // The result keeps a format close to the source's (opaque stays opaque,
    // alpha comes back premultiplied); a null image when memory runs out.
    // Besides the result it needs a few MB: a source OpenCV cannot read in
    // place is converted a tile at a time.
    static QImage scaled(const QImage& image, QSize target);

    // `mat` brought to `size` axis by axis: area averaging along an axis that
    // shrinks, bilinear along one that grows.
    static cv::Mat resized(const cv::Mat& mat, cv::Size size);
};
