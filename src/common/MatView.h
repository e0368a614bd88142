#pragma once

#include <QImage>

#include <opencv2/core.hpp>

// An OpenCV view of an RGBA8888 image's pixels, without copying: bytes R, G,
// B, A per pixel, the image's own row stride. Valid while the image lives and
// meant for reading.
cv::Mat rgbaView(const QImage& rgba8888);
