#pragma once

#include <QImage>
#include <opencv2/core.hpp>

// The fallback when the segmentation network is unavailable: OpenCV's people
// detector (full figures) and face detector (head-and-shoulders photos) find
// the people, and GrabCut cuts each one out of its box.
class PersonSegmenter final
{
public:
    PersonSegmenter() = delete;

    // Longer side GrabCut works at.
    static constexpr int workingSide = 640;

    // One mask (CV_8UC1, 255 person) of all people found in an RGBA8888 image,
    // at a working size with the image's aspect; all zero when there is none.
    static cv::Mat segment(const QImage& image);
};
