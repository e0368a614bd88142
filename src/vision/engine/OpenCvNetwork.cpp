#include "OpenCvNetwork.h"

#include "ForwardLock.h"

#include <mutex>

OpenCvNetwork::OpenCvNetwork(const QString& path, QString why)
    : m_net(cv::dnn::readNetFromONNX(path.toStdString())), m_why(std::move(why))
{
    if (m_net.empty())
        CV_Error(cv::Error::StsError, "the network is empty");
    m_net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    m_net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
}

std::vector<cv::Mat> OpenCvNetwork::forward(const cv::Mat& blob,
                                            const std::vector<std::string>& outputs)
{
    std::vector<cv::Mat> results;
    std::lock_guard<std::mutex> lock(ForwardLock::mutex());
    m_net.setInput(blob);
    m_net.forward(results, std::vector<cv::String>(outputs.begin(), outputs.end()));
    return results;
}

QString OpenCvNetwork::engine() const
{
    const QString name = QStringLiteral("OpenCV DNN %1").arg(QString::fromLatin1(CV_VERSION));
    return m_why.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, m_why);
}
