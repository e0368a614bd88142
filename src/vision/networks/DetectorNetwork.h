#pragma once

#include <QString>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

class NetworkRunner;

// A detector's network, read by the names of its outputs, on the engine
// that took it at load (see NetworkRunner).
class DetectorNetwork final
{
public:
    // Loads the ONNX file; throws VantelError with `notInstalled` when the
    // file is missing, `notLoaded` when no engine can read it.
    DetectorNetwork(const QString& path, const QString& notInstalled, const QString& notLoaded);
    ~DetectorNetwork();

    // The named outputs for `blob`, in the order asked; `milliseconds`, when
    // given, receives the pass's duration.
    std::vector<cv::Mat> forward(const cv::Mat& blob, const std::vector<std::string>& outputs,
                                 double* milliseconds);
    // Which engine runs it.
    QString engine() const;

private:
    std::unique_ptr<NetworkRunner> m_runner;
};
