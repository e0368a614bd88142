#include "MatView.h"

cv::Mat rgbaView(const QImage& rgba8888)
{
    Q_ASSERT(rgba8888.format() == QImage::Format_RGBA8888);
    return cv::Mat(rgba8888.height(), rgba8888.width(), CV_8UC4,
                   const_cast<uchar*>(rgba8888.constBits()), size_t(rgba8888.bytesPerLine()));
}
