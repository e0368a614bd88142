#pragma once

#include <opencv2/core.hpp>

// Gaussian feathering of 8-bit masks, fast enough to run on every movement of
// the Feather slider. Edge pixels are repeated outward, so a mask does not fade
// toward the image border. Large blurs are computed on a block-averaged copy
// and interpolated back; the result stays within 2/255 of an exact Gaussian.
class MaskFeather final
{
public:
    MaskFeather() = delete;

    // Blurs at or below this sigma are skipped.
    static constexpr double minimumSigma = 0.05;

    // The mask (CV_8UC1) blurred with `sigma` pixels, as a new Mat; the mask
    // itself when sigma is at or below minimumSigma (or not a number).
    static cv::Mat blurred(const cv::Mat& mask, double sigma);

    // The exact Gaussian (float, kernel of 4 sigma each side, edges
    // replicated): the reference the fast path is measured against.
    static cv::Mat exact(const cv::Mat& mask, double sigma);

    // Block size the fast path averages over for a given sigma (1: direct).
    static int blockSize(double sigma);
};
