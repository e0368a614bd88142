#pragma once

#include <opencv2/core.hpp>

// A mask brought up to a larger image's size following that image's edges,
// not the blocks of the smaller mask: a guided filter whose linear model
// (alpha = a * grey + b in each window) is fitted at the mask's size against
// the image brought down to it, then applied at full size with the full
// image's own grey, so hair and edges follow the photo. The fit costs what
// the small size costs; full size takes a few passes over its pixels.
class MaskUpscale final
{
public:
    MaskUpscale() = delete;

    // The fit's window radius at the mask's size, and how much a window's
    // own contrast must exceed to follow it (in grey levels 0 to 1,
    // squared): flat parts keep the mask's value, edges the photo's.
    static constexpr int radius = 2;
    static constexpr double eps = 1e-4;

    // `mask` (CV_8UC1) at the size of `image` (CV_8UC3, R, G, B), guided by
    // `image`; a mask already that size is returned as it is.
    static cv::Mat guided(const cv::Mat& mask, const cv::Mat& image);
};
