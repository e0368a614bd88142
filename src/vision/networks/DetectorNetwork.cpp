#include "DetectorNetwork.h"

#include "NetworkRunner.h"
#include "VantelError.h"

#include <QFileInfo>
#include <chrono>

DetectorNetwork::DetectorNetwork(const QString& path, const QString& notInstalled,
                                 const QString& notLoaded)
{
    if (path.isEmpty() || !QFileInfo(path).isFile())
        throw VantelError::platform(notInstalled);
    try {
        m_runner = NetworkRunner::load(path);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        throw VantelError::platform(notLoaded);
    }
}

DetectorNetwork::~DetectorNetwork() = default;

std::vector<cv::Mat> DetectorNetwork::forward(const cv::Mat& blob,
                                              const std::vector<std::string>& outputs,
                                              double* milliseconds)
{
    const auto start = std::chrono::steady_clock::now();
    std::vector<cv::Mat> results = m_runner->forward(blob, outputs);
    NetworkRunner::checkFinite(results);
    if (milliseconds)
        *milliseconds =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
    return results;
}

QString DetectorNetwork::engine() const
{
    return m_runner->engine();
}
