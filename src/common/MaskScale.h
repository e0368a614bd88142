#pragma once

#include <opencv2/core.hpp>

// Masks brought to the size of the image they cover.
class MaskScale final
{
public:
    MaskScale() = delete;

    // `mask` at `size`: the very same Mat, sharing its pixels, when it already
    // has that size (or either is empty); otherwise one bilinear resize, so
    // soft edges stay soft.
    static cv::Mat fitted(const cv::Mat& mask, cv::Size size);
};
