#pragma once

#include "InstanceMask.h"

#include <QImage>
#include <opencv2/core.hpp>
#include <optional>

// The on-device vision service: foreground instance masks where the
// segmentation network is available, person segmentation otherwise.
class VisionService
{
public:
    virtual ~VisionService() = default;

    // Whether instance masks can be made. May wait for the network's
    // loading attempt to finish.
    virtual bool instanceMasksAvailable() = 0;

    // Runs the instance-mask request over an RGBA8888 image; none means no
    // result. Throws VantelError (the service's own text) on failure.
    virtual std::optional<InstanceMask> generateForegroundInstanceMask(const QImage& image) = 0;

    // Runs the segmentation network over the part `region` of an RGBA8888
    // image (inside it) alone: its matte there (CV_8UC1 of the region's
    // size, 0 .. 255). Throws VantelError where there is no network or the
    // pass fails.
    virtual cv::Mat generateRegionMatte(const QImage& image, const cv::Rect& region) = 0;

    // Runs person segmentation over an RGBA8888 image: one mask (CV_8UC1,
    // any size); an empty Mat is a result without a buffer. Throws
    // VantelError on failure.
    virtual cv::Mat generatePersonSegmentation(const QImage& image) = 0;

    // Starts readying what the requests need (loading the networks) in the
    // background, where it is not ready yet; returns at once.
    virtual void prepare() {}
    // Lets go of what prepare() readied, and of the buffers the requests
    // worked in; the next request or prepare() readies it again. Returns
    // false, letting go of nothing, while it is still being readied.
    virtual bool release() { return true; }
    // Whether the buffers a request works in are kept for the next one
    // (quicker) or handed back as each request ends (smaller).
    virtual void keepWorkingMemory(bool /*keep*/) {}
};
