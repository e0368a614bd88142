#pragma once

#include <QString>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

// Runs one network's forward passes, on whichever engine took it at load.
// Passes from any thread take turns with every other network's (ForwardLock).
class NetworkRunner
{
public:
    virtual ~NetworkRunner() = default;

    // The network in `path` on oneDNN where Vantel was built with it and
    // the graph holds only what the engine has, on OpenCV's DNN module
    // otherwise. Throws MalformedModel (a std::runtime_error) for a file
    // that is no sound network, cv::Exception where OpenCV cannot read it
    // either, and std::bad_alloc.
    static std::unique_ptr<NetworkRunner> load(const QString& path);

    // One pass: `blob` is the first input's NCHW blob; the outputs named, in
    // the order asked. Throws std::runtime_error or cv::Exception.
    virtual std::vector<cv::Mat> forward(const cv::Mat& blob,
                                         const std::vector<std::string>& outputs) = 0;
    // Which engine runs the network, and where it is OpenCV's, why.
    virtual QString engine() const = 0;

    // Throws cv::Exception where an output holds a value that is not a
    // finite number: a damaged network's, never to be read as a picture.
    static void checkFinite(const std::vector<cv::Mat>& outputs);
};
