#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <set>

using InstanceSet = std::set<int64_t>;

// The subjects one network pass found, as OpenCV values at the working size
// the split ran at: the soft matte, which subject owns each pixel it covers,
// and the label image a click is looked up in. Immutable once handed out
// (the Mats are never written again) and shared by several threads.
struct InstanceMask
{
    cv::Mat matte;  // CV_8UC1, 0 background .. 255 subject
    cv::Mat owner;  // CV_8UC1, the subject of every pixel the matte covers
    cv::Mat labels; // CV_8UC1, owner where the matte is confident, else 0
    int count = 0;  // subjects 1 ... count

    InstanceSet allInstances() const;

    // The soft mask of the union of `instances` (labels outside 1 ... count
    // select nothing) at `size`, brought there in one bilinear resize so its
    // edges keep their soft values. An empty size means the working size.
    cv::Mat scaledMask(const InstanceSet& instances, cv::Size size) const;
};
