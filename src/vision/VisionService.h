#pragma once

#include <QImage>
#include <QSize>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <set>
#include <vector>

using InstanceSet = std::set<int64_t>;

// A label raster as the vision layer hands it out: its own resolution, its
// own row stride, and memory that may be unavailable (a null base).
struct LabelBuffer
{
    int width = 0;
    int height = 0;
    qsizetype bytesPerRow = 0;
    const uint8_t* base = nullptr;
    std::shared_ptr<const void> owner; // keeps `base` alive
};

// One foreground instance-mask result: the subjects found, their label
// raster, and masks for any set of them at the analysed image's size.
// Immutable once made; shared by several threads.
class InstanceMaskObservation
{
public:
    virtual ~InstanceMaskObservation() = default;

    virtual InstanceSet allInstances() const = 0;
    virtual LabelBuffer instanceMask() const = 0;
    // The union of `instances` as a soft CV_8UC1 mask (0 background, 255
    // subject) of `imageSize`. Throws VantelError on failure.
    virtual cv::Mat generateScaledMask(const InstanceSet& instances, QSize imageSize) const = 0;
};

// The on-device vision service: foreground instance masks where the
// segmentation network is available, person segmentation otherwise.
class VisionService
{
public:
    virtual ~VisionService() = default;

    // Whether instance masks can be made. May wait for the network's
    // loading attempt to finish.
    virtual bool instanceMasksAvailable() = 0;

    // Runs the instance-mask request over an RGBA8888 image. An empty list
    // means no result. Throws VantelError (the service's own text) on failure.
    virtual std::vector<std::shared_ptr<const InstanceMaskObservation>>
    generateForegroundInstanceMask(const QImage& image) = 0;

    // Runs person segmentation over an RGBA8888 image: the list of result
    // masks (CV_8UC1, any size); an empty Mat is a result without a buffer.
    // Throws VantelError on failure.
    virtual std::vector<cv::Mat> generatePersonSegmentation(const QImage& image) = 0;
};
