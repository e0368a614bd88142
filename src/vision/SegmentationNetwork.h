#pragma once

#include "VantelError.h"

#include <QImage>
#include <QString>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

// The salient-object network (ISNet, 1024 x 1024 input) on OpenCV's DNN
// module. One forward pass at a time: a cv::dnn::Net is not reentrant.
class SegmentationNetwork final
{
public:
    static constexpr int inputSide = 1024;

    // Loads the network; throws VantelError with a short text when the file
    // is missing or unreadable.
    static std::unique_ptr<SegmentationNetwork> load(const QString& path);

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
    explicit SegmentationNetwork(cv::dnn::Net net);

    std::mutex m_forward;
    cv::dnn::Net m_net;
};
