#include "DetectorNetwork.h"

#include "VantelError.h"

#include <QFileInfo>
#include <chrono>

DetectorNetwork::DetectorNetwork(const QString& path, const QString& notInstalled,
                                 const QString& notLoaded)
{
    if (path.isEmpty() || !QFileInfo(path).isFile())
        throw VantelError::platform(notInstalled);
    try {
        m_net = cv::dnn::readNetFromONNX(path.toStdString());
    } catch (const cv::Exception&) {
        throw VantelError::platform(notLoaded);
    }
    if (m_net.empty())
        throw VantelError::platform(notLoaded);
    m_net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    m_net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
}

std::vector<cv::Mat> DetectorNetwork::forward(const cv::Mat& blob,
                                              const std::vector<cv::String>& outputs,
                                              double* milliseconds)
{
    std::vector<cv::Mat> results;
    std::lock_guard<std::mutex> lock(m_forward);
    const auto start = std::chrono::steady_clock::now();
    m_net.setInput(blob);
    m_net.forward(results, outputs);
    if (milliseconds)
        *milliseconds =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
    return results;
}
