#include "InstanceMask.h"

#include <array>
#include <opencv2/imgproc.hpp>

InstanceSet InstanceMask::allInstances() const
{
    InstanceSet set;
    for (int label = 1; label <= count; ++label)
        set.insert(label);
    return set;
}

cv::Mat InstanceMask::scaledMask(const InstanceSet& instances, cv::Size size) const
{
    std::array<uchar, 256> keep{};
    for (int64_t label : instances) {
        if (label >= 1 && label <= count && label <= 255)
            keep[size_t(label)] = 255;
    }
    cv::Mat chosen(matte.size(), CV_8UC1);
    for (int y = 0; y < chosen.rows; ++y) {
        const uchar* who = owner.ptr<uchar>(y);
        const uchar* soft = matte.ptr<uchar>(y);
        uchar* out = chosen.ptr<uchar>(y);
        for (int x = 0; x < chosen.cols; ++x)
            out[x] = soft[x] & keep[who[x]];
    }
    if (size.empty() || size == chosen.size())
        return chosen;
    cv::Mat scaled;
    cv::resize(chosen, scaled, size, 0, 0, cv::INTER_LINEAR);
    return scaled;
}
