#pragma once

#include <QString>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <vector>

// A detector's network on OpenCV's DNN module, read by the names of its
// outputs. One forward pass at a time: a cv::dnn::Net is not reentrant.
class DetectorNetwork final
{
public:
    // Loads the ONNX file; throws VantelError with `notInstalled` when the
    // file is missing, `notLoaded` when OpenCV cannot read it.
    DetectorNetwork(const QString& path, const QString& notInstalled, const QString& notLoaded);

    // The named outputs for `blob`, in the order asked; `milliseconds`, when
    // given, receives the pass's duration.
    std::vector<cv::Mat> forward(const cv::Mat& blob, const std::vector<cv::String>& outputs,
                                 double* milliseconds);

private:
    std::mutex m_forward;
    cv::dnn::Net m_net;
};
