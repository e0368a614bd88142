#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <optional>

// The colours of a set of pixels: a coarse histogram (8 levels per channel),
// smoothed so that a colour not seen is unlikely rather than impossible.
class ColourModel final
{
public:
    // The colours of `rgb` (CV_8UC3) where `mask` (CV_8UC1, its size) is
    // set; none when fewer than `minSamples` pixels are.
    static std::optional<ColourModel> of(const cv::Mat& rgb, const cv::Mat& mask, int minSamples);
    // How likely a pixel of this colour is to be one of them.
    double likelihood(const cv::Vec3b& colour) const;

    // The coarse colours: a colour's bin, and how likely one of them is.
    static constexpr size_t binCount = 512;
    static size_t bin(const cv::Vec3b& colour);
    double binLikelihood(size_t bin) const;

private:
    std::array<int, binCount> m_bins{};
    int m_count = 0;
};
