#include "ColourModel.h"

std::optional<ColourModel> ColourModel::of(const cv::Mat& rgb, const cv::Mat& mask, int minSamples)
{
    CV_Assert(rgb.type() == CV_8UC3 && mask.type() == CV_8UC1 && rgb.size() == mask.size());
    ColourModel m;
    for (int y = 0; y < rgb.rows; ++y) {
        const cv::Vec3b* c = rgb.ptr<cv::Vec3b>(y);
        const uchar* in = mask.ptr<uchar>(y);
        for (int x = 0; x < rgb.cols; ++x) {
            if (in[x]) {
                ++m.m_bins[bin(c[x])];
                ++m.m_count;
            }
        }
    }
    if (m.m_count < minSamples)
        return std::nullopt;
    return m;
}

double ColourModel::likelihood(const cv::Vec3b& colour) const
{
    return binLikelihood(bin(colour));
}

double ColourModel::binLikelihood(size_t b) const
{
    return (m_bins[b] + 0.5) / (m_count + 0.5 * double(m_bins.size()));
}

size_t ColourModel::bin(const cv::Vec3b& colour)
{
    return size_t((colour[0] >> 5) << 6 | (colour[1] >> 5) << 3 | (colour[2] >> 5));
}
