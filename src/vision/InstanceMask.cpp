#include "InstanceMask.h"

#include "ObjectMask.h"

#include <algorithm>
#include <array>
#include <opencv2/imgproc.hpp>

namespace {

cv::Mat scaled(const cv::Mat& mask, cv::Size size)
{
    if (size.empty() || size == mask.size())
        return mask;
    cv::Mat out;
    cv::resize(mask, out, size, 0, 0, cv::INTER_LINEAR);
    return out;
}

} // namespace

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
    std::vector<const ObjectMask*> own;
    for (int64_t label : instances) {
        if (label < 1 || label > count || label > 255)
            continue;
        const size_t i = size_t(label - 1);
        if (i < info.size() && info[i].own)
            own.push_back(info[i].own.get());
        else
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
    for (const ObjectMask* mask : own) {
        cv::Mat area = chosen(mask->roi());
        cv::max(area, mask->alpha(), area);
    }
    return scaled(chosen, size);
}

bool InstanceMask::needsCut(const InstanceSet& instances) const
{
    return std::any_of(instances.begin(), instances.end(), [&](int64_t label) {
        const size_t i = size_t(label - 1);
        return label >= 1 && i < info.size() && info[i].own && !info[i].own->isCut();
    });
}

cv::Mat InstanceMask::wholeMask(cv::Size size) const
{
    return scaled(matte, size);
}
