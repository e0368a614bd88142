#pragma once

#include "NetworkRunner.h"

#include <opencv2/dnn.hpp>

// A network on OpenCV's DNN module (its own CPU code).
class OpenCvNetwork final : public NetworkRunner
{
public:
    // Throws cv::Exception. `why` says why oneDNN does not run it.
    OpenCvNetwork(const QString& path, QString why);

    std::vector<cv::Mat> forward(const cv::Mat& blob,
                                 const std::vector<std::string>& outputs) override;
    QString engine() const override;

private:
    cv::dnn::Net m_net;
    QString m_why;
};
