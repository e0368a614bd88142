#pragma once

#include "VantelError.h"

#include <QImage>
#include <QString>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

class NetworkRunner;

// The salient-object network (ISNet, 1024 x 1024 input). It runs on oneDNN
// where Vantel was built with it and the graph holds only what the engine
// has; on OpenCV's DNN module otherwise. The choice is made at load.
class SegmentationNetwork final
{
public:
    static constexpr int inputSide = 1024;

    // Loads the network; throws VantelError with a short text when the file
    // is missing or unreadable.
    static std::unique_ptr<SegmentationNetwork> load(const QString& path);
    ~SegmentationNetwork();

    // Which engine runs the network, and where OpenCV's does, why.
    QString engine() const;

    // The input blob for an RGBA8888 image: resized to 1024 x 1024 ignoring
    // aspect, RGB planes of (value - 128) / 256, transparent parts laid over
    // neutral grey.
    static cv::Mat inputBlob(const QImage& image);

    // The matte (CV_32F, 1024 x 1024, 0..1) for an RGBA8888 image. Throws
    // VantelError with a short, readable text on failure.
    cv::Mat matte(const QImage& image);

    // A short, readable error for the user from OpenCV's multi-line one.
    static VantelError errorFor(const cv::Exception& e);
    static VantelError outOfMemory();

private:
    SegmentationNetwork() = default;

    std::unique_ptr<NetworkRunner> m_runner;
};
